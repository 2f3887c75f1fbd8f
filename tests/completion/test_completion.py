"""The bash completion of korvanectl, sourced into a real bash: what it
offers for a command line, and that its lists are what the program accepts.

Environment: VK_COMPLETION (the script), VK_KORVANECTL.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvanectl_help import help_commands, usage_options  # noqa: E402

SCRIPT = os.environ.get("VK_COMPLETION", "")
KORVANECTL = os.environ.get("VK_KORVANECTL", "")

# Sources the script, sets the words (the last is the one being completed)
# and prints COMPREPLY one per line.
DRIVER = r'''
source "$1"; shift
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
_korvanectl
printf '%s\n' "${COMPREPLY[@]}"
'''


def complete(line):
    """Completion candidates for `line`; a trailing space starts a new word."""
    words = line.split()
    if line.endswith(" "):
        words.append("")
    out = subprocess.run(["bash", "--norc", "--noprofile", "-c", DRIVER, "bash", SCRIPT, *words],
                         capture_output=True, text=True)
    assert out.returncode == 0 and out.stderr == "", out.stderr
    return sorted(w for w in out.stdout.split("\n") if w)


def ctl(*args):
    env = dict(os.environ, VESKKORVANED_ROOT=ctl.root)
    return subprocess.run([KORVANECTL, "--timeout", "0", *args], env=env,
                          capture_output=True, text=True)


# How korvanectl refuses an option: one another command takes, or none does.
REFUSED = r"takes no option|unknown option"

ALL = ("register update report unregister ui-register get-product get-status "
       "save-config get-config health metrics send watch show status")

CASES = [
    ("korvanectl ", ALL),
    ("korvanectl get-", "get-product get-status get-config"),
    ("korvanectl u", "update unregister ui-register"),
    ("korvanectl --", "--json --timeout --help --version"),
    # The value of --timeout is not the command.
    ("korvanectl --timeout 5 sh", "show"),
    ("korvanectl --json get-status --", "--uuid --id --timeout --help"),
    # Options already given are not offered again.
    ("korvanectl register --uuid U --name N --", "--exec --data --id --json --timeout --help"),
    ("korvanectl ui-register --l", "--login-uid"),
    ("korvanectl send --socket ", "product ui"),
    ("korvanectl send --socket u", "ui"),
    ("korvanectl report --uuid ", ""),
    ("korvanectl watch --", "--timestamps --follow --json --timeout --help"),
    ("korvanectl show ", ""),
    ("korvanectl he", "health"),
    ("korvanectl health --", "--json --timeout --help"),
    ("korvanectl metrics --", "--output --timeout --help"),
    ("korvanectl m", "metrics"),
    # A flag takes no value: the command after it is still found.
    ("korvanectl watch --timestamps --", "--follow --json --timeout --help"),
    ("korvanectl watch --follow --timestamps --", "--json --timeout --help"),
    ("korvanectl nosuch --", "--json --timeout --help"),
]


class Completion(unittest.TestCase):
    def test_cases(self):
        for line, expected in CASES:
            with self.subTest(line=line):
                self.assertEqual(complete(line), sorted(expected.split()))


class AgreesWithProgram(unittest.TestCase):
    """The script's lists are static: they must be the program's."""

    def commands_in_help(self):
        return help_commands(ctl("--help").stdout)

    def options_of(self, command):
        return [o for o in complete("korvanectl %s --" % command)
                if o not in ("--json", "--timeout", "--help")]

    def test_commands_are_the_programs(self):
        self.assertEqual(complete("korvanectl "), sorted(self.commands_in_help()))

    def test_options_in_a_commands_help_are_offered(self):
        for command in self.commands_in_help():
            offered = self.options_of(command)
            for option in usage_options(ctl(command, "--help").stdout, command):
                with self.subTest(command=command, option=option):
                    self.assertIn(option, offered)

    def test_options_offered_are_accepted(self):
        for command in self.commands_in_help():
            for option in self.options_of(command):
                with self.subTest(command=command, option=option):
                    # Fails later (no daemon, a missing argument), never on
                    # the option itself.
                    out = ctl(command, option + "=1")
                    if "takes no value" in out.stderr:  # a flag
                        out = ctl(command, option)
                    self.assertNotRegex(out.stderr, REFUSED)

    def test_an_option_it_rejects_is_caught(self):
        # Guards the check above: the program does name a foreign option.
        for args in [("show", "--uuid=1"), ("show", "--nosuch=1")]:
            with self.subTest(args=args):
                self.assertRegex(ctl(*args).stderr, REFUSED)


if __name__ == "__main__":
    if shutil.which("bash") is None:
        print("skipped: bash is not installed")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="vk-completion-") as root:
        ctl.root = root
        result = unittest.main(exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)
