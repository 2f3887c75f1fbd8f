#!/usr/bin/env python3
"""A minimal front UI for veskkorvaned: registers on the front-UI socket,
prints every notification, and acts on the two the daemon sends about
the default product: 1504 (stop it) and 1503 (start it), by running a
command given with --command or $KORVANE_FUI_COMMAND as

    COMMAND stop|start UUID EXEC

(UUID and EXEC the default product's, from the notification). When the
daemon stops or restarts it connects again (after 0.2 s, then twice as
long each time, 5 s at most) and registers again. Ends on SIGINT or
SIGTERM, and when another front UI takes its place (1505 naming another
uuid): the default product is then the new one's to start and stop.

    PYTHONPATH=build/python python3 examples/python/front_ui.py \\
        --command /usr/local/bin/default-product-ctl
"""

import argparse
import os
import shlex
import signal
import subprocess
import sys
import time

import korvane
from korvane import codes

UUID = "0d6b7a52-3f0e-4c1a-9b8d-5e2f1a7c9d40"
ACTIONS = {codes.NOTIFY_STOP_DEFAULT: "stop", codes.NOTIFY_START_DEFAULT: "start"}


def say(text):
    print(text, flush=True)


def register(ui, args):
    ui.ui_register(args.uuid, args.name)


def run_action(command, action, note):
    data = note.data if isinstance(note.data, dict) else {}
    argv = shlex.split(command) + [action, note.uuid, str(data.get("exec", ""))]
    r = subprocess.run(argv, stdin=subprocess.DEVNULL, check=False)
    say("ran %s: exit %d" % (shlex.join(argv), r.returncode))


def connect(args):
    """Connects and registers, trying again until it works."""
    wait = 0.2
    while True:
        try:
            ui = korvane.Client(korvane.Endpoint.FRONT_UI)
            register(ui, args)
            return ui
        except korvane.OtherFrontUi as e:
            say("not registered: %s" % e)
            raise SystemExit(1) from None
        except korvane.KorvaneError as e:
            say("cannot register yet: %s; again in %.1f s" % (e, wait))
        time.sleep(wait)
        wait = min(wait * 2, 5.0)


def follow(args):
    ui = connect(args)
    say("registered as %s" % args.uuid)
    while True:
        try:
            note = ui.next_notification()
        except (korvane.ConnectionClosed, korvane.ProtocolError) as e:
            ui.close()
            say("connection lost (%s), reconnecting" % e)
            ui = connect(args)
            say("daemon restarted, registered again")
            continue
        say("notification %d %s %s" % (note.type, note.uuid,
                                       "" if note.data is None else note.data))
        if note.type == codes.NOTIFY_FUI_REPLACED and note.uuid != args.uuid:
            data = note.data if isinstance(note.data, dict) else {}
            say("replaced by %s (pid %s): no longer the current front UI"
                % (note.uuid, data.get("pid", "?")))
            ui.close()
            return
        action = ACTIONS.get(note.type)
        if action and args.command:
            run_action(args.command, action, note)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--command", default=os.environ.get("KORVANE_FUI_COMMAND", ""),
                        help="run as COMMAND stop|start UUID EXEC on 1504 and 1503 "
                        "(default: $KORVANE_FUI_COMMAND; none: only print)")
    parser.add_argument("--uuid", default=UUID, help="this front UI's uuid")
    parser.add_argument("--name", default="korvane-example-ui", help="this front UI's name")
    args = parser.parse_args()

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    follow(args)


if __name__ == "__main__":
    sys.exit(main())
