"""examples/python/front_ui.py against the real daemon: it registers, runs
its command on 1504 and 1503 with the default product's uuid and exec,
and registers again after the daemon restarts."""

import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import korvane
from korvane import Endpoint, codes
from daemon import Daemon, end_process, wait_for

DEFAULT = "3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35"
DEFAULT_EXEC = "/opt/palemoss/palemoss"
PRODUCT = "8b0e7c1d-2f3a-4b5c-9d6e-7f8a9b0c1d2e"


def read(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class FrontUiExample(unittest.TestCase):
    def setUp(self):
        source = os.environ.get("VK_SOURCE_DIR")
        if not source:
            self.skipTest("VK_SOURCE_DIR is not set: run through ctest")
        self.daemon = Daemon()
        self.addCleanup(self.daemon.stop)
        env = mock.patch.dict(os.environ, {"VESKKORVANED_ROOT": self.daemon.root})
        env.start()
        self.addCleanup(env.stop)
        work = tempfile.mkdtemp(prefix="vk-py-example-", dir=self.daemon.root)
        self.ran = os.path.join(work, "ran")
        self.out = os.path.join(work, "out")
        command = os.path.join(work, "act")
        with open(command, "w", encoding="utf-8") as f:
            f.write('#!/bin/sh\necho "$@" >> "%s"\n' % self.ran)
        os.chmod(command, 0o755)
        with open(self.out, "wb") as out:
            self.example = subprocess.Popen(
                [sys.executable, os.path.join(source, "examples", "python", "front_ui.py")],
                env=dict(os.environ, KORVANE_FUI_COMMAND=command), stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop_example)

    def stop_example(self):
        end_process(self.example)

    def product(self, request):
        with korvane.Client(Endpoint.SECSOFT) as c:
            self.assertEqual(request(c).result, codes.RESULT_OK)

    def wait_output(self, path, text):
        self.assertTrue(wait_for(lambda: text in read(path), 20),
                        "no %r in %s:\n%s\noutput:\n%s" % (text, path, read(path), read(self.out)))

    def test_acts_on_the_default_and_follows_a_restart(self):
        self.product(lambda c: c.register(DEFAULT, "Ambrel", DEFAULT_EXEC))
        self.wait_output(self.out, "registered as")
        self.product(lambda c: c.register(PRODUCT, "Acme AV", "/opt/acme/bin/acme-av"))
        self.wait_output(self.ran, "stop %s %s\n" % (DEFAULT, DEFAULT_EXEC))
        self.product(lambda c: c.unregister(PRODUCT))
        self.wait_output(self.ran, "start %s %s\n" % (DEFAULT, DEFAULT_EXEC))

        self.daemon.restart()
        self.wait_output(self.out, "daemon restarted, registered again")
        # Registered with the new daemon: it is told to stop the default again.
        self.product(lambda c: c.register(PRODUCT, "Acme AV", "/opt/acme/bin/acme-av"))
        self.assertTrue(wait_for(lambda: read(self.ran).count("stop ") == 2, 20), read(self.ran))
        self.assertIsNone(self.example.poll(), read(self.out))
        self.stop_example()
        self.assertEqual(self.example.returncode, 0, read(self.out))
        self.assertEqual(read(self.ran).splitlines(),
                         ["stop %s %s" % (DEFAULT, DEFAULT_EXEC),
                          "start %s %s" % (DEFAULT, DEFAULT_EXEC),
                          "stop %s %s" % (DEFAULT, DEFAULT_EXEC)])

    def test_steps_down_when_replaced(self):
        self.wait_output(self.out, "registered as")
        with korvane.Client(Endpoint.FRONT_UI) as root_ui:
            self.assertEqual(root_ui.ui_register("root-ui", "root's UI", replace=True).result,
                             codes.RESULT_OK)
            self.assertEqual(self.example.wait(20), 0, read(self.out))
        self.assertIn("replaced by root-ui (pid %d): no longer the current front UI"
                      % os.getpid(), read(self.out))
        # Gone, it no longer acts for the default product.
        self.product(lambda c: c.register(DEFAULT, "Ambrel", DEFAULT_EXEC))
        self.product(lambda c: c.register(PRODUCT, "Acme AV", "/opt/acme/bin/acme-av"))
        self.assertEqual(read(self.ran), "")


if __name__ == "__main__":
    unittest.main()
