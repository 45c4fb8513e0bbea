"""test_settings.py: end-to-end tests of the tool's words: usage, settings echo, refused words, failed first start."""

import errno
import os
import re
import subprocess
import unittest

import kadron_e2e as e2e

# No such program: the tool echoes its settings, fails the first start and ends by itself.
MISSING = "/nonexistent-kadron-e2e/target"
MISSING_REASON = f'kadron: cannot start "{MISSING}": {os.strerror(errno.ENOENT)}\n'


class SettingsTest(unittest.TestCase):
    def run_to_end(self, words, stderr="", **popen_args):
        run = e2e.Run(self, words, limit=30, **popen_args)
        status = run.finish(timeout=20)
        self.assertEqual(run.stderr_text(), stderr)
        return status, run.text

    def assert_failed_start(self, text, count=1):
        match = re.search(e2e.FAILED_TAIL_RE, text)
        self.assertIsNotNone(match, repr(text[-200:]))
        self.assertEqual(int(match.group(1)), count)
        return text[: match.start()]

    def test_no_program_prints_reason_and_usage(self):
        status, text = self.run_to_end([])
        self.assertEqual(status, 17)
        self.assertEqual(text, e2e.banner() + e2e.MISSING_PROGRAM + e2e.USAGE)

    def test_settings_echo(self):
        big = 4294967295
        cases = [
            # words after the program, expected usage block, echo, warnings on standard error
            ([], True, e2e.echo(MISSING, " ", 3600000, 5000), ""),
            (["a b"], True, e2e.echo(MISSING, " a b", 3600000, 5000), ""),
            (["", "500", "5000"], True, e2e.echo(MISSING, " ", 5000, 5000), ""),
            (["x", "500", "5000", "wait"], False, e2e.echo(MISSING, " x", 5000, 5000), ""),
            (["x", "500", "5000", "nowait"], False, e2e.echo(MISSING, " x", 500, 5000, wait=False), ""),
            (["x", "500", "5000", "NoWait"], False, e2e.echo(MISSING, " x", 500, 5000, wait=False), ""),
            (["x", "500", "5000", "later"], False, e2e.echo(MISSING, " x", 5000, 5000),
             'kadron: run mode "later" read as wait (only wait and nowait are known)\n'),
            (["", "1000", "-1"], True, e2e.echo(MISSING, " ", big, big), ""),
            (["", " +700x", "12abc"], True, e2e.echo(MISSING, " ", 700, 12),
             'kadron: cycle time " +700x" read as 700 ms (only leading digits count)\n'
             'kadron: run time "12abc" read as 12 ms (only leading digits count)\n'),
            (["", "99999999999", "ms"], True, e2e.echo(MISSING, " ", 1215752191, 0),
             'kadron: cycle time "99999999999" read as 1215752191 ms (above 4294967295, taken modulo 2^32)\n'
             'kadron: run time "ms" read as 0 ms (no digits)\n'),
        ]
        for words, usage, expected, warnings in cases:
            with self.subTest(words=words):
                # Warnings come before the start, so before its reason.
                status, text = self.run_to_end([MISSING] + words, stderr=warnings + MISSING_REASON)
                self.assertEqual(status, 127)
                head = e2e.banner() + (e2e.USAGE if usage else "")
                self.assertEqual(self.assert_failed_start(text), head + expected)

    def test_warnings_stand_between_echo_and_start_in_a_file_shared_with_standard_output(self):
        path = os.path.join(e2e.temp_dir(self), "both")
        env = dict(os.environ, KADRON_GRACE_MS="5s")
        with open(path, "wb") as both:
            status = subprocess.run([e2e.KADRON, MISSING, "", "1000", "12abc"], stdin=subprocess.DEVNULL,
                                    stdout=both, stderr=both, env=env, timeout=20).returncode
        with open(path, "rb") as f:
            text = f.read().decode("latin-1")
        self.assertEqual(status, 127)
        self.assertTrue(text.endswith(MISSING_REASON), repr(text[-200:]))
        warnings = ('kadron: run time "12abc" read as 12 ms (only leading digits count)\n'
                    'kadron: KADRON_GRACE_MS "5s" read as 0 ms (digits only, at most 4294967295)\n')
        head = e2e.banner() + e2e.USAGE + e2e.echo(MISSING, " ", 1000, 12) + warnings
        self.assertEqual(self.assert_failed_start(text[: -len(MISSING_REASON)]), head)

    def test_word_length_limits(self):
        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        folder = os.path.join(base, "d" * 100)
        os.mkdir(folder)
        longest = folder + "/" + "p" * (259 - len(folder) - 1)
        too_long = longest + "q"
        self.assertEqual((len(longest), len(too_long)), (259, 260))
        for path in (longest, too_long):
            os.symlink(e2e.PROBE, path)

        # Refused words are never cut: a cut word would name the target above.
        status, text = self.run_to_end([too_long, f"--record {record}"])
        refused = e2e.banner() + "KADRON refuses program_path_and_name: longer than 259 characters.\n"
        self.assertEqual((status, text), (17, refused))
        head = f"--record {record} --print "
        arguments = head + "x" * (258 - len(head))
        status, text = self.run_to_end([e2e.PROBE, arguments + "x"])
        refused = e2e.banner() + "KADRON refuses command_line_arguments: longer than 258 characters.\n"
        self.assertEqual((status, text), (17, refused))
        self.assertEqual(e2e.read_records(record), [])

        run = e2e.Run(self, [longest, f"--record {record}", "60000", "500"])
        records = e2e.wait_records(record, 1, timeout=10)
        self.assertEqual([r["argv"] for r in records], [[longest, "--record", record]])
        run.stop()

        os.remove(record)
        e2e.Run(self, [e2e.PROBE, arguments, "60000", "500"])
        records = e2e.wait_records(record, 1, timeout=10)
        self.assertEqual([r["argv"] for r in records], [[e2e.PROBE, "--record", record, "--print", "x" * (258 - len(head))]])

    def test_failed_first_start(self):
        base = e2e.temp_dir(self)
        plain = os.path.join(base, "plain")
        with open(e2e.PROBE, "rb") as src, open(plain, "wb") as dst:
            dst.write(src.read())
        os.chmod(plain, 0o644)
        garbage = os.path.join(base, "garbage")
        with open(garbage, "wb") as f:
            f.write(b"\x7fELF but not really\x00\x01\x02")
        os.chmod(garbage, 0o755)
        script = os.path.join(base, "script")
        with open(script, "w") as f:
            f.write("touch started\n")  # no interpreter line: not a program
        os.chmod(script, 0o755)
        # There, but their interpreter is not: named by a bare name, yet no search-path hint.
        for name, first_line in (("crlf.sh", b"#!/bin/sh\r\n"), ("no-shell.sh", b"#! /missing/sh -e\n")):
            with open(os.path.join(base, name), "wb") as f:
                f.write(first_line + b"touch started\n")
            os.chmod(os.path.join(base, name), 0o755)

        # Standard output says what it always said; standard error says why, in the system's words, and
        # the status tells a missing program (127) from one that is there and cannot start (126).
        no_options = "kadron: there are no options; the first word is the program to start (run kadron alone for the usage)\n"
        no_search = "kadron: the search path is not used; give a path such as ./NAME\n"
        cases = [
            (MISSING, errno.ENOENT, 127, ""),
            (plain + "/below", errno.ENOTDIR, 127, ""),
            ("kadron-e2e-no-such-program", errno.ENOENT, 127, no_search),
            ("--help", errno.ENOENT, 127, no_options),
            (base, errno.EACCES, 126, ""),
            (plain, errno.EACCES, 126, ""),
            (garbage, errno.ENOEXEC, 126, ""),
            (script, errno.ENOEXEC, 126, ""),
            ("crlf.sh", 'its interpreter "/bin/sh\\r" (first line) does not exist', 126, ""),
            ("no-shell.sh", 'its interpreter "/missing/sh" (first line) does not exist', 126, ""),
        ]
        for program, reason, expected_status, hint in cases:
            with self.subTest(program=program):
                because = reason if isinstance(reason, str) else os.strerror(reason)
                stderr = f'kadron: cannot start "{program}": {because}\n' + hint
                status, text = self.run_to_end([program, "", "1000", "100"], stderr=stderr, cwd=base)
                self.assertEqual(status, expected_status)
                expected = e2e.banner() + e2e.USAGE + e2e.echo(program, " ", 1000, 100)
                self.assertEqual(self.assert_failed_start(text), expected)
        self.assertFalse(os.path.exists(os.path.join(base, "started")))


if __name__ == "__main__":
    e2e.main()
