"""kadron_e2e.py: shared helpers of the end-to-end tests: runs the tool under hard limits and reads what it left."""

import argparse
import os
import re
import signal
import select
import subprocess
import sys
import tempfile
import threading
import time
import unittest

# Set by main() from the command line.
KADRON = None
PROBE = None

# The texts the tool prints live in tests/tool_texts.py, shared with the Wine tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from tool_texts import (  # noqa: E402
    HOMEPAGE, MAKER, MISSING_PROGRAM, NO_VERSION, NOWAIT_TEXT, START_FAILED, USAGE, VERSION, WAIT_TEXT,
    banner, echo)

CLOCK = r"(\d\d):(\d\d):(\d\d),(\d\d\d)"
BLANK_LINE = "\r" + " " * 78
COUNT_RE = r"\rKADRON count #(\d+)"
STARTED_RE = "  started at " + CLOCK
NEXT_RE = "   next at " + CLOCK
# One whole cycle's status text; groups: count, started clock (4), next clock (4).
CYCLE_RE = re.escape(BLANK_LINE) + COUNT_RE + STARTED_RE + NEXT_RE
# The end of the output when the start of cycle `count` failed.
FAILED_TAIL_RE = re.escape(BLANK_LINE) + COUNT_RE + STARTED_RE + re.escape(START_FAILED) + r"\Z"


def clock_ms(groups):
    """Milliseconds into the day of a printed clock (four regex groups)."""
    hour, minute, second, ms = (int(g) for g in groups)
    return ((hour * 60 + minute) * 60 + second) * 1000 + ms


def day_diff(later, earlier):
    """later - earlier on a clock that wraps at midnight."""
    return (later - earlier) % 86400000


class Run:
    """One run of the tool in its own process group, with a hard time limit.

    Its standard output is a pipe (or a pseudo-terminal) read without blocking.
    At the end of the test the whole group is killed: the tool, its targets and
    whatever they started."""

    def __init__(self, test, words, limit=60, tty=False, tool=None, **popen_args):
        if tty:
            self.fd, writer = os.openpty()
        else:
            self.fd, writer = os.pipe()
        self.stderr = tempfile.TemporaryFile()
        self.started = time.monotonic()
        try:
            self.proc = subprocess.Popen(
                [tool or KADRON] + list(words),
                stdin=subprocess.DEVNULL,
                stdout=writer,
                stderr=self.stderr,
                start_new_session=True,
                **popen_args,
            )
        finally:
            os.close(writer)
        os.set_blocking(self.fd, False)
        self.out = b""
        self.eof = False
        self.watchdog = threading.Timer(limit, self.kill_group)
        self.watchdog.daemon = True
        self.watchdog.start()
        test.addCleanup(self.stop)

    @property
    def pid(self):
        return self.proc.pid

    @property
    def text(self):
        return self.out.decode("latin-1")

    def kill_group(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def stop(self):
        if self.fd < 0:
            return
        self.watchdog.cancel()
        self.kill_group()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        os.close(self.fd)
        self.fd = -1
        self.stderr.close()

    def read(self, timeout):
        """Reads what has arrived, waiting up to timeout seconds for the first byte."""
        if self.eof:
            time.sleep(timeout)
            return
        ready, _, _ = select.select([self.fd], [], [], max(timeout, 0))
        if not ready:
            return
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                return
            except OSError:  # a pseudo-terminal whose other side is closed
                chunk = b""
            if not chunk:
                self.eof = True
                return
            self.out += chunk

    def wait_for(self, pattern, timeout):
        """Reads until the output (as text) matches pattern; the match, or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            match = re.search(pattern, self.text)
            left = deadline - time.monotonic()
            if match or left <= 0:
                return match
            self.read(min(left, 0.05))

    def finish(self, timeout=20):
        """Waits for the tool to end on its own; its exit status, None if it still runs."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self.read(0.05)
        while not self.eof:
            before = len(self.out)
            self.read(0)
            if len(self.out) == before:
                break
        return self.proc.poll()

    def stderr_text(self):
        self.stderr.seek(0)
        return self.stderr.read().decode("latin-1")


def temp_dir(test):
    """A temporary directory removed at the end of the test."""
    holder = tempfile.TemporaryDirectory(prefix="kadron-e2e-")
    test.addCleanup(holder.cleanup)
    return holder.name


def read_records(path):
    """The START lines of a probe record file as dicts; argv decoded to str."""
    records = []
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("ascii").splitlines()
    except FileNotFoundError:
        return records
    for line in lines:
        fields = dict(item.split("=", 1) for item in line.split(" ")[1:])
        argc = int(fields["argc"])
        words = fields["argv"].split(",") if argc > 0 else []
        records.append(
            {
                "ms": int(fields["ms"]),
                "pid": int(fields["pid"]),
                "argc": argc,
                "argv": [bytes.fromhex(w).decode("latin-1") for w in words],
                "fds": fields["fds"],
                # Signal masks as numbers, bit n - 1 for signal n.
                "ignored": int(fields["ign"], 16),
                "blocked": int(fields["blk"], 16),
            }
        )
    return records


def wait_records(path, count, timeout):
    """Polls the record file until it holds count lines or timeout seconds passed."""
    deadline = time.monotonic() + timeout
    while True:
        records = read_records(path)
        if len(records) >= count or time.monotonic() >= deadline:
            return records
        time.sleep(0.02)


def wait_until(condition, timeout):
    """Polls condition until it holds or timeout seconds passed; its last value."""
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def kill_quietly(pid):
    """SIGKILL to pid, if it is still there."""
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def proc_stat(pid):
    """(state, ppid) of a process, None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read().decode("latin-1")
    except (FileNotFoundError, ProcessLookupError):
        return None
    fields = stat[stat.rindex(")") + 2 :].split()
    return fields[0], int(fields[1])


def running(pid):
    """True while the process exists and is not a zombie."""
    stat = proc_stat(pid)
    return stat is not None and stat[0] != "Z"


def children(pid):
    """(pid, state) of every process whose parent is pid."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            stat = proc_stat(int(name))
            if stat is not None and stat[1] == pid:
                found.append((int(name), stat[0]))
    return found


def main():
    """Runs the tests of the calling script. With --skip-code N, a run whose tests all passed or were skipped,
    at least one skipped, ends with status N, so that ctest shows the skip (its SKIP_RETURN_CODE)."""
    global KADRON, PROBE
    parser = argparse.ArgumentParser()
    parser.add_argument("--kadron", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--skip-code", type=int)
    args, rest = parser.parse_known_args()
    KADRON = os.path.abspath(args.kadron)
    PROBE = os.path.abspath(args.probe)
    result = unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(args.skip_code if args.skip_code is not None and result.skipped else 0)
