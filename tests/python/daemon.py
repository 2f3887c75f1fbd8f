"""The real daemon as a child process under a fresh temporary root, for the
tests of the korvane module. VK_DAEMON names the binary."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.005)
    return True


def can_connect(name):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(b"\0" + os.fsencode(name[1:]))
        return True
    except OSError:
        return False
    finally:
        s.close()


def end_process(proc, timeout=10):
    """SIGTERM to a child by its id, SIGKILL when it has not ended in time;
    reaps it."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Daemon:
    def __init__(self):
        binary = os.environ.get("VK_DAEMON")
        if not binary:
            raise unittest.SkipTest("VK_DAEMON is not set: run through ctest")
        self.binary = binary
        self.root = tempfile.mkdtemp(prefix="vk-py-")
        # Any user may make files under it (a test runs a child as nobody).
        os.chmod(self.root, 0o755)
        self._start()

    def _start(self):
        env = dict(os.environ, VESKKORVANED_ROOT=self.root)
        self.proc = subprocess.Popen([self.binary, "--foreground"], env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        names = ["@" + self.root + "/tmp/.zelluskkorvane", "@" + self.root + "/tmp/.zelluskkorvanefui"]
        if not wait_for(lambda: self.proc.poll() is not None or all(map(can_connect, names))) \
                or self.proc.poll() is not None:
            err = self.stop()
            raise RuntimeError("the daemon did not start listening: " + err)

    def log(self):
        with open(self.root + "/var/log/veskkorvaned.log", encoding="utf-8",
                  errors="replace") as f:
            return f.read()

    def restart(self):
        """Stops it (by its id) and starts it again on the same root."""
        self._end()
        self._start()

    def _end(self):
        end_process(self.proc)
        err = self.proc.stderr.read().decode(errors="replace")
        self.proc.stderr.close()
        return err

    def stop(self):
        """Stops it (by its id) and removes its root; its standard error."""
        err = self._end()
        shutil.rmtree(self.root, ignore_errors=True)
        return err
