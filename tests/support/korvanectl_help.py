"""Reading korvanectl's own help, for the tests that check other files (the
manual page, the bash completion) against what the program accepts."""

import re


def help_commands(help_text):
    """The command names `korvanectl --help` lists, in order: lines such as
    "  register, update, report, unregister" and "  send     any ..."."""
    names = []
    for line in help_text.splitlines():
        m = re.match(r"^  ([a-z][a-z-]*(?:, [a-z][a-z-]*)*)(?:\s{2,}\S.*)?$", line)
        if m:
            names += m.group(1).split(", ")
    return names


def usage_options(command_help, command):
    """The options `korvanectl COMMAND --help` shows after the command's name
    in its usage line; those before it (--json, --timeout) are the
    program's own."""
    usage = command_help.split("\n\n")[0].split(" " + command, 1)[1]
    return set(re.findall(r"--[a-z][a-z-]*", usage))
