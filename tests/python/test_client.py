"""The korvane module against the real daemon, each test with a daemon of
its own under a fresh VESKKORVANED_ROOT."""

import base64
import json
import os
import pwd
import socket
import tempfile
import threading
import unittest
from unittest import mock

import korvane
from korvane import Endpoint, codes
from daemon import Daemon

UI = "5f1d2c3a-0b4e-4c6d-8e7f-9a0b1c2d3e4f"
PRODUCT = "8b0e7c1d-2f3a-4b5c-9d6e-7f8a9b0c1d2e"
DETAIL = {"name": "Acme AV", "exec": "/opt/acme/bin/acme-av", "version": "2.1"}


def become_nobody():
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setresgid(nobody.pw_gid, nobody.pw_gid, nobody.pw_gid)
    os.setresuid(nobody.pw_uid, nobody.pw_uid, nobody.pw_uid)


def run_as_nobody(work):
    """Runs work() in a child switched to the user nobody; returns the text
    it returns (or the exception it raised, as text). Needs root."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            become_nobody()
            try:
                text = work()
            except Exception as e:  # reported to the parent
                text = "%s: %s" % (type(e).__name__, e)
            os.write(write_end, text.encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        text = f.read().decode()
    os.waitpid(pid, 0)
    return text


class WithDaemon(unittest.TestCase):
    def setUp(self):
        self.daemon = Daemon()
        self.addCleanup(self.daemon.stop)
        env = mock.patch.dict(os.environ, {"VESKKORVANED_ROOT": self.daemon.root})
        env.start()
        self.addCleanup(env.stop)

    def client(self, endpoint):
        c = korvane.Client(endpoint)
        self.addCleanup(c.close)
        return c


class FrontUiLife(WithDaemon):
    def test_register_ask_and_keep_configuration(self):
        ui = self.client(Endpoint.FRONT_UI)
        steps = [
            ("unknown front UI", lambda: ui.get_config(UI), codes.RESULT_UNKNOWN_FUI),
            ("register", lambda: ui.ui_register(UI, "shield-ui"), codes.RESULT_OK),
            ("no product", lambda: ui.get_product(UI), codes.RESULT_NO_SECSOFT),
            ("no configuration", lambda: ui.get_config(UI), codes.RESULT_NO_FUICONF),
            ("save", lambda: ui.save_config(UI, {"theme": "dark"}), codes.RESULT_OK),
        ]
        for what, call, result in steps:
            with self.subTest(step=what):
                reply = call()
                self.assertEqual(reply.result, result)
        reply = ui.get_config(UI)
        self.assertEqual(reply.data, {"theme": "dark", "uuid": UI})

    def test_second_front_ui_is_refused_while_the_first_runs(self):
        ui = self.client(Endpoint.FRONT_UI)
        self.assertTrue(ui.ui_register(UI, "shield-ui").ok)
        # The first declares this process, which runs, and stays current.
        # The second comes from another process declaring itself; as root,
        # one of nobody (root's own registration would replace the first).
        got = self._second_front_ui()
        self.assertEqual(got, "%d %d another front UI is registered (pid %d)"
                         % (codes.RESULT_OTHER_FUI, os.getpid(), os.getpid()))
        # The first is still the registered one.
        self.assertEqual(ui.get_config(UI).result, codes.RESULT_NO_FUICONF)

    def _second_front_ui(self):
        """What a second registration raised, as "result pid text"."""
        def attempt():
            c = korvane.Client(Endpoint.FRONT_UI, require_root_peer=False)
            try:
                c.ui_register(PRODUCT, "other")
                return "registered"
            except korvane.OtherFrontUi as refused:
                return "%d %d %s" % (refused.reply.result, refused.pid, refused)
            finally:
                c.close()
        if os.geteuid() != 0:
            return attempt()
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(read)
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
                os.write(write, attempt().encode())
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as f:
            text = f.read().decode()
        os.waitpid(pid, 0)
        return text

    def test_replies_carry_the_request_id(self):
        ui = self.client(Endpoint.FRONT_UI)
        first = ui.ui_register(UI, "shield-ui")
        second = ui.get_product(UI)
        self.assertEqual((first.id, first.type), (1, codes.REQ_FUI_REGISTER))
        self.assertEqual((second.id, second.type, second.uuid), (2, codes.REQ_GET_SECSOFT, UI))


class ProductLife(WithDaemon):
    def test_front_ui_sees_each_change(self):
        ui = self.client(Endpoint.FRONT_UI)
        self.assertTrue(ui.ui_register(UI, "shield-ui").ok)
        product = self.client(Endpoint.SECSOFT)

        self.assertEqual(product.register(PRODUCT, "Acme AV", "/opt/acme/bin/acme-av",
                                          {"version": "2.1"}).result, codes.RESULT_OK)
        self.assertTrue(product.report(PRODUCT, {"realtime": True}).ok)
        self.assertTrue(product.update(PRODUCT, "Acme AV", "/opt/acme/bin/acme-av",
                                       {"version": "2.2"}).ok)
        # What a front UI reads meanwhile; the notifications that arrive
        # before these replies are kept for the iterator below.
        self.assertEqual(ui.get_product(UI).data, [dict(DETAIL, version="2.2", uuid=PRODUCT)])
        self.assertEqual(ui.get_status(UI).data, [{"realtime": True, "uuid": PRODUCT}])
        self.assertTrue(product.unregister(PRODUCT).ok)
        self.assertEqual(product.unregister(PRODUCT).result, codes.RESULT_NOT_REGISTERED)

        seen = [(n.type, n.uuid, n.data) for n in ui.notifications(timeout=2)]
        self.assertEqual(seen, [
            (codes.NOTIFY_SECSOFT, PRODUCT, dict(DETAIL, uuid=PRODUCT)),
            (codes.NOTIFY_SECSTAT, PRODUCT, {"realtime": True, "uuid": PRODUCT}),
            (codes.NOTIFY_SECSOFT, PRODUCT, dict(DETAIL, version="2.2", uuid=PRODUCT)),
            (codes.NOTIFY_UNREGISTER, PRODUCT, None),
        ])


class Health(WithDaemon):
    """The verdict, asked by anyone: nothing needs to be registered."""

    def test_verdict_follows_the_reported_protection(self):
        product = self.client(Endpoint.SECSOFT)
        asker = self.client(Endpoint.FRONT_UI)
        reply = asker.get_health()
        self.assertEqual((reply.type, reply.result, reply.uuid),
                         (codes.REQ_GET_HEALTH, codes.RESULT_OK, "korvane-health"))
        self.assertEqual(reply.data["verdict"], "unknown")
        self.assertIsNone(reply.data["product"])
        # Its program does not run, so it is not watched: what it reports decides.
        self.assertTrue(product.register(PRODUCT, "Acme AV", "/nonexistent/acme-av").ok)
        steps = [
            ("nothing reported", None, "unknown"),
            ("protection on", {"protection": "on", "signatures": "up-to-date"}, "protected"),
            ("protection off", {"protection": "off"}, "at-risk"),
        ]
        for what, status, verdict in steps:
            with self.subTest(step=what):
                if status is not None:
                    self.assertTrue(product.report(PRODUCT, status).ok)
                data = asker.get_health(uuid="anyone").data
                self.assertEqual(data["verdict"], verdict)
                self.assertEqual((data["product"], data["name"], data["alive"]),
                                 (PRODUCT, "Acme AV", None))
                self.assertEqual(data["protection"], status and status["protection"])
                self.assertIsInstance(data["reasons"], list)


class Timeouts(WithDaemon):
    def test_unanswered_request_times_out_and_the_next_is_matched(self):
        ui = self.client(Endpoint.FRONT_UI)
        # The daemon answers nothing to a type it does not serve.
        with self.assertRaises(korvane.Timeout):
            ui.request(9999, UI, timeout=0.2)
        self.assertEqual(ui.ui_register(UI, "shield-ui").result, codes.RESULT_OK)

    def test_no_notification_in_time(self):
        ui = self.client(Endpoint.FRONT_UI)
        with self.assertRaises(korvane.Timeout):
            ui.next_notification(timeout=0.1)
        self.assertEqual(list(ui.notifications(timeout=0.1)), [])


class Reconnect(WithDaemon):
    """A daemon stopped and started again between two requests: the second
    one's write fails, so it goes again on a new connection."""

    def test_request_after_a_restart(self):
        for endpoint in Endpoint:
            for reconnect in (True, False):
                with self.subTest(endpoint=endpoint, reconnect=reconnect):
                    c = korvane.Client(endpoint, reconnect=reconnect)
                    self.addCleanup(c.close)
                    self.assertEqual(c.ui_register(UI, "shield-ui").result, codes.RESULT_OK)
                    self.daemon.restart()
                    if reconnect:
                        reply = c.get_config(UI)
                        self.assertEqual(reply.id, 2)
                        # Registered before the restart: the daemon kept it.
                        self.assertEqual(reply.result, codes.RESULT_NO_FUICONF)
                    else:
                        with self.assertRaises(korvane.ConnectionClosed):
                            c.get_config(UI)
                        with self.assertRaisesRegex(korvane.KorvaneError, "not connected"):
                            c.get_config(UI)


class CannedServer:
    """A listener on an abstract name whose connections are handled one
    after the other by the functions given: each gets the accepted socket."""

    def __init__(self, test, *handlers):
        self.name = "@vk-py-canned-%d-%s" % (os.getpid(), test.id())
        self.lines = []  # (connection number, request line) in the order read
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._listener.bind(b"\0" + self.name[1:].encode())
        self._listener.listen(4)
        self._thread = threading.Thread(target=self._serve, args=(handlers,), daemon=True)
        self._thread.start()
        test.addCleanup(self.stop)

    def _serve(self, handlers):
        for number, handler in enumerate(handlers):
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            with conn:
                handler(conn, lambda: self._read(conn, number))

    def _read(self, conn, number):
        data = b""
        while not data.endswith(b"\n"):
            chunk = conn.recv(65536)
            if not chunk:
                return None
            data += chunk
        self.lines.append((number, data))
        return data

    def stop(self):
        if self._listener.fileno() != -1:
            self._listener.shutdown(socket.SHUT_RDWR)
            self._listener.close()
        self._thread.join(10)


def reply_line(request_line, result=0):
    req = json.loads(base64.b64decode(request_line.strip()))
    body = {"id": req["id"], "type": req["type"], "result": result}
    return base64.b64encode(json.dumps(body).encode()) + b"\n"


class ReconnectRule(unittest.TestCase):
    """The rule against a canned server: resent only when the write itself
    failed."""

    def test_closed_while_idle_is_sent_again_on_a_new_connection(self):
        closed = threading.Event()

        def close_at_once(conn, read):
            conn.close()
            closed.set()

        def answer(conn, read):
            conn.sendall(reply_line(read()))

        server = CannedServer(self, close_at_once, answer)
        c = korvane.Client(server.name, require_root_peer=False)
        self.addCleanup(c.close)
        self.assertTrue(closed.wait(10))
        reply = c.request(1001, UI)
        self.assertEqual((reply.id, reply.result), (1, 0))
        self.assertEqual([n for n, _ in server.lines], [1])

    def test_closed_after_the_write_is_not_sent_again(self):
        def read_and_close(conn, read):
            read()

        def answer(conn, read):
            conn.sendall(reply_line(read()))

        for reconnect in (True, False):
            with self.subTest(reconnect=reconnect):
                server = CannedServer(self, read_and_close, answer)
                c = korvane.Client(server.name, require_root_peer=False, reconnect=reconnect)
                self.addCleanup(c.close)
                with self.assertRaisesRegex(korvane.ConnectionClosed, "may have been handled"):
                    c.request(1001, UI)
                self.assertEqual([n for n, _ in server.lines], [0])
                with self.assertRaises(korvane.ConnectionClosed):
                    c.next_notification(timeout=0)
                if reconnect:
                    self.assertEqual(c.request(1001, UI).id, 2)
                    self.assertEqual([n for n, _ in server.lines], [0, 1])
                else:
                    with self.assertRaisesRegex(korvane.KorvaneError, "not connected"):
                        c.request(1001, UI)
                    self.assertEqual([n for n, _ in server.lines], [0])
                server.stop()


class Refused(WithDaemon):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: a product run as another user is refused only when "
                          "the daemon runs as root")
        super().setUp()

    def test_product_of_another_user_gets_not_permitted(self):
        ui = self.client(Endpoint.FRONT_UI)
        self.assertTrue(ui.ui_register(UI, "shield-ui").ok)

        def register():
            with korvane.Client(Endpoint.SECSOFT) as product:
                try:
                    product.register(PRODUCT, "Acme AV", "/opt/acme/bin/acme-av")
                except korvane.NotPermitted as e:
                    return "NotPermitted %d" % e.reply.result
                return "no exception"

        self.assertEqual(run_as_nobody(register), "NotPermitted 403")
        # Nothing stored, nothing announced.
        self.assertEqual(ui.get_product(UI).result, codes.RESULT_NO_SECSOFT)
        self.assertEqual(list(ui.notifications(timeout=0.2)), [])


class NotRunning(unittest.TestCase):
    def test_both_endpoints(self):
        with tempfile.TemporaryDirectory(prefix="vk-py-") as root, \
                mock.patch.dict(os.environ, {"VESKKORVANED_ROOT": root}):
            for endpoint in Endpoint:
                with self.subTest(endpoint=endpoint), self.assertRaises(korvane.NotRunning):
                    korvane.Client(endpoint)


class FullBacklog(unittest.TestCase):
    """A listener with backlog 0 that never accepts, its backlog filled
    first: connect waits until connect_timeout, then raises Timeout."""

    def test_connect_times_out_and_succeeds_once_there_is_room(self):
        name = "@/vk-py-full-%d" % os.getpid()
        address = b"\0" + name[1:].encode()
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(address)
        listener.listen(0)
        filled = []
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.setblocking(False)
            self.addCleanup(s.close)
            try:
                s.connect(address)
            except BlockingIOError:
                break
            filled.append(s)
            self.assertLess(len(filled), 64)
        self.assertTrue(filled)
        for timeout in (0, 0.1):
            with self.subTest(timeout=timeout):
                with self.assertRaisesRegex(korvane.Timeout, "backlog is full"):
                    korvane.Client(name, require_root_peer=False, connect_timeout=timeout)
        listener.accept()[0].close()
        korvane.Client(name, require_root_peer=False, connect_timeout=0.1).close()


class SocketNameLimits(unittest.TestCase):
    """The rule of the daemon and the C++ client: "@name" abstract with at
    most 107 bytes after the "@", anything else a path of at most 107 bytes
    without a zero byte; no empty name, no "@" alone."""

    def test_limits(self):
        with tempfile.TemporaryDirectory(prefix="vk-py-") as tmp:
            abstract = "@/vk-py-names-%d-" % os.getpid()
            path = tmp + "/s"

            def pad(base, total):
                return base + "n" * (total - len(base))

            cases = [
                # name, the address bytes, or the error's text
                (pad(abstract, 1 + 106), b"\0" + pad(abstract, 1 + 106)[1:].encode(), None),
                (pad(abstract, 1 + 107), b"\0" + pad(abstract, 1 + 107)[1:].encode(), None),
                (pad(abstract, 1 + 108), None,
                 "connect: socket name too long: " + pad(abstract, 1 + 108)),
                ("@a\0b", b"\0a\0b", None),
                (pad(path, 107), pad(path, 107).encode(), None),
                (pad(path, 108), None, "connect: socket name too long: " + pad(path, 108)),
                ("", None, "connect: socket name missing"),
                ("@", None, "connect: abstract socket name empty"),
                ("/tmp/a\0b", None, "connect: socket path holds a zero byte: /tmp/a"),
            ]
            for name, address, error in cases:
                with self.subTest(length=len(name), name=name[:20]):
                    if error is None:
                        self.assertEqual(korvane.client._unix_address(name), address)
                        # Accepted: nobody listens there.
                        with self.assertRaises(korvane.NotRunning):
                            korvane.Client(name, require_root_peer=False)
                    else:
                        with self.assertRaises(korvane.KorvaneError) as caught:
                            korvane.Client(name, require_root_peer=False)
                        self.assertEqual(str(caught.exception), error)

    def test_connects_to_the_longest_abstract_name(self):
        name = "@/vk-py-longest-%d-" % os.getpid()
        name += "n" * (1 + 107 - len(name))
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(b"\0" + name[1:].encode())
        listener.listen(1)
        with korvane.Client(name, require_root_peer=False) as c:
            peer, _ = listener.accept()
            peer.close()
            self.assertIsNotNone(c.fileno())


class TrustedListener(unittest.TestCase):
    """A listener that does not run as root is not the daemon."""

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: the listener runs as another user")

    def test_listener_of_another_user(self):
        name = "@/vk-py-test-%d/tmp/.zelluskkorvanefui" % os.getpid()
        ready_r, ready_w = os.pipe()
        hold_r, hold_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(ready_r)
                os.close(hold_w)
                become_nobody()
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.bind(b"\0" + name[1:].encode())
                s.listen(8)
                os.write(ready_w, b"1")
                os.read(hold_r, 1)  # until the parent closes its end
            finally:
                os._exit(0)
        os.close(ready_w)
        os.close(hold_r)
        try:
            self.assertEqual(os.read(ready_r, 1), b"1")
            cases = [
                ("explicit", {"VESKKORVANED_ROOT": "/r"}, True, korvane.UntrustedListener),
                ("not relocated", {"VESKKORVANED_ROOT": ""}, None, korvane.UntrustedListener),
                ("relocated", {"VESKKORVANED_ROOT": "/r"}, None, None),
                ("turned off", {"VESKKORVANED_ROOT": ""}, False, None),
            ]
            for what, env, require, error in cases:
                with self.subTest(what), mock.patch.dict(os.environ, env):
                    if error:
                        with self.assertRaises(error):
                            korvane.Client(name, require_root_peer=require)
                    else:
                        korvane.Client(name, require_root_peer=require).close()
        finally:
            os.close(hold_w)
            os.close(ready_r)
            os.waitpid(pid, 0)


if __name__ == "__main__":
    unittest.main()
