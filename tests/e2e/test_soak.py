"""test_soak.py: thousands of cycles of the real tool: its descriptors, memory and children must not grow."""

import os
import re
import signal
import time
import unittest

import kadron_e2e as e2e

# At least this many cycles, within a deadline generous enough for a machine ten times slower than
# usual in the sanitizer build; a fast machine is done in seconds.
FAST_CYCLES = 10000
FAST_LIMIT_S = 600
FORCED_ENDS = 2000
FORCED_LIMIT_S = 300
# Samples before this many cycles are warm-up; the next few are the baseline.
WARM_UP_CYCLES = 300
# The sanitizers' own allocator keeps growing its regions for about 4,000
# cycles before it levels off (seen: +1 MB, then flat over 25,000 forced
# ends), so resident size is compared in the plain build only; descriptors and
# children are compared in both.
# Freed blocks held back and allocation stacks recorded by the address
# sanitizer would look like growth; without them a leak still shows.
SANITIZER_OPTIONS = "quarantine_size_mb=0:malloc_context_size=0"
SAMPLES_COMPARED = 4
# Samples are taken by cycle count, not by the clock, so that a fast machine gets as many as a slow
# one: at least this many cycles apart (more when sampling cannot keep up), and the tool runs on past
# its cycles until there are enough.
SAMPLES_WANTED = 40
# A target may be running and a few ended ones not yet reaped when a sample is taken: on a loaded
# machine killed targets take a while to die, a few at a time. A leak grows with the cycles, by
# hundreds over a soak, far beyond these.
DESCRIPTOR_SLACK = 2
CHILD_SLACK = 8
RSS_SLACK_KB = 256
# Enough of the output to hold the last status line whole.
TAIL_BYTES = 4096


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError(f"no VmRSS for {pid}")


class SoakTest(unittest.TestCase):
    def soak(self, words, cycles, limit_s):
        """Runs the tool for cycles cycles within limit_s seconds; asserts that nothing grew."""
        env = dict(os.environ, ASAN_OPTIONS=SANITIZER_OPTIONS)
        run = e2e.Run(self, words, limit=limit_s + 30, env=env)
        samples = []  # (cycle count, descriptors, resident kB, children)
        sample_every = cycles // SAMPLES_WANTED
        count = 0
        next_sample = WARM_UP_CYCLES
        deadline = time.monotonic() + limit_s

        def enough():
            return count >= cycles and len(samples) >= 2 * SAMPLES_COMPARED

        while not enough() and time.monotonic() < deadline and run.proc.poll() is None:
            run.read(0.05)
            # Drain the pipe but keep only the tail: a million bytes need not pile up here.
            run.out = run.out[-TAIL_BYTES:]
            counts = re.findall(e2e.COUNT_RE, run.text)
            if counts:
                count = int(counts[-1])
            if count >= next_sample:
                next_sample = count + sample_every
                fds = len(os.listdir(f"/proc/{run.pid}/fd"))
                samples.append((count, fds, resident_kb(run.pid), len(e2e.children(run.pid))))
        self.assertIsNone(run.proc.poll(), "the tool ended by itself: " + run.text[-300:])
        self.assertTrue(enough(), f"{count} of {cycles} cycles and {len(samples)} samples in {limit_s} s")
        with open(f"/proc/{run.pid}/maps") as f:
            sanitized = "libasan" in f.read()
        os.kill(run.pid, signal.SIGKILL)
        run.proc.wait(timeout=10)
        self.assertEqual(run.stderr_text(), "")

        def most(samples, field):
            return max(s[field] for s in samples)

        # Every sample is past the warm-up; the first few are the baseline.
        early = samples[:SAMPLES_COMPARED]
        final = samples[-SAMPLES_COMPARED:]
        detail = f"baseline {early}, final {final} (count, fds, rss kB, children)"
        self.assertLessEqual(most(final, 1), most(early, 1) + DESCRIPTOR_SLACK, detail)
        if not sanitized:
            self.assertLessEqual(most(final, 2), most(early, 2) + RSS_SLACK_KB, detail)
        self.assertLessEqual(most(final, 3), most(early, 3) + CHILD_SLACK, detail)

    def test_fast_cycles_and_forced_ends_leave_nothing_behind(self):
        self.soak(["/bin/true", "", "0", "100000", "nowait"], FAST_CYCLES, FAST_LIMIT_S)

        # Run time 0: every start is ended by force at once, and must still be reaped.
        self.soak([e2e.PROBE, "--sleep 60000", "0", "0", "nowait"], FORCED_ENDS, FORCED_LIMIT_S)


if __name__ == "__main__":
    e2e.main()
