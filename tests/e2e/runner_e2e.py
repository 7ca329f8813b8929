"""run-watchdog.exe under Wine, judged from outside: watchdog.log, the older
logs beside it and the runner's standard output, line by line, against what
the sample server wrote (its plan words say, clock, long, binary, partial,
flood) and recorded of its runs, and the runner's status. A line of the log
is "<local time><offset> <text>"; the text is what came, with "\r\n" after
it where the runner wrote the line itself, cut it or wrote it before its
end."""

import datetime
import os
import re
import shutil
import subprocess
import time

from harness import (CLOSING, NOTICE, RUNNER, SERVER, WATCHDOG, WINE, Scratch, Watched, WineTest,
                     flood, lines, processes, processor_ticks, program_of, wakeups)

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "deploy",
                      "watchdog-task.ps1")
CMAKE_LISTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                           "CMakeLists.txt")

LOG_LIMIT = 10 << 20
PIECE = 4096
RESTART_MS = 60000
# A line that has not ended is written within this, on the server's clock.
HELD_US = 1_000_000
# As in watchdog_e2e.Faults: blocked, the runner is never woken while the
# server runs; a wait that polls is woken at every turn.
IDLE_S = 3
IDLE_TICKS = 5
IDLE_WAKEUPS = 2
# How long a test waits for what the runner writes of a line that has come.
WRITTEN_S = 10
# A zone of a half hour and no daylight time, in the form that Wine reads.
ZONE = "<+0530>-5:30"

WATCHDOG_STARTED = b"run-watchdog: watchdog.exe started, process N\r\n"
AGAIN = b"run-watchdog: watchdog.exe starts again in 60 s\r\n"
ERROR_CODE_1 = b"Error code : 1\r\n"
STAMP = re.compile(rb"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})([+-])(\d\d):(\d\d) ")
EPOCH_1601 = datetime.datetime(1601, 1, 1)


def version():
    with open(CMAKE_LISTS) as f:
        return re.search(r"project\(watchdog VERSION (\d+\.\d+\.\d+)", f.read())[1] + ".0"


def split(log):
    """The lines of a log, each with its end; the last may have none."""
    return re.findall(rb"[^\n]*\n|[^\n]+$", log)


def entries(log):
    """Each line of a log as (offset, moment, text): the offset as written,
    the moment on the sample server's clock (UTC, microseconds since 1601),
    the text with its end. Fails on a line without its stamp."""
    found = []
    for line in split(log):
        stamp = STAMP.match(line)
        if not stamp:
            raise AssertionError(f"a line without its stamp: {line[:80]!r}")
        local = datetime.datetime.strptime(stamp[1].decode(), "%Y-%m-%dT%H:%M:%S.%f")
        offset = datetime.timedelta(hours=int(stamp[3]), minutes=int(stamp[4]))
        utc = local - offset if stamp[2] == b"+" else local + offset
        moment = (utc - EPOCH_1601) // datetime.timedelta(microseconds=1)
        found.append((stamp[2] + stamp[3] + b":" + stamp[4], moment, line[stamp.end():]))
    return found


def texts(log):
    """The texts of a log's lines, the process ids in the runner's own as N."""
    return [re.sub(rb"process \d+", b"process N", text) for _, _, text in entries(log)]


def started():
    return [b"run-watchdog %s started, process N\r\n" % version().encode(), WATCHDOG_STARTED]


def ended(status):
    return b"run-watchdog: watchdog.exe ended with status %d\r\n" % status


def said(run, code, ms=0):
    return b"Zentrova: run %d, ending in %d ms with code %d\r\n" % (run, ms, code)


def long_line(run):
    line = b"Zentrova run %d long " % run
    while len(line) < 10000:
        line += b"%d" % (len(line) % 10)
    return line + b"\r\n"


def cut(line):
    """A line as the runner writes it: in pieces of PIECE bytes, each but the
    last given an end."""
    return [line[i:i + PIECE] + (b"\r\n" if i + PIECE < len(line) else b"")
            for i in range(0, len(line), PIECE)]


def assert_lines(test, got, expected):
    """Fails naming the first line that differs, where unittest's own diff
    of lists this long would take minutes."""
    if got != expected:
        at = next(i for i, (a, b) in enumerate(zip(got + [None], expected + [None])) if a != b)
        test.fail(f"{len(got)} lines instead of {len(expected)}, the first difference at line"
                  f" {at}: {[t[:80] for t in got[at:at + 2]]!r} instead of"
                  f" {[t[:80] for t in expected[at:at + 2]]!r}")


def runner_scratch(plan, cleanup, prefix=None):
    """A scratch folder with the runner, watchdog.exe and the sample server,
    removed by `cleanup`."""
    scratch = Scratch(plan, program=RUNNER, prefix=prefix)
    cleanup(scratch.cleanup)
    shutil.copy(WATCHDOG, scratch.path("watchdog.exe"))
    return scratch


def wait_for(what, found):
    """Waits until `found()` returns something true, and returns it."""
    deadline = time.monotonic() + WRITTEN_S
    while not (result := found()):
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not come within {WRITTEN_S} s")
        time.sleep(0.05)
    return result


class Lines(WineTest):
    """One runner through a failed run and the stop code, in a zone of
    +05:30, its standard output a pipe that keeps every write apart. The
    first run writes its clock, a line of 10000 bytes, the 256 byte values,
    and a line that it leaves without an end for 1.5 s; the second floods
    1 MiB."""

    @classmethod
    def setUpClass(cls):
        work = runner_scratch(["1500 1 clock long binary partial", "0 4919 flood"],
                              cls.addClassCleanup)
        cls.status, _, cls.err = work.run(through="capture", env=dict(os.environ, TZ=ZONE))
        cls.writes = work.writes()
        cls.log = work.read("watchdog.log")
        cls.entries = entries(cls.log)
        cls.runs = work.runs()

    def line(self, word):
        [found] = [entry for entry in self.entries if b" %s " % word in entry[2]]
        return found

    def test_each_line_is_stamped_with_the_local_time_and_offset_of_its_arrival(self):
        self.assertEqual({offset for offset, _, _ in self.entries}, {b"+05:30"})
        moments = [moment for _, moment, _ in self.entries]
        late = next((i for i in range(1, len(moments)) if moments[i] < moments[i - 1]), None)
        self.assertIsNone(late, "a line stamped before the one above it")
        # The server read its clock just before its write; the stamp, cut to
        # the millisecond, may read up to 1 ms earlier.
        _, stamped, text = self.line(b"clock")
        written = int(text.split()[-1])
        print(f"\nthe clock line was stamped {(stamped - written) / 1000:.1f} ms after its write")
        self.assertGreaterEqual(stamped, written - 1000, text)
        self.assertLess(stamped - written, 1_000_000, text)

    def test_each_line_reaches_the_log_and_standard_output_whole_in_one_write(self):
        # The lines of one read may go out in one write, but no line is
        # ever split between two.
        self.assertEqual(b"".join(self.writes), self.log)
        self.assertEqual([w for w in self.writes if not w.endswith(b"\n")], [])
        self.assertEqual((self.status, self.err), (0, b""))

    def test_every_line_is_logged_in_order_long_ones_cut_and_every_byte_as_it_came(self):
        expected = (started() + [b"Zentrova run 1 clock *\r\n"] + cut(long_line(1))
                    + split(bytes(range(256)) + b"\r\n")
                    + [b"Zentrova run 1 partial *\r\n", NOTICE, ERROR_CODE_1]
                    + lines(flood(2)) + [CLOSING, ended(0)])
        assert_lines(self, [re.sub(rb"(clock|partial) \d+", rb"\1 *", text)
                            for text in texts(self.log)], expected)

    def test_a_line_without_its_end_is_written_within_a_second_while_the_server_runs(self):
        _, stamped, text = self.line(b"partial")
        held = stamped - int(text.split()[-1])
        print(f"\nthe line without an end was written {held / 1000:.1f} ms after it came")
        self.assertLess(held, HELD_US)
        self.assertLess(stamped, self.runs.ends[0]["t"], "it waited for the server's end")


class Rotation(WineTest):
    """A log a little short of 10 MiB and ten older ones, when the server
    floods 1 MiB: as it is, and while a reader holds the log without delete
    sharing, as one that follows it may."""

    def fill(self, plan):
        scratch = runner_scratch(plan, self.addCleanup)
        self.filler = b"".join(b"a line of an earlier run %07d\r\n" % n
                               for n in range((LOG_LIMIT - (256 << 10)) // 34))
        with open(scratch.path("watchdog.log"), "wb") as f:
            f.write(self.filler)
        for n in range(1, 11):
            scratch.write(f"watchdog.{n}.log", f"old log {n}\r\n")
        return scratch

    def assertMovedUpOnce(self, scratch, expected):
        """watchdog.1.log is the full log, which went on from the filler,
        and watchdog.log the rest, together every line; each older log is
        one place up, the oldest gone."""
        moved, log = scratch.read("watchdog.1.log"), scratch.read("watchdog.log")
        print(f"\nwatchdog.1.log: {len(moved)} bytes; watchdog.log: {len(log)} bytes")
        self.assertTrue(moved.startswith(self.filler), "watchdog.1.log is not the full log")
        assert_lines(self, texts(moved[len(self.filler):]) + texts(log), expected)
        for n in range(2, 11):
            self.assertEqual(scratch.read(f"watchdog.{n}.log"), b"old log %d\r\n" % (n - 1))
        self.assertFalse(os.path.exists(scratch.path("watchdog.11.log")))
        return moved, log

    def test_the_full_log_moves_up_at_a_line_boundary_with_nothing_lost_the_oldest_going(self):
        scratch = self.fill(["0 4919 flood"])
        self.assertEqual(scratch.run()[0], 0)
        moved, log = self.assertMovedUpOnce(scratch, started() + lines(flood(1)) + [CLOSING, ended(0)])
        self.assertLessEqual(len(moved), LOG_LIMIT)
        self.assertGreater(len(moved) + len(split(log)[0]), LOG_LIMIT, "moved before it was full")

    def test_a_log_held_by_a_reader_goes_on_past_its_limit_and_moves_up_once_let_go(self):
        scratch = self.fill(["2000 1 flood", "0 4919 flood"])
        reader = scratch.start([WINE, scratch.path("Zentrova.exe"), "hold", "watchdog.log",
                                "3500"])
        self.assertEqual(reader.stdout.readline(), b"held\n")
        self.assertEqual(scratch.run()[0], 0)
        self.assertEqual(reader.wait(), 0)
        reader.stdout.close()
        reader.stderr.close()
        moved, _ = self.assertMovedUpOnce(scratch, started() + lines(flood(1)) + [
            NOTICE, ERROR_CODE_1] + lines(flood(2)) + [CLOSING, ended(0)])
        self.assertGreater(len(moved), LOG_LIMIT + (512 << 10), "moved while the reader held it")


class Exclusive(WineTest):
    """A second runner started in the folder of one that runs."""

    def test_a_second_runner_is_refused_naming_the_first_and_changes_nothing(self):
        scratch = runner_scratch(["60000 1"], self.addCleanup)
        first = Watched(scratch)
        scratch.wait(first.process, until_run=1)
        log = scratch.read("watchdog.log")
        [pid] = re.findall(rb"run-watchdog \S+ started, process (\d+)", log)

        with open(scratch.path("second.out"), "wb") as out:
            second = scratch.start(scratch.command(), stdout=out, stderr=subprocess.STDOUT)
            status = second.wait(timeout=WRITTEN_S)
        [(_, _, line)] = entries(scratch.read("second.out"))
        self.assertNotEqual(status, 0)
        self.assertIn(b" process %s," % pid, line)
        self.assertIn(b"watchdog.log", line)
        self.assertEqual(scratch.read("watchdog.log"), log)
        self.assertIsNone(first.process.poll(), "the first runner ended")
        watchdogs = [p for p in processes(folder=scratch.dir) if program_of(p) == "watchdog.exe"]
        self.assertEqual(len(watchdogs), 1)
        self.assertEqual(scratch.runs_begun(), 1)
        first.kill()


class LogTrouble(WineTest):
    """A log that cannot be written while the server runs on: one that cannot
    be opened, one whose every write fails; and a log that an operator moves
    away."""

    def assertCountedThenWritten(self, spoil, mend, error):
        """With the log spoilt from the start and mended once the first run
        has said its line, the log begins with the count of the lines it
        lost, then every line after them; standard output had them all, and
        said why at the first."""
        scratch = runner_scratch(["2000 1 say", "60000 1"], self.addCleanup)
        spoil(scratch.path("watchdog.log"))
        watched = Watched(scratch)
        scratch.wait(watched.process, until_run=1)
        wait_for("the server's line", lambda: any(b"Zentrova: run 1" in line
                                                  for _, line in watched.arrivals))
        mend(scratch.path("watchdog.log"))
        scratch.wait(watched.process, until_run=2)
        wait_for("the watchdog's lines", lambda: b"Error code" in scratch.read("watchdog.log"))
        watched.kill()

        out = texts(watched.out())
        why = b"run-watchdog: watchdog.log cannot be written (error %d: " % error
        self.assertTrue(out[0].startswith(why), out[0])
        count = b"run-watchdog: 3 lines could not be written to watchdog.log (error %d)\r\n" % error
        self.assertEqual(texts(scratch.read("watchdog.log")),
                         [count, NOTICE, ERROR_CODE_1])
        self.assertEqual(out[1:], started() + [said(1, 1, 2000), count, NOTICE,
                                               ERROR_CODE_1])

    def test_a_log_that_cannot_be_opened_is_counted_until_it_can(self):
        # Root under Wine writes a file whatever its read-only attribute; a
        # folder of the log's name cannot be opened for writing.
        self.assertCountedThenWritten(os.mkdir, os.rmdir, 5)

    def test_a_log_on_a_full_disk_is_counted_until_it_is_started_anew(self):
        # Every write to /dev/full fails as on a full disk (ENOSPC); once
        # the name is gone, the next line starts a log of its own.
        self.assertCountedThenWritten(lambda path: os.symlink("/dev/full", path), os.remove, 112)

    def test_a_log_moved_away_is_started_anew_at_the_next_line(self):
        scratch = runner_scratch(["2000 1 say", "60000 1 say"], self.addCleanup)
        watched = Watched(scratch)
        scratch.wait(watched.process, until_run=1)
        wait_for("the server's line", lambda: b"Zentrova: run 1" in scratch.read("watchdog.log"))
        # Moved through Wine, which refuses a file held open without delete
        # sharing.
        subprocess.run([WINE, "cmd.exe", "/c", "move", "watchdog.log", "moved.log"],
                       cwd=scratch.dir, capture_output=True, check=True, timeout=WRITTEN_S)
        scratch.wait(watched.process, until_run=2)
        wait_for("the second run's line",
                 lambda: b"Zentrova: run 2" in scratch.read("watchdog.log"))
        watched.kill()

        moved, log = texts(scratch.read("moved.log")), texts(scratch.read("watchdog.log"))
        self.assertEqual(moved, started() + [said(1, 1, 2000)])
        self.assertEqual(log, [NOTICE, ERROR_CODE_1, said(2, 1, 60000)])
        self.assertEqual(texts(watched.out()), moved + log)


class Lifecycle(WineTest):
    """The runner's end after the stop code, its idle wait while the server
    runs, and its minute between a watchdog's end and the next start."""

    def test_the_stop_code_ends_the_runner_with_0_its_output_closed_its_input_handed_on(self):
        scratch = runner_scratch(["0 4919 say"], self.addCleanup)
        # The server reads the runner's standard input, as it would read the
        # console of a runner started by hand.
        with open(scratch.path("zentrova.plan"), "rb") as given:
            process = scratch.start(scratch.command(), stdin=given, stdout=None,
                                    stderr=subprocess.DEVNULL, preexec_fn=lambda: os.close(1))
            self.assertEqual(scratch.wait(process), 0)
        self.assertEqual(texts(scratch.read("watchdog.log")),
                         started() + [said(1, 4919), CLOSING, ended(0)])
        [start] = scratch.runs().starts
        self.assertEqual(start["input"], "disk")

    def test_the_runner_waits_idly_and_tells_of_a_watchdog_ended_from_outside(self):
        scratch = runner_scratch(["60000 1"], self.addCleanup)
        watched = Watched(scratch)
        scratch.wait(watched.process, until_run=1)
        runner, watchdog = scratch.program_pid(), scratch.program_pid("watchdog.exe")
        ticks, woken, watchdog_ticks = processor_ticks(runner), wakeups(runner), processor_ticks(
            watchdog)
        time.sleep(IDLE_S)
        ticks, woken = processor_ticks(runner) - ticks, wakeups(runner) - woken
        watchdog_ticks = processor_ticks(watchdog) - watchdog_ticks
        print(f"\nwhile the server ran {IDLE_S} s, the runner took {ticks} clock ticks and was"
              f" woken {woken} times; the watchdog took {watchdog_ticks} ticks")
        self.assertLessEqual(ticks, IDLE_TICKS)
        self.assertLessEqual(woken, IDLE_WAKEUPS, "the runner's wait polls")

        [pid] = re.findall(rb"watchdog.exe started, process (\d+)", scratch.read("watchdog.log"))
        # As taskkill /f ends it on Windows; Wine's taskkill would give 0.
        subprocess.run([WINE, scratch.path("Zentrova.exe"), "terminate", pid.decode(), "1"],
                       capture_output=True, check=True, timeout=WRITTEN_S)
        wait_for("the wait's line", lambda: AGAIN in scratch.read("watchdog.log"))
        self.assertIsNone(watched.process.poll(), "the runner ended")
        self.assertEqual(texts(scratch.read("watchdog.log")), started() + [ended(1), AGAIN])
        watched.kill()

    def test_after_a_watchdogs_failed_launch_it_is_started_again_a_minute_later(self):
        scratch = runner_scratch(["0 4919"], self.addCleanup)
        # The watchdog finds it before the system's interpreter, and ends with -1.
        scratch.write("cmd.exe", "not a program")
        with open(scratch.path("run.out"), "wb") as out:
            process = scratch.start(scratch.command(), stdout=out, stderr=subprocess.STDOUT)
        wait_for("the wait's line", lambda: AGAIN in scratch.read("watchdog.log"))
        os.remove(scratch.path("cmd.exe"))
        runner = scratch.program_pid()
        woken = wakeups(runner)
        time.sleep(IDLE_S)
        woken = wakeups(runner) - woken
        print(f"\nin {IDLE_S} s of its minute of waiting, the runner was woken {woken} times")
        self.assertLessEqual(woken, IDLE_WAKEUPS, "the runner's wait polls")
        self.assertEqual(process.wait(timeout=RESTART_MS / 1000 + WRITTEN_S), 0)

        log = scratch.read("watchdog.log")
        self.assertEqual(texts(log), started() + [b"Create Process failed (193).\r\n", ended(-1),
                                                  AGAIN, WATCHDOG_STARTED, CLOSING, ended(0)])
        (_, waiting, _), (_, again, _) = entries(log)[4:6]
        waited_ms = (again - waiting) / 1000
        print(f"\nthe watchdog was started again {waited_ms:.0f} ms after the wait's line")
        self.assertGreaterEqual(waited_ms, RESTART_MS - 1)
        self.assertLess(waited_ms, RESTART_MS + 1000)
        self.assertEqual(scratch.runs_begun(), 1)


class TaskAction(WineTest):
    """The scheduled task's action as the kit's script registers it, started
    whole as Task Scheduler starts it, in a folder whose name has a blank, an
    apostrophe, &, %, ! and =, which nothing parses any more."""

    def test_the_task_runs_the_runner_of_its_folder_to_the_stop_code(self):
        scratch = runner_scratch(["0 1", "0 4919"], self.addCleanup,
                                 prefix="Zentrova O'Neil & %PATH% !x! =")
        # Task Scheduler starts the action's path, then a blank and its
        # arguments, as one command line, in its start-in folder.
        with open(SCRIPT, encoding="ascii") as f:
            script = f.read()
        path = re.search(r"\$action\.Path = '([^']+)' -f \$Folder", script)[1]
        self.assertIn("$action.WorkingDirectory = $Folder", script)
        self.assertNotIn("$action.Arguments", script)
        line = path.replace("{0}", scratch.windows_path())
        task = scratch.start([WINE, SERVER, "task"], env=dict(os.environ, ZENTROVA_TASK=line))
        self.assertEqual(scratch.wait(task), 0)
        self.assertEqual(texts(scratch.read("watchdog.log")),
                         started() + [NOTICE, ERROR_CODE_1, CLOSING, ended(0)])
        print(f"\nthe task's line: {line}")
