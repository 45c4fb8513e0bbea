"""test_process.py: end-to-end tests of how targets are started and cleaned up: words, descriptors, children, paths."""

import os
import re
import shutil
import time
import unittest

import kadron_e2e as e2e


# Forced ends watched for zombies and descriptors.
CYCLES_WATCHED = 40


class ProcessTest(unittest.TestCase):
    def test_argument_text_arrives_word_for_word(self):
        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        text = r'--record %s a "b c" $(x) * ; d\\e x\"y "p""q 2\\\\"s t" "" z' % record
        words = ["a", "b c", "$(x)", "*", ";", r"d\\e", 'x"y', 'p"q', r"2\\s t", "", "z"]
        program = os.path.join(base, ".", "target")
        shutil.copy(e2e.PROBE, program)
        e2e.Run(self, [program, text, "60000", "1000"])
        records = e2e.wait_records(record, 1, timeout=10)
        self.assertEqual([r["argv"] for r in records], [[program, "--record", record] + words])

    def test_no_descriptor_reaches_the_target(self):
        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        extra = os.open(os.path.join(base, "extra"), os.O_WRONLY | os.O_CREAT)
        self.addCleanup(os.close, extra)
        # Ended by force every cycle, so the tool also holds descriptors of ended targets.
        run = e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 60000", "200", "100", "nowait"], pass_fds=(extra,))
        records = e2e.wait_records(record, 8, timeout=20)
        self.assertIn(str(extra), os.listdir(f"/proc/{run.pid}/fd"))
        self.assertGreaterEqual(len(records), 8)
        self.assertEqual({r["fds"] for r in records}, {"0,1,2"})

    def test_grandchild_survives_forced_end(self):
        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        pid_file = os.path.join(base, "grandchild")
        e2e.Run(self, [e2e.PROBE, f"--record {record} --grandchild {pid_file} --sleep 60000", "60000", "500"])
        records = e2e.wait_records(record, 1, timeout=10)
        self.assertEqual(len(records), 1)
        deadline = time.monotonic() + 10
        while not os.path.exists(pid_file) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(os.path.exists(pid_file), "no grandchild was started")
        with open(pid_file) as f:
            grandchild = int(f.read())
        self.addCleanup(e2e.kill_quietly, grandchild)

        deadline = time.monotonic() + 10
        while e2e.running(records[0]["pid"]) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertFalse(e2e.running(records[0]["pid"]), "the probe was not ended")
        time.sleep(0.3)
        self.assertTrue(e2e.running(grandchild), "the grandchild was ended with its parent")
        with open(f"/proc/{grandchild}/cmdline", "rb") as f:
            self.assertEqual(f.read().split(b"\0")[1:3], [b"--sleep", b"60000"])

    def test_no_zombies_or_descriptors_pile_up(self):
        run = e2e.Run(self, [e2e.PROBE, "--sleep 60000", "50", "10"])
        zombies = []
        descriptors = []
        cycles = 0
        # Counted in cycles, however fast or slow they come.
        deadline = time.monotonic() + 60
        while cycles < CYCLES_WATCHED and time.monotonic() < deadline:
            run.read(0.05)
            states = [state for _, state in e2e.children(run.pid)]
            zombies.append(states.count("Z"))
            self.assertLessEqual(len(states), 3, states)
            descriptors.append(len(os.listdir(f"/proc/{run.pid}/fd")))
            counts = re.findall(e2e.COUNT_RE, run.text)
            cycles = int(counts[-1]) if counts else 0
        self.assertGreaterEqual(cycles, CYCLES_WATCHED)
        self.assertLessEqual(max(zombies), 2, zombies)
        # 0, 1, 2 and a few targets' descriptors at most; one per cycle would be dozens.
        self.assertLessEqual(max(descriptors), 8, descriptors)

    def test_program_without_directory_is_taken_from_the_current_directory(self):
        here = e2e.temp_dir(self)
        elsewhere = e2e.temp_dir(self)
        record = os.path.join(here, "record")
        shutil.copy(e2e.PROBE, os.path.join(here, "kprobe"))
        e2e.Run(self, ["kprobe", f"--record {record}", "60000", "1000"], cwd=here)
        records = e2e.wait_records(record, 1, timeout=10)
        self.assertEqual([r["argv"] for r in records], [["kprobe", "--record", record]])

        # Never from the search path.
        os.remove(record)
        shutil.copy(e2e.PROBE, os.path.join(elsewhere, "kprobe2"))
        env = dict(os.environ, PATH=elsewhere + os.pathsep + os.environ.get("PATH", ""))
        run = e2e.Run(self, ["kprobe2", f"--record {record}", "60000", "1000"], cwd=here, env=env)
        self.assertEqual(run.finish(), 127)
        self.assertRegex(run.text, e2e.FAILED_TAIL_RE)
        self.assertIn("the search path is not used", run.stderr_text())
        self.assertEqual(e2e.read_records(record), [])


if __name__ == "__main__":
    e2e.main()
