"""Client of veskkorvaned, the registry of the installed security software.

    import korvane
    with korvane.Client(korvane.Endpoint.FRONT_UI) as ui:
        ui.ui_register(UUID, "shield-ui")
        for n in ui.notifications():
            ...

Constants of the protocol are in korvane.codes; every exception derives
from KorvaneError.
"""

from . import codes
from .client import Client
from .errors import (ConnectionClosed, KorvaneError, NotPermitted, NotRunning, OtherFrontUi,
                     ProtocolError, Timeout, UntrustedListener)
from .paths import Endpoint, endpoint_name, socket_name
from .wire import MAX_REQUEST_LINE, Message, decode_line, encode_request, encode_text

__all__ = [
    "codes", "Client", "Endpoint", "endpoint_name", "socket_name", "Message", "decode_line",
    "encode_request", "encode_text", "MAX_REQUEST_LINE", "KorvaneError", "NotRunning",
    "UntrustedListener", "ConnectionClosed", "Timeout", "ProtocolError", "NotPermitted",
    "OtherFrontUi",
]
