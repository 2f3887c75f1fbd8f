"""A connection to one of the daemon's sockets: requests sent, their
replies matched by id, notifications kept in order until asked for."""

import collections
import os
import socket
import struct
import time

from . import codes
from .errors import (ConnectionClosed, KorvaneError, NotPermitted, NotRunning, OtherFrontUi,
                     ProtocolError, Timeout, UntrustedListener)
from .paths import Endpoint, endpoint_name, root
from .wire import _NO_DATA, MAX_REQUEST_LINE, decode_line, encode_request

# Longest line read before giving up on the connection.
MAX_LINE = 16 * 1024 * 1024
DEFAULT_TIMEOUT = 5.0
# The sender of a health request when the caller names none; the daemon
# answers whatever the uuid.
HEALTH_UUID = "korvane-health"


# The longest abstract name after the "@", and the longest file path, in
# bytes: sockaddr_un's 108 bytes of name less the leading zero byte or the
# terminator (the daemon and the C++ client hold the same rule).
MAX_SOCKET_NAME = 107


def _unix_address(name):
    """The address for socket.connect: "@name" is abstract (a zero byte,
    then exactly the name's bytes), anything else a file path. Raises
    KorvaneError when the name is empty, "@" alone, too long or a path
    holding a zero byte, with the texts of the C++ client."""
    raw = os.fsencode(name)
    if not raw:
        raise KorvaneError("connect: socket name missing")
    if raw.startswith(b"@"):
        if len(raw) == 1:
            raise KorvaneError("connect: abstract socket name empty")
        if len(raw) - 1 > MAX_SOCKET_NAME:
            raise KorvaneError("connect: socket name too long: %s" % name)
        return b"\0" + raw[1:]
    if len(raw) > MAX_SOCKET_NAME:
        raise KorvaneError("connect: socket name too long: %s" % name)
    if b"\0" in raw:
        raise KorvaneError("connect: socket path holds a zero byte: %s" %
                           os.fsdecode(raw[:raw.index(b"\0")]))
    return raw


def _deadline(timeout):
    return None if timeout is None else time.monotonic() + timeout


def _login_uid():
    try:
        with open("/proc/self/loginuid", encoding="ascii") as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return -1


def _as_int32(value):
    # The daemon reads these as 32-bit integers: the "unset" login uid
    # 4294967295 travels as -1.
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


class Client:
    """Connects at once to `endpoint`: an Endpoint (relocated under
    VESKKORVANED_ROOT) or a socket name ("@name" for an abstract socket,
    anything else a path).

    require_root_peer: refuse a listener that does not run as root (it
    cannot be the daemon: anyone may bind an abstract name while the daemon
    is down). By default on, and off when VESKKORVANED_ROOT is set, since a
    relocated daemon is a try-out or a test run by anyone.

    connect_timeout: how long to wait for the daemon to take the connection
    (a daemon whose listen backlog is full keeps connect waiting); past it,
    Timeout is raised.

    reconnect: whether request() connects again after the daemon closed
    the connection (it closes a product connection idle for 60 seconds, and
    all of them when it stops), as the C library does; on by default. When
    the write of a request fails because the connection is gone, the daemon
    never saw it: request() connects once and sends it there. When the
    connection ends after the write and before the reply, the request may
    or may not have been handled: ConnectionClosed is raised without sending
    again, and the next request() connects again. With reconnect=False,
    ConnectionClosed is raised in both cases and every later request()
    raises KorvaneError ("not connected").

    Timeouts are in seconds; None waits without limit. Not thread-safe.
    """

    def __init__(self, endpoint=Endpoint.FRONT_UI, *, require_root_peer=None, send_timeout=10.0,
                 connect_timeout=DEFAULT_TIMEOUT, reconnect=True):
        self.name = endpoint_name(endpoint) if isinstance(endpoint, Endpoint) else endpoint
        if require_root_peer is None:
            require_root_peer = root() == ""
        self.send_timeout = send_timeout
        self.reconnect = reconnect
        self._require_root_peer = require_root_peer
        self._connect_timeout = connect_timeout
        self._in = bytearray()
        self._pending = collections.deque()  # notifications read while waiting for a reply
        self._next_id = 1
        # The connection ended without the caller closing it: the next
        # request() connects again.
        self._lost = False
        self._sock = self._connect(self.name, require_root_peer, connect_timeout)

    @staticmethod
    def _connect(name, require_root_peer, timeout):
        address = _unix_address(name)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        # A Unix connect to a full backlog waits as long as the send timeout
        # allows, then fails with EAGAIN; a socket timeout (non-blocking
        # underneath) would fail at once instead of waiting.
        if timeout is not None:
            micros = max(1, int(timeout * 1e6))
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO,
                            struct.pack("ll", micros // 1000000, micros % 1000000))
        try:
            sock.connect(address)
        except BlockingIOError:
            sock.close()
            raise Timeout("connect %s: the daemon did not take the connection within %g s "
                          "(its backlog is full)" % (name, timeout)) from None
        except (FileNotFoundError, ConnectionRefusedError) as e:
            sock.close()
            raise NotRunning("cannot reach the daemon at %s: %s (is veskkorvaned running?)" %
                             (name, e.strerror)) from None
        except OSError as e:
            sock.close()
            raise KorvaneError("connect %s: %s" % (name, e)) from None
        if require_root_peer:
            cred = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
            pid, uid, _ = struct.unpack("3i", cred)
            if uid != 0:
                sock.close()
                raise UntrustedListener("refusing %s: its listener runs as uid %d (pid %d), "
                                        "not root" % (name, uid, pid))
        return sock

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        self._lost = False

    def connect_again(self):
        """Connects again to the same name; unread input and kept
        notifications are dropped."""
        self.close()
        self._in.clear()
        self._pending.clear()
        self._sock = self._connect(self.name, self._require_root_peer, self._connect_timeout)

    def _drop(self):
        # The connection cannot go on (closed by the daemon, or a line cut
        # short); the next request() connects again.
        self.close()
        self._lost = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def fileno(self):
        """For select/poll. Readable does not mean a whole line is there:
        call next_notification(timeout=0) and catch Timeout."""
        return self._sock.fileno()

    # -- sending --------------------------------------------------------

    def send_raw(self, data):
        """Sends the bytes as they are."""
        if self._sock is None:
            raise KorvaneError("send: not connected")
        self._sock.settimeout(self.send_timeout)
        try:
            self._sock.sendall(data, socket.MSG_NOSIGNAL)
        except socket.timeout:
            raise Timeout("send: timeout") from None
        except (BrokenPipeError, ConnectionResetError):
            raise ConnectionClosed("send: connection closed by the daemon") from None

    def send(self, type, uuid, data=_NO_DATA, id=None):
        """Sends a request; `data`, any JSON value, becomes its "data"
        member (left out: none). Returns the request's id."""
        if id is None:
            id, self._next_id = self._next_id, self._next_id + 1
        line = encode_request(uuid, id, type, data)
        if len(line) - 1 > MAX_REQUEST_LINE:
            raise ValueError("request line of %d bytes: the daemon reads at most %d" %
                             (len(line) - 1, MAX_REQUEST_LINE))
        self.send_raw(line)
        return id

    def _send_request(self, type, uuid, data):
        reconnected = False
        if self._sock is None:
            if not self._lost:
                raise KorvaneError("send: not connected")
            if not self.reconnect:
                raise KorvaneError("send: not connected: the connection was lost")
            self.connect_again()
            reconnected = True
        id, self._next_id = self._next_id, self._next_id + 1
        line = encode_request(uuid, id, type, data)
        if len(line) - 1 > MAX_REQUEST_LINE:
            raise ValueError("request line of %d bytes: the daemon reads at most %d" %
                             (len(line) - 1, MAX_REQUEST_LINE))
        try:
            try:
                self.send_raw(line)
            except ConnectionClosed:
                # A write refused because the daemon has gone delivered no
                # whole line: the daemon never saw this request, so it can
                # go again, once.
                if not self.reconnect or reconnected:
                    raise
                self.connect_again()
                self.send_raw(line)
        except KorvaneError:
            # Part of the line may be out: nothing more can follow it.
            self._drop()
            raise
        return id

    # -- receiving ------------------------------------------------------

    def _read_line(self, deadline):
        scanned = 0
        while True:
            nl = self._in.find(b"\n", scanned)
            if nl >= 0:
                line = bytes(self._in[:nl])
                del self._in[:nl + 1]
                return line
            scanned = len(self._in)
            if scanned > MAX_LINE:
                raise ProtocolError("read: line longer than %d bytes" % MAX_LINE)
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            self._sock.settimeout(left)
            try:
                chunk = self._sock.recv(65536)
            except (socket.timeout, BlockingIOError):
                raise Timeout("read: timeout") from None
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                mid_line = bool(self._in)
                self._drop()
                raise ConnectionClosed("read: connection closed" + (" mid-line" if mid_line else ""))
            self._in += chunk

    def _check_readable(self):
        if self._sock is None:
            if self._lost:
                raise ConnectionClosed("read: the connection was lost")
            raise KorvaneError("read: not connected")

    def read_message(self, timeout=None):
        """The next message as it comes, reply or notification."""
        self._check_readable()
        return decode_line(self._read_line(_deadline(timeout)))

    def wait_reply(self, id, timeout=DEFAULT_TIMEOUT):
        """The reply to request `id`. Notifications that come first are kept
        for next_notification; replies to other ids are dropped."""
        self._check_readable()
        deadline = _deadline(timeout)
        while True:
            msg = decode_line(self._read_line(deadline))
            if not msg.is_reply:
                self._pending.append(msg)
            elif msg.id == id:
                return msg

    def request(self, type, uuid, data=_NO_DATA, timeout=DEFAULT_TIMEOUT):
        """Sends a request and returns its reply. Raises NotPermitted on
        result 403, OtherFrontUi on result 104 (a front-UI registration
        refused while another front UI is current) and Timeout when no reply
        comes in time (the daemon answers nothing to a line it cannot decode
        or a type it does not serve). Other results are the caller's to
        read.

        After the daemon closed the connection, connects again as the
        class's `reconnect` says."""
        id = self._send_request(type, uuid, data)
        try:
            reply = self.wait_reply(id, timeout)
        except ConnectionClosed as e:
            raise ConnectionClosed("%s before the reply; the request may have been handled" %
                                   e) from None
        if reply.result == codes.RESULT_NOT_PERMITTED:
            raise NotPermitted(reply)
        if reply.result == codes.RESULT_OTHER_FUI:
            raise OtherFrontUi(reply)
        return reply

    def next_notification(self, timeout=None):
        """The next notification; Timeout when none comes in time."""
        if self._pending:
            return self._pending.popleft()
        self._check_readable()
        deadline = _deadline(timeout)
        while True:
            msg = decode_line(self._read_line(deadline))
            if not msg.is_reply:
                return msg

    def notifications(self, timeout=None):
        """Iterates over the notifications as they come. With a timeout,
        the iteration ends when none comes within it."""
        while True:
            try:
                yield self.next_notification(timeout)
            except Timeout:
                return

    # -- security products ---------------------------------------------

    def _detail(self, name, exec_path, extra):
        detail = {"name": name, "exec": exec_path}
        detail.update({k: v for k, v in (extra or {}).items() if k not in detail})
        return detail

    def register(self, uuid, name, exec_path, extra=None, timeout=DEFAULT_TIMEOUT):
        """Registers a product (2000); `extra` adds members to its detail.
        Result 501: stored, but another product is active."""
        return self.request(codes.REQ_SECSOFT_REGISTER, uuid,
                            self._detail(name, exec_path, extra), timeout)

    def update(self, uuid, name, exec_path, extra=None, timeout=DEFAULT_TIMEOUT):
        """Updates a product's detail (2003)."""
        return self.request(codes.REQ_SECSOFT_UPDATE, uuid, self._detail(name, exec_path, extra),
                            timeout)

    def report(self, uuid, status, timeout=DEFAULT_TIMEOUT):
        """Reports a product's status (2002): an object, stored and
        forwarded to the front UIs as it is."""
        return self.request(codes.REQ_SECSTAT_UPDATE, uuid, status, timeout)

    def unregister(self, uuid, timeout=DEFAULT_TIMEOUT):
        """Unregisters a product (2001)."""
        return self.request(codes.REQ_SECSOFT_UNREGISTER, uuid, timeout=timeout)

    # -- front UIs -----------------------------------------------------

    def ui_register(self, uuid, name, pid=None, euid=None, login_uid=None, replace=False,
                    timeout=DEFAULT_TIMEOUT):
        """Registers a front UI (1000). pid, euid and login uid default to
        this process's own, which a front UI not run by root must declare.
        The daemon keeps the front UI current only while the declared
        process runs. Raises OtherFrontUi (result 104) while another front
        UI is current. replace=True asks to take the current one's place
        (granted to root; every front UI then gets NOTIFY_FUI_REPLACED)."""
        body = {
            "name": name,
            "login_uid": _as_int32(_login_uid() if login_uid is None else login_uid),
            "euid": _as_int32(os.geteuid() if euid is None else euid),
            "pid": _as_int32(os.getpid() if pid is None else pid),
        }
        if replace:
            body["replace"] = True
        return self.request(codes.REQ_FUI_REGISTER, uuid, body, timeout)

    def get_product(self, uuid, timeout=DEFAULT_TIMEOUT):
        """The active product's detail (1001) in reply.data[0]."""
        return self.request(codes.REQ_GET_SECSOFT, uuid, timeout=timeout)

    def get_status(self, uuid, timeout=DEFAULT_TIMEOUT):
        """The active product's status (1002) in reply.data[0]."""
        return self.request(codes.REQ_GET_SECSTAT, uuid, timeout=timeout)

    def save_config(self, uuid, config, timeout=DEFAULT_TIMEOUT):
        """Stores the front UI's configuration object (1003)."""
        return self.request(codes.REQ_SAVE_FUICONF, uuid, config, timeout)

    def get_config(self, uuid, timeout=DEFAULT_TIMEOUT):
        """The front UI's configuration (1004) in reply.data."""
        return self.request(codes.REQ_GET_FUICONF, uuid, timeout=timeout)

    # -- anyone ---------------------------------------------------------

    def get_health(self, uuid=None, timeout=DEFAULT_TIMEOUT):
        """The protection verdict (1005), answered to any sender, registered
        or not; `uuid` defaults to "korvane-health". reply.data is a dict:
        "verdict" ("protected", "at-risk" or "unknown"), "reasons" (a list
        of texts), "product", "name", "alive", "protection", "signatures",
        "last_report" and "default" (each None when not known)."""
        return self.request(codes.REQ_GET_HEALTH, HEALTH_UUID if uuid is None else uuid,
                            timeout=timeout)
