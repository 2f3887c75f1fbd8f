"""Lines of the protocol: each message is the base64 text of a JSON object
and a "\\n". No socket here: values in, lines out, and back."""

import base64
import binascii
import json
import math
from dataclasses import dataclass, field
from typing import Any

from .errors import ProtocolError

# Longest request line the daemon reads, without its "\n"; it drops longer
# ones without a reply.
MAX_REQUEST_LINE = 8192

_NO_DATA = object()


@dataclass
class Message:
    """A reply (it has a `result`) or a notification (`result` is None)."""

    id: int
    type: int
    result: Any = None
    uuid: str = ""
    data: Any = None
    has_data: bool = False
    json: str = field(default="", repr=False)  # the decoded text as received

    @property
    def is_reply(self):
        return self.result is not None

    @property
    def ok(self):
        return self.result == 0


def encode_request(uuid, id, type, data=_NO_DATA):
    """The line for a request envelope. `data`, any JSON value, becomes the
    "data" member; left out, there is none."""
    envelope = {}
    if data is not _NO_DATA:
        envelope["data"] = data
    envelope.update(uuid=uuid, id=int(id), type=int(type))
    return encode_text(json.dumps(envelope, separators=(",", ":"), ensure_ascii=False))


def encode_text(text):
    """Any text, base64-encoded as it is, with its "\\n"."""
    return base64.b64encode(text.encode("utf-8")) + b"\n"


def _number(value):
    # json reads NaN and Infinity, which no integer holds.
    return (isinstance(value, (int, float)) and not isinstance(value, bool) and
            math.isfinite(value))


def decode_line(line):
    """A Message from a received line (its "\\n" optional). Raises
    ProtocolError when the line is not canonical base64 of a JSON object
    with numeric "id" and "type"."""
    line = line[:-1] if line.endswith(b"\n") else line
    try:
        raw = base64.b64decode(line, validate=True)
    except (binascii.Error, ValueError) as e:
        raise ProtocolError("decode: not base64: %s" % e) from None
    if base64.b64encode(raw) != line:
        raise ProtocolError("decode: not canonical base64")
    try:
        text = raw.decode("utf-8")
        obj = json.loads(text)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise ProtocolError("decode: not a JSON text") from None
    if "\0" in text or not isinstance(obj, dict):
        raise ProtocolError("decode: not a JSON object")
    id_, type_ = obj.get("id"), obj.get("type")
    if not _number(id_) or not _number(type_):
        raise ProtocolError('decode: "id" or "type" missing or not a number')
    if not (0 <= type_ <= 0xFFFFFFFF) or int(type_) != type_:
        raise ProtocolError('decode: "type" is not an unsigned 32-bit integer')
    msg = Message(id=int(id_), type=int(type_), json=text)
    if "result" in obj:
        if not _number(obj["result"]):
            raise ProtocolError('decode: "result" is not a number')
        msg.result = int(obj["result"])
    if "uuid" in obj:
        if not isinstance(obj["uuid"], str):
            raise ProtocolError('decode: "uuid" is not a string')
        msg.uuid = obj["uuid"]
    if "data" in obj:
        msg.data, msg.has_data = obj["data"], True
    return msg
