"""`pip install ./python` into a fresh virtual environment, with no package
index: the build backend needs nothing but the standard library, and the
installed module carries codes.py generated from the C header."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest


def venv_available():
    try:
        import ensurepip  # noqa: F401  pylint: disable=import-outside-toplevel,unused-import
        import venv  # noqa: F401  pylint: disable=import-outside-toplevel,unused-import
    except ImportError:
        return False
    return True


class PipInstall(unittest.TestCase):
    def setUp(self):
        self.source = os.environ.get("VK_SOURCE_DIR")
        self.version = os.environ.get("VK_VERSION")
        if not self.source or not self.version:
            self.skipTest("VK_SOURCE_DIR or VK_VERSION is not set: run through ctest")
        if not venv_available():
            self.skipTest("python3 has no venv or ensurepip module (Debian: python3-venv)")
        self.work = tempfile.mkdtemp(prefix="vk-py-venv-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)

    def run_checked(self, argv, env=None):
        r = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, env=env, timeout=240, check=False)
        self.assertEqual(r.returncode, 0, "%s:\n%s" % (argv, r.stdout.decode(errors="replace")))
        return r.stdout.decode()

    def test_install_in_a_virtual_environment_without_an_index(self):
        # A copy of the tree's two parts it reads, so that the build leaves
        # nothing in the source tree.
        tree = os.path.join(self.work, "src-tree")
        shutil.copytree(os.path.join(self.source, "python"), os.path.join(tree, "python"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        os.makedirs(os.path.join(tree, "src", "base"))
        shutil.copy(os.path.join(self.source, "src", "base", "korvane_codes.h"),
                    os.path.join(tree, "src", "base"))
        env_dir = os.path.join(self.work, "venv")
        r = subprocess.run([sys.executable, "-m", "venv", env_dir], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=240, check=False)
        if r.returncode != 0:
            self.skipTest("python3 -m venv failed (Debian: python3-venv): " +
                          r.stdout.decode(errors="replace").strip().splitlines()[-1])
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "PIP_"))}
        env["PIP_NO_INDEX"] = "1"
        env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
        python = os.path.join(env_dir, "bin", "python")
        self.run_checked([python, "-m", "pip", "install", os.path.join(tree, "python")], env)

        probe = ("import importlib.metadata, korvane; "
                 "print(korvane.__file__); "
                 "print(importlib.metadata.version('korvane')); "
                 "print(int(korvane.codes.RESULT_NOT_PERMITTED), korvane.codes.Result(403).name)")
        out = self.run_checked([python, "-c", probe], dict(env, PYTHONNOUSERSITE="1")).split("\n")
        self.assertTrue(out[0].startswith(env_dir + "/"), out[0])
        self.assertEqual(out[1], self.version,
                         "python/pyproject.toml's version differs from the project's")
        self.assertEqual(out[2], "403 RESULT_NOT_PERMITTED")
        # The build wrote nothing beside the sources (but the byte code of
        # the backend, which the interpreter caches).
        self.assertEqual(sorted(set(os.listdir(os.path.join(tree, "python"))) - {"__pycache__"}),
                         ["build_backend.py", "gen_codes.py", "korvane", "pyproject.toml"])


if __name__ == "__main__":
    unittest.main()
