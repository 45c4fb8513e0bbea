"""test_lintian.py: lintian finds no error and no warning in the Debian package in dist/."""

import argparse
import os
import subprocess
import sys
import unittest

ARGS = None
LIMIT_S = 300


class LintianTest(unittest.TestCase):
    def test_no_errors_or_warnings(self):
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                              timeout=LIMIT_S, check=True).stdout.strip()
        deb = os.path.join(ARGS.dist, f"kadron_{ARGS.version}_{arch}.deb")
        self.assertTrue(os.path.isfile(deb), f"{deb} is missing: run bash scripts/package.sh first")
        # Informational tags shown too, so that the log tells what lintian would still like.
        result = subprocess.run([ARGS.lintian, "--display-info", "--fail-on", "error,warning", deb],
                                capture_output=True, text=True, timeout=LIMIT_S)
        print(result.stdout, end="")
        tags = [line for line in result.stdout.splitlines() if line.startswith(("E: ", "W: "))]
        self.assertEqual(tags, [])
        self.assertEqual(result.returncode, 0, result.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("dist", "version", "lintian"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
