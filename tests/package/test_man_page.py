"""test_man_page.py: the configured manual page passes both formatters' checks and names the version."""

import subprocess
import sys
import unittest

PAGE = None
VERSION = None
LIMIT_S = 30


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=LIMIT_S)


class ManPageTest(unittest.TestCase):
    def test_no_warnings(self):
        lint = run("mandoc", "-Tlint", "-Wwarning", PAGE)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
        # groff -ww: every warning; -z: format, print nothing.
        groff = run("groff", "-ww", "-mandoc", "-Tutf8", "-z", PAGE)
        self.assertEqual((groff.returncode, groff.stderr), (0, ""))

    def test_footer_names_tool_and_version(self):
        page = run("mandoc", "-Tascii", PAGE)
        self.assertEqual(page.returncode, 0, page.stderr)
        footer = page.stdout.rstrip("\n").split("\n")[-1]
        self.assertRegex(footer, rf"\AKADRON {VERSION}\s+\S.*\S\s+KADRON {VERSION}\Z")


if __name__ == "__main__":
    PAGE, VERSION = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
