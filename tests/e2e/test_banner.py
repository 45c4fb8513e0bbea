"""test_banner.py: end-to-end tests of the banner: the version read from the file the tool's word 0 names."""

import os
import shutil
import subprocess
import unittest

import kadron_e2e as e2e

SECTION = ".kadron_version"
KEY = b"\\StringFileInfo\\000004b0\\FileVersion"
# The version data holds at most this many bytes; more is not read at all.
MAX_DATA = 65536


def no_program(version):
    """The whole output of a run that names no program."""
    return e2e.banner(version) + e2e.MISSING_PROGRAM + e2e.USAGE


class BannerTest(unittest.TestCase):
    def setUp(self):
        self.base = e2e.temp_dir(self)
        # The tool is run from here unless a test says otherwise: nothing named like it lies here.
        self.empty = self.folder("empty")

    def folder(self, *names):
        path = os.path.join(self.base, *names)
        os.makedirs(path, exist_ok=True)
        return path

    def copy(self, path):
        shutil.copy(e2e.KADRON, path)
        return path

    def copy_without_data(self, path):
        subprocess.run(["objcopy", "--remove-section", SECTION, e2e.KADRON, path], check=True, capture_output=True)
        return path

    def copy_with_data(self, path, data):
        """A copy of the tool whose version section holds exactly data."""
        source = path + ".data"
        with open(source, "wb") as f:
            f.write(data)
        # objcopy warns about the sections it moves; the copy still runs.
        subprocess.run(
            ["objcopy", "--update-section", f"{SECTION}={source}", e2e.KADRON, path], check=True, capture_output=True
        )
        return path

    def run_tool(self, argv, executable=None, cwd=None, env=None, timeout=30):
        """Runs the tool to its end; (status, output). argv[0] is the tool's word 0 as given."""
        result = subprocess.run(
            argv,
            executable=executable,
            cwd=cwd or self.empty,
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=timeout,
        )
        self.assertEqual(result.stderr, b"")
        return result.returncode, result.stdout.decode("latin-1")

    def assert_version(self, version, argv, **how):
        """The run names no program: the banner with version, then the usage, exit 17."""
        self.assertEqual(self.run_tool(argv, **how), (17, no_program(version)))

    def test_version_comes_from_the_file_word_0_names(self):
        self.assert_version(e2e.VERSION, [e2e.KADRON])
        bare = self.copy_without_data(os.path.join(self.base, "bare"))
        self.assert_version(e2e.NO_VERSION, [bare])
        # Not the running image: the file word 0 names.
        self.assert_version(e2e.NO_VERSION, [bare], executable=e2e.KADRON)
        self.assert_version(e2e.VERSION, [e2e.KADRON], executable=bare)

    def test_bare_name_is_found_like_the_own_image(self):
        # Looked up in the running executable's directory, then the current directory, then the search path.
        real_bin = self.folder("real-bin")
        self.copy(os.path.join(real_bin, "kadron"))
        bare_bin = self.folder("bare-bin")
        self.copy_without_data(os.path.join(bare_bin, "kadron"))
        holds_bare = self.folder("holds-bare")
        self.copy_without_data(os.path.join(holds_bare, "kadron"))
        self.copy_without_data(os.path.join(holds_bare, "kd"))
        holds_real = self.folder("holds-real")
        self.copy(os.path.join(holds_real, "kadron"))
        # Another name for the tool, in a directory of its own.
        links = self.folder("links")
        os.symlink(os.path.join(real_bin, "kadron"), os.path.join(links, "kd"))

        cases = [
            # word 0, search path, current directory, version
            ("kadron", real_bin, self.empty, e2e.VERSION),
            ("kadron", real_bin, holds_bare, e2e.VERSION),
            ("kadron", bare_bin, holds_real, e2e.NO_VERSION),
            ("kd", links, self.empty, e2e.VERSION),
            ("kd", links, holds_bare, e2e.NO_VERSION),
        ]
        for word_0, search, cwd, version in cases:
            with self.subTest(word_0=word_0, search=search, cwd=cwd):
                env = dict(os.environ, PATH=search)
                self.assert_version(version, [word_0], cwd=cwd, env=env)

    def test_word_0_that_gives_no_version(self):
        no_sections = os.path.join(self.base, "no-section-headers")
        with open(e2e.KADRON, "rb") as f:
            image = f.read()
        # The section header table lies at the end of the file: cut it off.
        byte_order = "little" if image[5] == 1 else "big"
        e_shoff = int.from_bytes(image[0x28:0x30] if image[4] == 2 else image[0x20:0x24], byte_order)
        with open(no_sections, "wb") as f:
            f.write(image[:e_shoff])

        # Tests run as root, where permission bits stop no read: these fail to open or to read.
        names = [
            "/nonexistent-kadron-e2e/kadron",
            "kadron-e2e-nowhere",
            self.base,
            "/proc/self/mem",
            "/dev/null",
            no_sections,
            e2e.PROBE,
        ]
        for word_0 in names:
            with self.subTest(word_0=word_0):
                self.assert_version(e2e.NO_VERSION, [word_0], executable=e2e.KADRON)

    # Opening a FIFO without a writer would block before the banner.
    def test_word_0_naming_a_fifo_does_not_block(self):
        fifo = os.path.join(self.base, "fifo")
        os.mkfifo(fifo)
        try:
            result = self.run_tool([fifo], executable=e2e.KADRON, timeout=10)
        except subprocess.TimeoutExpired:
            self.fail("blocked on the FIFO that word 0 names")
        self.assertEqual(result, (17, no_program(e2e.NO_VERSION)))

    def test_long_word_0_is_not_looked_up(self):
        # Both names hold the version: only the length decides.
        real_bin = self.folder("bin")
        self.copy(os.path.join(real_bin, "kadron"))
        os.symlink("kadron", os.path.join(real_bin, "kadronx"))

        def naming_the_tool(length):
            # Extra slashes keep the name pointing at the same file; the first 259
            # characters of the 260 one name the tool too, so a cut name would show.
            return real_bin + "/" * (length - len(real_bin) - len("kadron")) + "kadron"

        lengths = [(259, e2e.VERSION), (260, e2e.NO_VERSION), (300, e2e.NO_VERSION), (100000, e2e.NO_VERSION)]
        for length, version in lengths:
            with self.subTest(length=length):
                word_0 = naming_the_tool(259) if length == 259 else naming_the_tool(length - 1) + "x"
                self.assertEqual(len(word_0), length)
                self.assert_version(version, [word_0], executable=e2e.KADRON)

    def test_empty_word_0_stands_for_the_own_file(self):
        # The current directory and the search path offer a file named like the tool without the data.
        decoy = self.folder("decoy")
        self.copy_without_data(os.path.join(decoy, "kadron"))
        env = dict(os.environ, PATH=decoy)
        real = self.copy(os.path.join(self.folder("real"), "kadron"))
        self.assert_version(e2e.VERSION, [""], executable=real, cwd=decoy, env=env)
        bare = self.copy_without_data(os.path.join(self.folder("bare"), "kadron"))
        self.assert_version(e2e.NO_VERSION, [""], executable=bare, cwd=decoy, env=env)

    def test_damaged_version_data(self):
        # What the section holds and never beyond it: a value cut off by its end shows as far as it goes.
        filled = KEY + b"\0"
        filled += b"7" * (MAX_DATA - len(filled))
        cases = [
            ("empty", b"", e2e.NO_VERSION),
            ("zeros", b"\0" * 100, e2e.NO_VERSION),
            ("no terminators", b"A" * 1000, e2e.NO_VERSION),
            ("key cut short", KEY[:-3], e2e.NO_VERSION),
            ("key without value", KEY + b"\0", ""),
            ("key at the very end", KEY, ""),
            ("value cut off", KEY + b"\0" + b"9" * 1000, "9" * 1000),
            # Other entries first, the key in other case, a value that is no format.
            (
                "found among others",
                b"\\StringFileInfo\\000004b0\\ProductVersion\0" b"1, 0, 0, 1\0" + KEY.upper() + b"\0" b"2, %s%n, 0, 7\0\0",
                "2, %s%n, 0, 7",
            ),
            ("largest read", filled, "7" * (MAX_DATA - len(KEY) - 1)),
            ("one byte too large", filled + b"7", e2e.NO_VERSION),
            ("huge", KEY + b"\0" + b"3, 0, 0, 3\0\0" + b"x" * (1 << 20), e2e.NO_VERSION),
        ]
        for name, data, version in cases:
            with self.subTest(name):
                damaged = self.copy_with_data(os.path.join(self.base, "damaged-" + name.replace(" ", "-")), data)
                self.assert_version(version, [damaged])


if __name__ == "__main__":
    e2e.main()
