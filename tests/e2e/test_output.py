"""test_output.py: end-to-end tests of the status line, on a pseudo-terminal and through a pipe."""

import os
import re
import time
import unittest

import kadron_e2e as e2e


def fold(text):
    """What a terminal shows of text with carriage returns and no newline."""
    line = []
    column = 0
    for ch in text:
        if ch == "\r":
            column = 0
            continue
        if column < len(line):
            line[column] = ch
        else:
            line.append(ch)
        column += 1
    return "".join(line)


class OutputTest(unittest.TestCase):
    def test_status_line_on_a_terminal(self):
        words = [e2e.PROBE, "--sleep 60000", "700", "100"]
        run = e2e.Run(self, words, tty=True)
        self.assertIsNotNone(run.wait_for(e2e.COUNT_RE + e2e.STARTED_RE, 3), repr(run.text))
        self.assertIsNotNone(run.wait_for(e2e.NEXT_RE, 3), repr(run.text))

        # Stop reading right after a whole cycle's text, at count 3 or later.
        last_cycle = r"KADRON count #([3-9]|\d\d+)" + e2e.STARTED_RE + e2e.NEXT_RE + r"\Z"
        self.assertIsNotNone(run.wait_for(last_cycle, 10), repr(run.text[-300:]))

        # The terminal turns each newline into CR LF.
        echo = (e2e.banner() + e2e.USAGE + e2e.echo(e2e.PROBE, " --sleep 60000", 700, 100)).replace("\n", "\r\n")
        self.assertTrue(run.text.startswith(echo), repr(run.text[:2000]))
        status = run.text[len(echo) :]
        self.assertNotIn("\n", status)
        cycles = re.findall(e2e.CYCLE_RE, status)
        self.assertRegex(status, f"^(?:{e2e.CYCLE_RE})+$")
        self.assertEqual([int(c[0]) for c in cycles], list(range(1, len(cycles) + 1)))

        shown = fold(status)
        visible = re.fullmatch(r"KADRON count #(\d+)  started at \S+   next at \S+ *", shown)
        self.assertIsNotNone(visible, repr(shown))
        self.assertEqual(int(visible.group(1)), len(cycles))
        self.assertEqual(shown.rstrip(), status[status.rindex("\r") + 1 :])

    def test_pipe_gets_every_text_before_the_wait(self):
        # A long run time: a "next at" that forgot the run's duration would be off by all of it.
        cycle = 60000
        words = [e2e.PROBE, "--sleep 60000", str(cycle), "2000"]
        env = dict(os.environ, TZ="UTC0")
        run = e2e.Run(self, words, env=env)
        # The tool sleeps for a minute after these: they come by flushing, not at exit.
        whole = e2e.CYCLE_RE + r"\Z"
        self.assertIsNotNone(run.wait_for(whole, 8), repr(run.text))
        now_ms = round(time.time() * 1000) % 86400000
        time.sleep(0.3)
        run.read(0)

        echo = e2e.banner() + e2e.USAGE + e2e.echo(e2e.PROBE, " --sleep 60000", cycle, 2000)
        self.assertTrue(run.text.startswith(echo), repr(run.text))
        status = re.fullmatch(e2e.CYCLE_RE, run.text[len(echo) :])
        self.assertIsNotNone(status, repr(run.text[len(echo) :]))
        self.assertEqual(status.group(1), "1")
        started = e2e.clock_ms(status.groups()[1:5])
        following = e2e.clock_ms(status.groups()[5:9])
        # The clock shown is the time of day.
        self.assertLess(min(e2e.day_diff(now_ms, started), e2e.day_diff(started, now_ms)), 5000)
        self.assertTrue(cycle - 50 <= e2e.day_diff(following, started) <= cycle + 1000, (started, following))

    def test_pipe_gets_the_tools_text_before_the_targets(self):
        # Target and tool share the pipe: what the tool printed before the start must not trail behind.
        run = e2e.Run(self, [e2e.PROBE, "--print from-target", "60000", "2000"])
        self.assertIsNotNone(run.wait_for(e2e.NEXT_RE, 8), repr(run.text))
        echo = e2e.banner() + e2e.USAGE + e2e.echo(e2e.PROBE, " --print from-target", 60000, 2000)
        status = re.escape(e2e.BLANK_LINE) + e2e.COUNT_RE + e2e.STARTED_RE
        self.assertRegex(run.text, "^" + re.escape(echo) + status + "from-target\n" + e2e.NEXT_RE + "$")


if __name__ == "__main__":
    e2e.main()
