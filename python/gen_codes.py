"""Writes korvane/codes.py from the C header of the protocol's numbers, so
that the Python module and the daemon share one definition.

Usage: gen_codes.py KORVANE_CODES_H OUTPUT
"""

import re
import sys


def enums(header_text):
    """[(c_enum_name, [(NAME, value, comment)])] in the header's order."""
    out = []
    for m in re.finditer(r"enum\s+(\w+)\s*\{(.*?)\}", header_text, re.S):
        members = []
        for line in m.group(2).splitlines():
            e = re.match(r"\s*(KORVANE_\w+)\s*=\s*(\d+)\s*,?\s*(?:/\*\s*(.*?)\s*\*/)?\s*$", line)
            if e:
                members.append((e.group(1), int(e.group(2)), e.group(3) or ""))
            elif line.strip() and not line.strip().startswith("/*"):
                sys.exit("gen_codes: cannot read this line of enum %s: %r" % (m.group(1), line))
        out.append((m.group(1), members))
    return out


def class_name(c_name):
    # korvane_fui_request -> FuiRequest
    return "".join(part.capitalize() for part in c_name.split("_")[1:])


def render(header_text, header="the header"):
    """The text of codes.py for the header's text."""
    parsed = enums(header_text)
    if not parsed:
        sys.exit("gen_codes: no enum in " + header)
    lines = [
        '"""The numbers of the wire protocol: request types, notification types',
        'and the "result" of a reply. Generated from korvane_codes.h at build',
        'time; do not edit."""',
        "",
        "from enum import IntEnum",
    ]
    for c_name, members in parsed:
        lines += ["", "", "class %s(IntEnum):" % class_name(c_name)]
        for name, value, comment in members:
            note = "  # " + comment if comment else ""
            lines.append("    %s = %d%s" % (name[len("KORVANE_"):], value, note))
    lines += ["", ""]
    for c_name, members in parsed:
        for name, _, _ in members:
            short = name[len("KORVANE_"):]
            lines.append("%s = %s.%s" % (short, class_name(c_name), short))
    return "\n".join(lines) + "\n"


def main(header, output):
    with open(header, encoding="utf-8") as f:
        text = render(f.read(), header)
    with open(output, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
