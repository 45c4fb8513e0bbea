"""test_timing.py: end-to-end tests of the cycle: forced end after the run time, early ends, a target that vanishes."""

import os
import re
import shutil
import time
import unittest

import kadron_e2e as e2e


def intervals(records):
    return [b["ms"] - a["ms"] for a, b in zip(records, records[1:])]


class TimingTest(unittest.TestCase):
    def test_forced_end_after_run_time(self):
        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 60000", "1000", "300"])

        # Poll the probes' pids to see when each one is ended.
        ended_ms = {}
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            records = e2e.read_records(record)
            for r in records:
                if r["pid"] not in ended_ms and not e2e.running(r["pid"]):
                    ended_ms[r["pid"]] = time.time() * 1000
            if len(records) >= 3 and all(r["pid"] in ended_ms for r in records[:3]):
                break
            time.sleep(0.01)
        records = records[:3]
        self.assertEqual(len(records), 3, "three starts within 20 s")
        for r in records:
            self.assertIn(r["pid"], ended_ms, "a probe sleeping 60 s was not ended")
            self.assertTrue(200 <= ended_ms[r["pid"]] - r["ms"] <= 3000, ended_ms[r["pid"]] - r["ms"])
        for gap in intervals(records):
            self.assertTrue(800 <= gap <= 3000, intervals(records))

    def test_early_end(self):
        base = e2e.temp_dir(self)
        cases = [
            # words after the program, starts wanted, (shortest, longest) interval in ms; the
            # shortest allows for a probe that stamps its start late on a loaded machine, but
            # stays above the probe's own 200 ms, which a start without the wait would give.
            (["1500", "1000"], 3, (1250, 3500)),  # waits out the cycle
            (["800", "2000", "wait"], 2, (1750, 4500)),  # cycle raised to the run time
            (["500", "5000", "nowait"], 4, (300, 2500)),  # goes on after the cycle, not the run time
        ]
        runs = []
        for i, (words, count, bounds) in enumerate(cases):
            record = os.path.join(base, f"record{i}")
            e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 200"] + words)
            runs.append((words, record, count, bounds))
        for words, record, count, (shortest, longest) in runs:
            with self.subTest(words=words):
                records = e2e.wait_records(record, count, timeout=20)[:count]
                self.assertEqual(len(records), count)
                for gap in intervals(records):
                    self.assertTrue(shortest <= gap <= longest, intervals(records))

    def test_target_removed_after_some_cycles(self):
        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        target = os.path.join(base, "target")
        shutil.copy(e2e.PROBE, target)
        run = e2e.Run(self, [target, f"--record {record} --remove-self-after 3", "300", "2000", "nowait"])
        self.assertEqual(run.finish(timeout=30), 127)
        self.assertEqual(len(e2e.read_records(record)), 3)
        self.assertFalse(os.path.exists(target))
        counts = [int(n) for n in re.findall(e2e.COUNT_RE, run.text)]
        self.assertEqual(counts, [1, 2, 3, 4])
        self.assertRegex(run.text, e2e.FAILED_TAIL_RE)


if __name__ == "__main__":
    e2e.main()
