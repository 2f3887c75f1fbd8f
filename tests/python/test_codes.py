"""korvane.codes, generated at build time, holds the C header's numbers."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from korvane import codes

HEADER = os.environ.get("VK_CODES_H", "")
CC = os.environ.get("VK_CC") or shutil.which("cc") or ""


def constants():
    return {k: int(v) for k, v in vars(codes).items() if re.fullmatch(r"[A-Z][A-Z0-9_]+", k)}


class CodesAreTheHeaders(unittest.TestCase):
    def test_every_enumerator_of_the_header_is_a_constant(self):
        if not os.path.exists(HEADER):
            self.skipTest("VK_CODES_H is not set: run through ctest")
        with open(HEADER, encoding="utf-8") as f:
            names = re.findall(r"\bKORVANE_([A-Z0-9_]+)\s*=", f.read())
        self.assertTrue(names)
        self.assertEqual(sorted(names), sorted(constants()))

    def test_values_are_what_the_compiler_reads(self):
        # The C compiler, not a second parser, says what the header means.
        if not os.path.exists(HEADER) or not CC:
            self.skipTest("needs VK_CODES_H and a C compiler")
        prints = "".join('printf("%s %%d\\n", (int)KORVANE_%s);\n' % (n, n) for n in constants())
        with tempfile.TemporaryDirectory(prefix="vk-codes-") as tmp:
            src = os.path.join(tmp, "codes.c")
            with open(src, "w") as f:
                f.write('#include <stdio.h>\n#include "%s"\nint main(void) {\n%sreturn 0;\n}\n'
                        % (HEADER, prints))
            exe = os.path.join(tmp, "codes")
            built = subprocess.run([CC, "-std=c99", "-o", exe, src], capture_output=True, text=True)
            self.assertEqual(built.returncode, 0, built.stderr)
            out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout
        from_c = {name: int(value) for name, value in (line.split() for line in out.splitlines())}
        self.assertEqual(from_c, constants())

    def test_enums_name_their_members(self):
        self.assertIs(codes.Result(403), codes.Result.RESULT_NOT_PERMITTED)
        self.assertEqual(codes.Notification(1504).name, "NOTIFY_STOP_DEFAULT")


if __name__ == "__main__":
    unittest.main()
