"""test_ending.py: end-to-end tests of how a run ends: with everything the target started (KADRON_KILL_TREE),
and asked first, then forced (KADRON_GRACE_MS)."""

import os
import shlex
import signal
import unittest

import kadron_e2e as e2e
from test_record import read_log, wait_log

# A target that leaves a probe behind in three ways, each marked by its last word, and waits until all
# three have recorded their start; then it runs its last line.
TREE_SCRIPT = """#!/bin/sh
{probe} --record {record} --sleep 60000 background &
setsid {probe} --record {record} --sleep 60000 session &
({probe} --record {record} --sleep 60000 daemon &)
until [ "$(grep -c START {record} 2>/dev/null)" = 3 ]; do sleep 0.02; done
{last}
"""


def block_sigterm():
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})


class EndingTest(unittest.TestCase):
    def setUp(self):
        self.base = e2e.temp_dir(self)

    def start(self, name, words, settings, **popen_args):
        """The tool with its run record in NAME.log and the ending settings given (and no others)."""
        log = os.path.join(self.base, name + ".log")
        env = {k: v for k, v in os.environ.items() if k not in ("KADRON_KILL_TREE", "KADRON_GRACE_MS")}
        env.update(settings, KADRON_LOG=log)
        return e2e.Run(self, words, env=env, **popen_args), log

    def run_record(self, log):
        runs = [r for r in wait_log(log, "run", timeout=60) if r["event"] == "run"]
        self.assertTrue(runs, f"no run record in {log}")
        return runs[0]

    def test_the_tree_ends_with_the_run_either_way_and_only_with_the_setting(self):
        on = {"KADRON_KILL_TREE": "1"}
        cases = [
            # name, last line of the script, run time, settings, expected run record
            ("forced", f"exec {shlex.quote(e2e.PROBE)} --sleep 60000", "5000", on,
             {"result": "forced", "signal": "SIGKILL", "others_ended": 3}),
            ("ended", "exit 0", "60000", on, {"result": "exited", "exit_code": 0, "others_ended": 3}),
            ("off", "exit 0", "60000", {}, {"result": "exited", "exit_code": 0, "others_ended": 0}),
        ]
        started = []
        for name, last, run_ms, settings, expected in cases:
            record = os.path.join(self.base, name + ".record")
            script = os.path.join(self.base, name + ".sh")
            with open(script, "w") as f:
                f.write(TREE_SCRIPT.format(probe=shlex.quote(e2e.PROBE), record=shlex.quote(record), last=last))
            os.chmod(script, 0o755)
            _, log = self.start(name, [script, "", "60000", run_ms], settings)
            started.append((name, record, log, expected))
        for name, record, log, expected in started:
            with self.subTest(name):
                left = {r["argv"][-1]: r["pid"] for r in e2e.wait_records(record, 3, timeout=30)}
                self.assertEqual(sorted(left), ["background", "daemon", "session"])
                for pid in left.values():
                    self.addCleanup(e2e.kill_quietly, pid)
                ran = self.run_record(log)
                self.assertEqual({k: ran[k] for k in expected}, expected)
                if name == "off":
                    self.assertTrue(e2e.running(left["background"]), "the background child was ended")
                    continue
                for mark, pid in left.items():
                    self.assertTrue(e2e.wait_until(lambda: not e2e.running(pid), 10), f"{mark} runs on")

    def test_the_target_is_asked_first_and_forced_when_it_goes_on(self):
        # Started with SIGTERM blocked, the tool leaves it alone and each probe gets it blocked: the request
        # waits until the probe has set what it does with it, however slowly the probe starts.
        asked = os.path.join(self.base, "asked")
        _, ends_log = self.start("ends", [e2e.PROBE, "--on-term-exit 7 --sleep 60000", "60000", "300"],
                                 {"KADRON_GRACE_MS": "60000"}, preexec_fn=block_sigterm)
        _, goes_on_log = self.start("goes-on", [e2e.PROBE, f"--ignore-term {asked} --sleep 60000", "60000", "300"],
                                    {"KADRON_GRACE_MS": "700"}, preexec_fn=block_sigterm)
        ends = self.run_record(ends_log)
        self.assertEqual([ends[k] for k in ("result", "exit_code", "signal", "others_ended")], ["stopped", 7, None, 0])
        goes_on = self.run_record(goes_on_log)
        self.assertEqual([goes_on[k] for k in ("result", "exit_code", "signal")], ["forced", None, "SIGKILL"])
        self.assertTrue(os.path.exists(asked), "the probe was not asked")
        # Run time and grace, with room for a loaded machine.
        self.assertGreaterEqual(goes_on["duration_ms"], 1000)
        self.assertLess(goes_on["duration_ms"], 31000)

    def test_a_stop_during_the_grace_is_prompt_and_ends_the_tree(self):
        asked = os.path.join(self.base, "asked")
        record = os.path.join(self.base, "record")
        child_file = os.path.join(self.base, "child")
        words = f"--ignore-term {asked} --record {record} --grandchild {child_file} --sleep 60000"
        # The probe must have set what it does with SIGTERM before its run time is up: where it had not,
        # once more with a longer one.
        for run_ms in (1000, 10000):
            run, log = self.start(f"run-{run_ms}", [e2e.PROBE, words, "60000", str(run_ms)],
                                  {"KADRON_KILL_TREE": "1", "KADRON_GRACE_MS": "600000"})
            e2e.wait_until(lambda: os.path.exists(asked) or any(r["event"] == "run" for r in read_log(log)),
                           run_ms / 1000 + 30)
            if os.path.exists(asked):
                break
            run.stop()
        self.assertTrue(os.path.exists(asked), "the probe was never asked")
        probe = e2e.wait_records(record, 1, timeout=10)[-1]["pid"]
        self.assertTrue(e2e.wait_until(lambda: os.path.exists(child_file), 10), "no child was started")
        with open(child_file) as f:
            child = int(f.read())
        self.addCleanup(e2e.kill_quietly, child)
        os.kill(run.pid, signal.SIGTERM)
        # The grace would last ten minutes.
        self.assertEqual(run.finish(timeout=30), -signal.SIGTERM)
        for pid in (probe, child):
            self.assertTrue(e2e.wait_until(lambda: not e2e.running(pid), 10), f"{pid} runs on")


if __name__ == "__main__":
    e2e.main()
