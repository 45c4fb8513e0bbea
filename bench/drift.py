#!/usr/bin/env python3
"""drift.py: measures how far KADRON's starts fall behind a fixed grid, and its start overhead.

Usage: bench/drift.py KADRON PROBE [--cycles N] [--cycle MS] [--run MS] [--wrapper CMD]
Runs the tool with the probe as target (the probe records its wall-clock start time), once with
targets that end by themselves and once with targets ended by force, and prints per mode the mean
start-to-start interval, its excess over the cycle time, and the spread. --wrapper runs the tool
under another command (for example "wine" for the Windows build).
"""
import argparse
import os
import shlex
import signal
import statistics
import subprocess
import tempfile
import time


def measure(args, probe_words, label):
    with tempfile.TemporaryDirectory() as tmp:
        record = os.path.join(tmp, "starts.txt")
        words = shlex.split(args.wrapper) + [args.kadron, args.probe, f"--record {record} {probe_words}",
                                              str(args.cycle), str(args.run)]
        tool = subprocess.Popen(words, stdout=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + args.cycles * args.cycle / 1000.0 * 3 + 30
        lines = []
        while time.monotonic() < deadline:
            time.sleep(0.2)
            if os.path.exists(record):
                with open(record) as f:
                    lines = f.readlines()
            if len(lines) > args.cycles:
                break
        os.killpg(tool.pid, signal.SIGKILL)
        tool.wait()
    starts = [int(line.split()[1].split("=")[1]) for line in lines]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    if len(gaps) < 2:
        print(f"{label}: too few starts ({len(starts)})")
        return
    mean = statistics.mean(gaps)
    print(f"{label}: {len(gaps)} intervals, mean {mean:.1f} ms (cycle {args.cycle}), "
          f"drift {mean - args.cycle:+.1f} ms per cycle, stdev {statistics.stdev(gaps):.1f} ms, "
          f"min {min(gaps)} max {max(gaps)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kadron")
    parser.add_argument("probe")
    parser.add_argument("--cycles", type=int, default=40)
    parser.add_argument("--cycle", type=int, default=200)
    parser.add_argument("--run", type=int, default=100)
    parser.add_argument("--wrapper", default="")
    args = parser.parse_args()
    measure(args, "--sleep 20", "ends by itself")
    measure(args, "--sleep 60000", "ended by force")


if __name__ == "__main__":
    main()
