"""test_deb.py: the Debian package in dist/: metadata, files, modes, and the unpacked tool's banner."""

import argparse
import glob
import gzip
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from tool_texts import MISSING_PROGRAM, USAGE, banner  # noqa: E402

ARGS = None
LIMIT_S = 30

# Every file of the package, with the mode and owner dpkg-deb lists; directories are all drwxr-xr-x.
FILES = {
    "./usr/bin/kadron": "-rwxr-xr-x root/root",
    "./usr/share/man/man1/kadron.1.gz": "-rw-r--r-- root/root",
    "./usr/share/doc/kadron/README.gz": "-rw-r--r-- root/root",
    "./usr/share/doc/kadron/changelog.gz": "-rw-r--r-- root/root",
    "./usr/share/doc/kadron/copyright": "-rw-r--r-- root/root",
}


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=LIMIT_S, check=True).stdout


class DebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        arch = run("dpkg", "--print-architecture").strip()
        cls.deb = os.path.join(ARGS.dist, f"kadron_{ARGS.version}_{arch}.deb")
        if not os.path.isfile(cls.deb):
            raise AssertionError(f"{cls.deb} is missing: run bash scripts/package.sh first")
        cls.scratch = tempfile.TemporaryDirectory(prefix="kadron-deb-")
        cls.root = cls.scratch.name
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def unpacked(self, path):
        return os.path.join(self.root, path.lstrip("./"))

    def test_metadata(self):
        fields = {}
        for name in ("Package", "Version", "Architecture", "Maintainer", "Homepage", "Section", "Depends",
                     "Description"):
            fields[name] = run("dpkg-deb", "-f", self.deb, name).rstrip("\n")
        self.assertEqual(fields["Package"], "kadron")
        self.assertEqual(fields["Version"], ARGS.version)
        self.assertEqual(fields["Architecture"], run("dpkg", "--print-architecture").strip())
        self.assertEqual(fields["Homepage"], ARGS.homepage)
        self.assertEqual(fields["Section"], "utils")
        host = re.match(r"[a-z]+://(?:www\.)?([^/:?#]+)", ARGS.homepage).group(1)
        address = ARGS.email or r"[^@\s<>]+@" + re.escape(host)
        self.assertRegex(fields["Maintainer"], r"\A" + re.escape(ARGS.maker) + " <" + address + r">\Z")
        # Computed from the binary: the C library with the version it needs, and no C++ runtime.
        self.assertRegex(fields["Depends"], r"\blibc6 \(>= [0-9.]+\)")
        self.assertNotIn("libstdc++", fields["Depends"])
        summary, *body = fields["Description"].split("\n")
        self.assertTrue(summary.strip())
        self.assertGreaterEqual(len(body), 2)
        self.assertTrue(all(line.startswith(" ") for line in body), body)

    def test_files_modes_and_owners(self):
        listed = {}
        for line in run("dpkg-deb", "-c", self.deb).splitlines():
            mode_owner, path = " ".join(line.split()[:2]), line.split()[-1]
            if path.endswith("/"):
                self.assertEqual(mode_owner, "drwxr-xr-x root/root", path)
            else:
                listed[path] = mode_owner
        self.assertEqual(listed, FILES)
        # dist/ holds this version's package alone.
        self.assertEqual(glob.glob(os.path.join(ARGS.dist, "kadron_*.deb")), [self.deb])

    def test_binary_stripped_hardened_and_needs_no_cpp_runtime(self):
        binary = self.unpacked("./usr/bin/kadron")
        sections = run("readelf", "-S", "--wide", binary)
        self.assertNotIn(".symtab", sections)
        self.assertNotIn(".debug_", sections)
        self.assertNotIn(".comment", sections)
        # Stripping must keep the data the banner reads.
        self.assertIn(".kadron_version", sections)
        dynamic = run("readelf", "-d", binary)
        self.assertNotIn("libstdc++", dynamic)
        # Relocations bound at start and made read-only; checked C library calls; a stack protector.
        self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW")
        self.assertIn("GNU_RELRO", run("readelf", "-l", "--wide", binary))
        imports = run("readelf", "--dyn-syms", "--wide", binary)
        self.assertRegex(imports, r"\b__\w+_chk\b")
        self.assertIn("__stack_chk_fail", imports)

    def test_unpacked_tool_shows_its_version(self):
        binary = self.unpacked("./usr/bin/kadron")
        result = subprocess.run([binary], capture_output=True, text=True, timeout=LIMIT_S, cwd=self.root)
        self.assertEqual(result.returncode, 17)
        self.assertEqual(result.stdout, banner(ARGS.version.replace(".", ", ")) + MISSING_PROGRAM + USAGE)
        self.assertEqual(result.stderr, "")

    def test_documents(self):
        for name, source in (("./usr/share/man/man1/kadron.1.gz", None),
                             ("./usr/share/doc/kadron/README.gz", ARGS.readme),
                             ("./usr/share/doc/kadron/changelog.gz", None)):
            with open(self.unpacked(name), "rb") as f:
                raw = f.read()
            # gzip -9n: no file name (FLG.FNAME), no time stamp (MTIME 0), best compression (XFL 2).
            self.assertEqual(raw[3] & 0x08, 0, name)
            self.assertEqual(raw[4:8], b"\0\0\0\0", name)
            self.assertEqual(raw[8], 2, name)
            text = gzip.decompress(raw).decode()
            if source:
                with open(source, encoding="utf-8") as f:
                    self.assertEqual(text, f.read())
            elif name.endswith("changelog.gz"):
                # Debian's form, made from NEWS, newest entry first: this version.
                self.assertTrue(text.startswith(f"kadron ({ARGS.version}) unstable; urgency=medium\n\n  * "),
                                text[:200])
                self.assertRegex(text, r"\n -- " + re.escape(ARGS.maker) + r" <[^>]+>  "
                                       r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d \w{3} \d{4} [\d:]{8} \+0000\n")
            else:
                self.assertIn(f"\n.Os KADRON {ARGS.version}\n", text)
        with open(self.unpacked("./usr/share/doc/kadron/copyright"), encoding="utf-8") as f:
            copyright_file = f.read()
        with open(ARGS.license, encoding="utf-8") as f:
            terms = f.read().split("\n\n", 2)[2]  # the licence from "Permission" on
        self.assertTrue(copyright_file.startswith("Format: https://www.debian.org/doc/packaging-manuals/"))
        self.assertIn(f"\nCopyright: 2026 {ARGS.maker}\nLicense: Expat\n", copyright_file)
        indented = "\n".join(" " + line if line else " ." for line in terms.rstrip("\n").split("\n"))
        self.assertIn(indented + "\n", copyright_file)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for name in ("dist", "version", "maker", "homepage", "readme", "license"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--email", default="")
    ARGS, rest = parser.parse_known_args()
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
