"""test_zip.py: the Windows zip in dist/: its three files, CRLF texts, and the i686 exe checked as a file."""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

ARGS = None
LIMIT_S = 60


def crlf(path):
    with open(path, "rb") as f:
        return f.read().replace(b"\n", b"\r\n")


class ZipTest(unittest.TestCase):
    def setUp(self):
        self.zip_path = os.path.join(ARGS.dist, f"kadron-{ARGS.version}-win32.zip")
        self.assertTrue(os.path.isfile(self.zip_path),
                        f"{self.zip_path} is missing: run bash scripts/package.sh first")

    def test_names_and_texts(self):
        with zipfile.ZipFile(self.zip_path) as z:
            self.assertEqual(sorted(z.namelist()), ["LICENSE.txt", "README.txt", "kadron.exe"])
            # The sources' texts, every line ended by CR LF for Windows editors.
            self.assertEqual(z.read("README.txt"), crlf(ARGS.readme))
            self.assertEqual(z.read("LICENSE.txt"), crlf(ARGS.license))

    def test_readme_speaks_cmd(self):
        # The Windows README, not the Linux one: cmd.exe takes single quotes as part of a word.
        with zipfile.ZipFile(self.zip_path) as z:
            readme = z.read("README.txt").decode("ascii")
        self.assertNotIn("```", readme)
        # No advice to quote in single quotes, and no example that does.
        self.assertNotRegex(readme, r"(?i)in single quotes")
        self.assertNotRegex(readme, r"kadron(\.exe)? \S+ '")
        for example in ('kadron.exe C:\\tools\\poll.exe "--quiet --host example"',
                        'kadron.exe C:\\Windows\\System32\\ping.exe "',
                        'kadron.exe C:\\Windows\\System32\\cmd.exe "/c C:\\path\\job.cmd"'):
            self.assertIn(example, readme)
        for status in ("17", "125", "126", "127"):
            self.assertRegex(readme, rf"\r\n  {status}  ")

    def test_exe_is_the_i686_product(self):
        with tempfile.TemporaryDirectory(prefix="kadron-zip-") as scratch:
            with zipfile.ZipFile(self.zip_path) as z:
                exe = z.extract("kadron.exe", scratch)
            result = subprocess.run(
                [sys.executable, ARGS.check_pe, "--exe", exe, "--machine", "i386",
                 "--version-header", ARGS.version_header, "--icon", ARGS.icon],
                capture_output=True, text=True, timeout=LIMIT_S)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("dist", "version", "readme", "license", "check-pe", "version-header", "icon"):
        parser.add_argument("--" + name, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
