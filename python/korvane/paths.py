"""The daemon's socket names and their relocation under VESKKORVANED_ROOT.

With VESKKORVANED_ROOT set to a directory R, an abstract socket "@/tmp/x"
becomes "@" + R + "/tmp/x"; unset or empty (or "/"), the names are as
below. The variable is read at each call.
"""

import enum
import os

ROOT_ENV = "VESKKORVANED_ROOT"
SECSOFT_SOCKET = "@/tmp/.zelluskkorvane"
FUI_SOCKET = "@/tmp/.zelluskkorvanefui"


class Endpoint(enum.Enum):
    SECSOFT = SECSOFT_SOCKET  # security products
    FRONT_UI = FUI_SOCKET  # front UIs; notifications come here


def root():
    """The relocation root without trailing slashes; "" for none."""
    return os.environ.get(ROOT_ENV, "").rstrip("/")


def socket_name(name):
    """An abstract socket name ("@/...") under the root."""
    if not name.startswith("@"):
        return name
    return "@" + root() + name[1:]


def endpoint_name(endpoint):
    """The relocated socket name of an Endpoint."""
    return socket_name(endpoint.value)
