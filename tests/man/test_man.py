"""The manual pages as built: they render without a warning, korvanectl(1)
names every command and option the program itself accepts, and korvane(3)
every function and number the installed headers declare.

Environment: VK_MAN_DIR (where the build wrote the pages), VK_KORVANECTL,
VK_SOURCE_DIR (the source tree, for the headers).
Exits 77 (skipped) when the pages were not built or nothing can render them.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvanectl_help import help_commands, usage_options  # noqa: E402

MAN_DIR = os.environ.get("VK_MAN_DIR", "")
KORVANECTL = os.environ.get("VK_KORVANECTL", "")
SOURCE_DIR = os.environ.get("VK_SOURCE_DIR") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..")
PAGES = ["veskkorvaned.8", "korvanectl.1", "korvane.3", "korvane-notify.1"]


def renderer():
    """The command line that renders a page to text with warnings on stderr."""
    if shutil.which("groff"):
        # Plain text: no overstrikes for bold and underline.
        return ["groff", "-man", "-Tutf8", "-ww", "-P-cbou"]
    if shutil.which("man"):
        return ["man", "--warnings", "-E", "UTF-8", "-l"]
    return None


def ctl(*args):
    # A root of our own: korvanectl reads nothing there and reaches no daemon.
    env = dict(os.environ, VESKKORVANED_ROOT=ctl.root)
    return subprocess.run([KORVANECTL, *args], env=env, capture_output=True, text=True)


def render(page, wide=False):
    """Renders at 80 columns, or (wide) on long lines without hyphenation so
    that no name is broken."""
    cmd = renderer()
    if wide and cmd[0] == "groff":
        cmd = cmd + ["-rLL=250n", "-rHY=0"]
    env = dict(os.environ, MANWIDTH="250" if wide else "80", MAN_KEEP_FORMATTING="")
    return subprocess.run(cmd + [os.path.join(MAN_DIR, page)],
                          capture_output=True, text=True, env=env)


def section(page, title, next_title):
    """The text of a rendered page from one section heading to the next."""
    return page[page.index("\n" + title + "\n"):page.index("\n" + next_title + "\n")]


def header(name):
    """A header of the client library, without its comments."""
    with open(os.path.join(SOURCE_DIR, name), encoding="utf-8") as f:
        text = f.read()
    return re.sub(r"(?s)/\*.*?\*/|//[^\n]*", " ", text)


class Rendering(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        for page in PAGES:
            with self.subTest(page=page):
                out = render(page)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stderr, "", "warnings rendering " + page)
                self.assertIn("NAME", out.stdout)

    def test_compressed_page_is_the_page(self):
        for page in PAGES:
            gz = os.path.join(MAN_DIR, page + ".gz")
            if not os.path.exists(gz):
                self.skipTest("pages are installed uncompressed (no gzip)")
            with self.subTest(page=page):
                plain = subprocess.run(["gzip", "-dc", gz], capture_output=True).stdout
                with open(os.path.join(MAN_DIR, page), "rb") as f:
                    self.assertEqual(plain, f.read())


class KorvanectlPage(unittest.TestCase):
    """korvanectl(1) cannot drift from the program's own help."""

    @classmethod
    def setUpClass(cls):
        cls.page = render("korvanectl.1", wide=True).stdout
        cls.help = ctl("--help").stdout

    def commands(self):
        return help_commands(self.help)

    def test_help_lists_commands(self):
        # Guards the parsing below: a help without commands proves nothing.
        self.assertIn("register", self.commands())
        self.assertIn("show", self.commands())

    def entry(self, name):
        """A command's entry: its synopsis line (the name alone or followed
        by options) down to the blank line that ends its description."""
        m = re.search(r"(?ms)^ {7}" + re.escape(name) + r"( --[^\n]*)?\n(.*?)^\s*$", self.page)
        return m.group(0) if m else None

    def test_every_command_has_an_entry(self):
        for name in self.commands():
            with self.subTest(command=name):
                self.assertIsNotNone(self.entry(name))

    def test_every_option_of_a_command_is_in_its_entry(self):
        for name in self.commands():
            out = ctl(name, "--help")
            self.assertEqual(out.returncode, 0, out.stderr)
            # The program's own options (--json, --timeout) are in OPTIONS.
            entry = self.entry(name) or ""
            for option in usage_options(out.stdout, name):
                with self.subTest(command=name, option=option):
                    self.assertIn(option, entry)

    def test_exit_codes_match(self):
        codes = re.findall(r"(?m)^  ([0-9]+) ", self.help)
        self.assertTrue(codes)
        section = self.page[self.page.index("EXIT STATUS"):self.page.index("ENVIRONMENT")]
        self.assertEqual(re.findall(r"(?m)^\s+([0-9]+)$", section), codes)


class KorvanePage(unittest.TestCase):
    """korvane(3) cannot drift from the headers it documents."""

    @classmethod
    def setUpClass(cls):
        cls.page = render("korvane.3", wide=True).stdout
        # Every function the shared library exports: KORVANE_EXPORT, then
        # the return type, then the name before its parameters.
        cls.functions = re.findall(r"\bKORVANE_EXPORT\b[^;(]*?\b(\w+)\s*\(",
                                   header("src/client/korvane.h"))

    def test_header_declares_functions(self):
        # Guards the parsing: a pointer return type, a void one, an int one.
        for name in ("korvane_client_new", "korvane_client_free", "korvane_request"):
            self.assertIn(name, self.functions)

    def test_every_exported_function_is_in_synopsis_and_description(self):
        synopsis = section(self.page, "SYNOPSIS", "DESCRIPTION")
        text = section(self.page, "DESCRIPTION", "RETURN VALUE")
        for name in self.functions:
            with self.subTest(function=name):
                self.assertIsNotNone(re.search(r"\b" + name + r"\(", synopsis),
                                     "no prototype in SYNOPSIS")
                self.assertIn(name + "()", text, "not described in DESCRIPTION")

    def test_every_code_is_on_the_page_with_its_number(self):
        # The library's return codes, the request, notification and result
        # numbers: a renumbered or a new one shows here.
        codes = re.findall(
            r"\b(KORVANE_(?:OK|E_\w+|REQ_\w+|NOTIFY_\w+|RESULT_\w+))\s*=\s*(-?\d+)",
            header("src/client/korvane.h") + header("src/base/korvane_codes.h"))
        self.assertIn(("KORVANE_E_CLOSED", "-7"), codes)
        self.assertIn(("KORVANE_REQ_SECSOFT_REGISTER", "2000"), codes)
        for name, number in codes:
            with self.subTest(code=name):
                pattern = r"\b" + name + r"\s+\(" + re.escape(number) + r"\)"
                self.assertIsNotNone(re.search(pattern, self.page),
                                     "not on the page as %s (%s)" % (name, number))


if __name__ == "__main__":
    if not all(os.path.exists(os.path.join(MAN_DIR, p)) for p in PAGES):
        print("skipped: the manual pages were not built (scdoc not found)")
        sys.exit(77)
    if renderer() is None:
        print("skipped: neither groff nor man is installed to render the pages")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="vk-man-") as root:
        ctl.root = root
        result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
