"""Lines as the daemon reads and writes them, and the socket names."""

import base64
import os
import unittest
from unittest import mock

import korvane
from korvane import ProtocolError, decode_line, encode_request


def b64(text):
    return base64.b64encode(text.encode()) + b"\n"


class Encoding(unittest.TestCase):
    def test_request_is_byte_for_byte_the_protocols_example(self):
        line = encode_request("5f1d2c3a-0b4e-4c6d-8e7f-9a0b1c2d3e4f", 1, 1000,
                              {"name": "shield-ui", "login_uid": 1000, "euid": 1000, "pid": 4242})
        self.assertEqual(line, b"eyJkYXRhIjp7Im5hbWUiOiJzaGllbGQtdWkiLCJsb2dpbl91aWQiOjEwMDAsImV1aWQi"
                               b"OjEwMDAsInBpZCI6NDI0Mn0sInV1aWQiOiI1ZjFkMmMzYS0wYjRlLTRjNmQtOGU3Zi05YT"
                               b"BiMWMyZDNlNGYiLCJpZCI6MSwidHlwZSI6MTAwMH0=\n")

    def test_data_left_out_or_any_json_value(self):
        cases = [
            ((), '{"uuid":"u","id":2,"type":1001}'),
            (({"a": "é"},), '{"data":{"a":"é"},"uuid":"u","id":2,"type":1001}'),
            ((None,), '{"data":null,"uuid":"u","id":2,"type":1001}'),
            (([1, 2],), '{"data":[1,2],"uuid":"u","id":2,"type":1001}'),
        ]
        for data, text in cases:
            with self.subTest(text=text):
                self.assertEqual(encode_request("u", 2, 1001, *data), b64(text))

    def test_large_id_travels_exactly(self):
        line = encode_request("u", 2**64 - 1, 1001)
        self.assertIn(b'"id":18446744073709551615', base64.b64decode(line))


class Decoding(unittest.TestCase):
    def test_reply_of_the_protocols_example(self):
        msg = decode_line(b"ewoJImlkIjoJMSwKCSJ0eXBlIjoJMTAwMCwKCSJyZXN1bHQiOgkwLAoJInV1aWQiOgkiNWYx"
                          b"ZDJjM2EtMGI0ZS00YzZkLThlN2YtOWEwYjFjMmQzZTRmIgp9\n")
        self.assertEqual((msg.id, msg.type, msg.result, msg.uuid, msg.has_data),
                         (1, 1000, 0, "5f1d2c3a-0b4e-4c6d-8e7f-9a0b1c2d3e4f", False))
        self.assertTrue(msg.is_reply and msg.ok)

    def test_notification_has_no_result(self):
        msg = decode_line(b64('{"id":7,"type":1502,"uuid":"p"}'))
        self.assertFalse(msg.is_reply)
        self.assertEqual(msg.type, korvane.codes.NOTIFY_UNREGISTER)

    def test_data_of_any_type(self):
        msg = decode_line(b64('{"data":[{"x":1}],"id":1,"type":1001,"result":0,"uuid":"u"}'))
        self.assertEqual(msg.data, [{"x": 1}])
        self.assertTrue(msg.has_data)

    def test_rejected_lines(self):
        good = base64.b64encode(b'{"id":1,"type":2}')
        cases = [
            ("not base64", b"@@@@"),
            ("padding missing", good.rstrip(b"=")[:-1]),
            ("bits after the end", base64.b64encode(b"{}")[:-2] + b"Q="),
            ("not JSON", b64("{id:1}")),
            ("not an object", b64("[1,2]")),
            ("no id", b64('{"type":2}')),
            ("id a string", b64('{"id":"1","type":2}')),
            ("type negative", b64('{"id":1,"type":-1}')),
            ("type not whole", b64('{"id":1,"type":2.5}')),
            ("type too large", b64('{"id":1,"type":4294967296}')),
            ("result a string", b64('{"id":1,"type":2,"result":"0"}')),
            ("uuid a number", b64('{"id":1,"type":2,"uuid":5}')),
            ("id a boolean", b64('{"id":true,"type":2}')),
            ("id infinite", b64('{"id":Infinity,"type":2}')),
            ("result not a number", b64('{"id":1,"type":2,"result":NaN}')),
            ("nested past the interpreter's limit", b64('{"id":1,"type":2,"data":%s}' %
                                                         ("[" * 100000 + "]" * 100000))),
            ("NUL byte after the object", base64.b64encode(b'{"id":1,"type":2}\0')),
        ]
        for why, line in cases:
            with self.subTest(why=why), self.assertRaises(ProtocolError):
                decode_line(line)


class OtherFrontUiText(unittest.TestCase):
    def test_pid_named_only_when_the_reply_has_one(self):
        cases = [
            ({"pid": 4242}, 4242, "another front UI is registered (pid 4242)"),
            (None, None, "another front UI is registered"),
            ({"pid": "4242"}, None, "another front UI is registered"),
            ({"pid": True}, None, "another front UI is registered"),
            ([4242], None, "another front UI is registered"),
        ]
        for data, pid, text in cases:
            with self.subTest(data=data):
                reply = korvane.Message(id=1, type=1000, result=104, data=data,
                                        has_data=data is not None)
                e = korvane.OtherFrontUi(reply)
                self.assertEqual((e.pid, str(e), e.reply), (pid, text, reply))
                self.assertIsInstance(e, korvane.KorvaneError)


class SocketNames(unittest.TestCase):
    def test_relocation(self):
        cases = [
            (None, "@/tmp/.zelluskkorvanefui"),
            ("", "@/tmp/.zelluskkorvanefui"),
            ("/", "@/tmp/.zelluskkorvanefui"),
            ("/r", "@/r/tmp/.zelluskkorvanefui"),
            ("/r//", "@/r/tmp/.zelluskkorvanefui"),
        ]
        for root, name in cases:
            env = {} if root is None else {"VESKKORVANED_ROOT": root}
            with self.subTest(root=root), mock.patch.dict(os.environ, env, clear=False):
                if root is None:
                    os.environ.pop("VESKKORVANED_ROOT", None)
                self.assertEqual(korvane.endpoint_name(korvane.Endpoint.FRONT_UI), name)
                self.assertEqual(korvane.socket_name("/not/abstract"), "/not/abstract")


if __name__ == "__main__":
    unittest.main()
