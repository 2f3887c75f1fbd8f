"""The exceptions of the korvane module; all derive from KorvaneError."""


class KorvaneError(Exception):
    """Any failure of the client."""


class NotRunning(KorvaneError):
    """Nothing listens on the daemon's socket."""


class UntrustedListener(KorvaneError):
    """The socket's listener does not run as root, so it is not the daemon."""


class ConnectionClosed(KorvaneError):
    """The daemon closed the connection."""


class Timeout(KorvaneError, TimeoutError):
    """No reply, or no notification, within the time given."""


class ProtocolError(KorvaneError):
    """A line that is not a message of the protocol (either direction)."""


class NotPermitted(KorvaneError):
    """Result 403: the daemon's access policy refused the request; nothing
    was done. The reply is in `reply`."""

    def __init__(self, reply):
        super().__init__("not permitted: the daemon refused request %d (id %d)" %
                         (reply.type, reply.id))
        self.reply = reply


class OtherFrontUi(KorvaneError):
    """Result 104: a front-UI registration refused because another front UI
    is current and its process still runs. The reply is in `reply`, the
    current front UI's declared pid in `pid` (None when the reply has
    none)."""

    def __init__(self, reply):
        data = reply.data if isinstance(reply.data, dict) else {}
        pid = data.get("pid")
        self.pid = pid if isinstance(pid, int) and not isinstance(pid, bool) else None
        super().__init__("another front UI is registered" +
                         ("" if self.pid is None else " (pid %d)" % self.pid))
        self.reply = reply
