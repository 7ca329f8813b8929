"""The shipped watchdog.exe under Wine, judged from outside: the exact bytes
of its standard output (text mode writes "\r\n"), its exit status (-1
reaches Linux as 255), and the records that the sample server
(tests/server/Zentrova.cpp, its plan language at its top) leaves of every
run: when it started and ended, what it saw. Each class is a CTest test of
its own (tests/windows/CMakeLists.txt); one that derives from WineTest runs
inside the fixture that starts the prefix's Wine before the first and, after
the last, fails the run where a test left a program running (harness.py)."""

import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import time
import unittest

from harness import (BARE_LOOP, CLOSING, NOTICE, PAUSE_MS, RUNNER, SLACK_MS, WATCHDOG, WINE,
                     Scratch, Watched, WineTest, alive, described, end_processes, failure, flood,
                     imported_dlls, lines, now_us, pe_headers, processes, processor_ticks,
                     program_of, state, wakeups)

# How long the watchdog is watched while a server runs, how many clock ticks
# (1/100 s each on Linux) of processor time it may take meanwhile, and how
# often it may be put back to run. Blocked in its wait, it is never woken: 0
# every time, on an idle machine and beside 4 busy processes. Any wait that
# polls is woken at every turn: once a second gives 5 to 8 in 3 s, a check and
# Sleep(100) about 60, a 50 ms timed wait about 160.
IDLE_S = 3
IDLE_TICKS = 5
IDLE_WAKEUPS = 2
# How soon after Ctrl+C or the terminal's closing the watchdog's own thread
# and every program it started must be gone: under Wine they end within 0.1 s.
ENDED_S = 2
# How soon after them Wine's own must be gone: the terminal's console host,
# which ends with its last program within 0.1 s, and the rest of the
# watchdog's process. About one Ctrl+C in 200 on a busy machine, Wine's exit
# of a process that Ctrl+C ends hangs for good once the program's own thread
# has ended: the one thread left blocks on a futex inside Wine's thread exit
# (NtTerminateThread), and the process, and the console host with it, would
# run for ever. The test ends it and says so.
WINE_ENDED_S = 2
# The lines that Wine begins, as it writes them, when a Wine process dies of
# a failure of Wine's own.
WINE_FAILURE = re.compile(r"^(wine client error:[0-9a-f]+: |wineserver crashed, "
                          r"|wine: failed to map the shared user data: "
                          r"|wine: could not load kernel32\.dll, ).*", re.MULTILINE)
GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "operating.md")


def launch_failed(printed):
    return b"Create Process failed (" + printed.encode() + b").\r\n"


def first_thread_ended(pid):
    """Whether the process's first thread, which ran the program's own code,
    has ended while other threads of it have not."""
    try:
        return state(f"/proc/{pid}") == "Z" and alive(pid)
    except (OSError, IndexError):
        return False


class Shipped(unittest.TestCase):
    """What a user copies to a Windows machine: console programs of subsystem
    6.0 that need no DLL beyond the system's and ask for no elevation."""

    def test_each_program_imports_only_kernel32_and_msvcrt_and_asks_for_no_elevation(self):
        for program in (WATCHDOG, RUNNER):
            with self.subTest(program):
                dump = pe_headers(program)
                self.assertEqual(sorted(imported_dlls(dump)), ["KERNEL32.dll", "msvcrt.dll"])
                fields = dict(line.split(None, 1) for line in dump.splitlines()
                              if line.startswith(("Subsystem", "MajorSubsystemVersion",
                                                  "MinorSubsystemVersion")))
                self.assertIn("(Windows CUI)", fields["Subsystem"])
                self.assertEqual((fields["MajorSubsystemVersion"].strip(),
                                  fields["MinorSubsystemVersion"].strip()), ("6", "0"))
                with open(program, "rb") as f:
                    self.assertIn(b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>',
                                  f.read())


class OperatorGuide(unittest.TestCase):
    """The operator's guide, which the release ships as README.txt, against
    the program: its lines as the watchdog writes them, and every exit code
    in its table printed as the watchdog prints it."""

    @classmethod
    def setUpClass(cls):
        with open(GUIDE, "rb") as f:
            cls.guide = f.read()

    def test_the_guide_quotes_the_watchdogs_lines_exactly(self):
        for line in (NOTICE, failure("N")[len(NOTICE):], CLOSING, launch_failed("N")):
            self.assertIn(b"`" + line.rstrip(b"\r\n") + b"`", self.guide)

    def test_every_code_in_the_table_is_printed_as_the_watchdog_prints_it(self):
        rows = re.findall(rb"^\| (-?\d+) \| 0x([0-9A-F]{8}) \|", self.guide, re.MULTILINE)
        self.assertGreaterEqual(len(rows), 11)
        for printed, code in rows:
            self.assertEqual(int(printed), struct.unpack("<i", struct.pack("<I", int(code, 16)))[0],
                             code)

    def test_the_guide_is_plain_ascii_for_any_notepad(self):
        self.guide.decode("ascii")


class StopCode(WineTest):
    """The stop code at the first run: one launch, the closing line alone,
    status 0."""

    def test_stop_code_at_the_first_run_closes_after_one_launch(self):
        scratch = self.scratch(["0 4919"])
        status, out, err = scratch.run()
        self.assertEqual(out, CLOSING)
        self.assertEqual(err, b"")
        self.assertEqual(status, 0)
        self.assertEqual(len(scratch.runs().starts), 1)


class Restarts(WineTest):
    """One watchdog through five failed runs and the stop code, with its
    standard output a pipe that keeps every write apart."""

    CODES = ["0", "4918", "4920", "0x80000000", "0xFFFFFFFF", "4919"]
    PRINTED = ["0", "4918", "4920", "-2147483648", "-1"]

    @classmethod
    def setUpClass(cls):
        work = Scratch([f"0 {code} handles" for code in cls.CODES])
        cls.addClassCleanup(work.cleanup)
        cls.status, _, cls.err = work.run(through="capture")
        cls.writes = work.writes()
        cls.runs = work.runs()

    def test_every_failure_is_reported_in_order_each_line_in_one_write(self):
        self.assertEqual(self.writes, lines(b"".join(failure(p) for p in self.PRINTED) + CLOSING))
        self.assertEqual(self.err, b"")
        self.assertEqual(self.status, 0)

    def test_the_server_runs_once_per_cycle_with_every_code_handed_on(self):
        self.assertEqual(len(self.runs.starts), 6)
        self.assertEqual([e["code"] for e in self.runs.ends], [int(c, 0) for c in self.CODES])
        # Started with no terminal, the watchdog and the server have no
        # console to type Ctrl+C in; what they can show is that the switch
        # that would turn Ctrl+C off is not set.
        reach = [s["ctrl_c"] for s in self.runs.starts]
        self.assertEqual(reach, ["no-console"] * 6, f"what each run found of Ctrl+C: {reach}")

    def test_each_pause_is_three_seconds(self):
        pauses = self.runs.pauses_ms()
        self.assertEqual(len(pauses), 5)
        for pause in pauses:
            self.assertGreaterEqual(pause, PAUSE_MS)
            self.assertLess(pause, PAUSE_MS + SLACK_MS)
        print("\npauses (ms):", " ".join(f"{p:.1f}" for p in pauses))

    def test_the_watchdog_holds_the_same_handles_at_every_cycle(self):
        counts = [int(s["watchdog_handles"]) for s in self.runs.starts]
        self.assertGreater(counts[0], 0)
        self.assertEqual(counts, [counts[0]] * 6)
        print("\nwatchdog handles per cycle:", counts)


class LaunchFailure(WineTest):
    """A launch that fails, first or after failed cycles, ends the watchdog
    at once with its one line and status -1 (255 under Wine), every line
    before it kept."""

    def test_first_launch_failing_ends_at_once_with_minus_one(self):
        scratch = self.scratch(["0 4919"])
        # Found next to the program before the system's own interpreter.
        scratch.write("cmd.exe", "not a program")
        watched = Watched(scratch)
        self.assertEqual(watched.wait(), 255)
        self.assertEqual(watched.out(), launch_failed("193"))
        [(reported, _)] = watched.arrivals
        self.assertLess((watched.exited - reported) / 1000, PAUSE_MS / 2)
        self.assertEqual(scratch.runs().starts, [])

    def test_launch_failing_after_failed_cycles_keeps_every_line_and_the_pause(self):
        scratch = self.scratch(["0 1", "0 2 break-cmd"])
        status, _, err = scratch.run(through="capture")
        ended = now_us()
        self.assertEqual(scratch.writes(), lines(failure("1") + failure("2") + launch_failed("193")))
        self.assertEqual(err, b"")
        self.assertEqual(status, 255)
        runs = scratch.runs()
        self.assertEqual(len(runs.starts), 2)
        self.assertGreaterEqual((ended - runs.ends[-1]["t"]) / 1000, PAUSE_MS)


class MissingServer(WineTest):
    """With no server in its folder, the interpreter's 9009 is reported and
    the server looked for again every three seconds, without end."""

    def test_the_interpreters_code_is_reported_every_three_seconds_without_end(self):
        scratch = self.scratch([], server=False)
        watched = Watched(scratch)
        time.sleep(3 * PAUSE_MS / 1000 + 1.5)
        still_running = watched.process.poll() is None
        watched.kill()
        self.assertTrue(still_running)

        self.assertEqual(watched.out(), failure("9009") * (len(watched.arrivals) // 2))
        codes = [t for t, line in watched.arrivals if line.startswith(b"Error code")]
        self.assertGreaterEqual(len(codes), 3)
        for earlier, later in zip(codes, codes[1:]):
            self.assertGreaterEqual((later - earlier) / 1000, PAUSE_MS - 50)
            self.assertLess((later - earlier) / 1000, PAUSE_MS + SLACK_MS)


class Surroundings(WineTest):
    """The server runs in the watchdog's console, environment and folder,
    inherits no handle, and its own output reaches the watchdog's whole;
    arguments change nothing."""

    def test_the_server_sees_the_watchdogs_environment_and_directory_and_no_handle(self):
        scratch = self.scratch(["0 4919"])
        env = dict(os.environ, ZENTROVA_PROBE="seen-by-the-server")
        status, out, _ = scratch.run(env=env, through="inherit")
        self.assertEqual((status, out), (0, CLOSING))
        [start] = scratch.runs().starts
        self.assertEqual(start["probe"], "seen-by-the-server")
        self.assertEqual(start["cwd"].lower(), scratch.windows_path().lower())
        self.assertEqual(start["inherited"], "no")
        self.assertIn(start["watchdog"], start["console"].split(","),
                      "the server does not run in the watchdog's console")

    def test_the_server_gets_the_environment_block_that_a_plain_launch_hands_on(self):
        # The bare loop launches the same command line with CreateProcessW's
        # defaults: a variable that the watchdog added, dropped or changed
        # shows as a difference between the blocks of the two runs.
        scratch = self.scratch(["0 4919 env"])
        shutil.copy(BARE_LOOP, scratch.path("bare_loop.exe"))
        env = dict(os.environ, ZENTROVA_PROBE="seen-by-the-server")
        self.assertEqual(scratch.run(env=env)[0], 0)
        plain = scratch.start([WINE, scratch.path("bare_loop.exe")], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(scratch.wait(plain), 0)
        watchdogs, plains = (scratch.environment(run) for run in (1, 2))
        self.assertIn("ZENTROVA_PROBE=seen-by-the-server", plains)
        self.assertEqual(watchdogs, plains)

    def test_the_inheritance_probe_sees_a_handle_that_is_inherited(self):
        scratch = self.scratch(["0 4919"])
        scratch.wait(scratch.start([WINE, scratch.path("Zentrova.exe"), "inherit",
                                    scratch.path("Zentrova.exe")],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        [start] = scratch.runs().starts
        self.assertEqual(start["inherited"], "yes")

    def test_the_servers_own_output_reaches_the_watchdogs_file_and_pipe_whole(self):
        # The server writes to the standard output it finds, which is the
        # watchdog's: both reach the same log, the server's bytes as written
        # and the watchdog's lines whole between them.
        plan = ["0 1 flood", "0 4919 flood"]
        expected = flood(1) + failure("1") + flood(2) + CLOSING
        piped = Watched(self.scratch(plan))
        # A file, as an operator redirects a watchdog started from a console.
        status, out, _ = self.scratch(plan).run(through="inherit")
        self.assertEqual(status, 0)
        self.assertHolds(out, expected, "a file")
        self.assertEqual(piped.wait(), 0)
        self.assertHolds(piped.out(), expected, "a pipe")

    def assertHolds(self, out, expected, what):
        if out != expected:
            at = next((i for i, (a, b) in enumerate(zip(out, expected)) if a != b),
                      min(len(out), len(expected)))
            self.fail(f"{what} as standard output got {len(out)} bytes instead of"
                      f" {len(expected)}, the first difference at byte {at}:"
                      f" {out[at:at + 60]!r} instead of {expected[at:at + 60]!r}")

    def test_arguments_change_nothing(self):
        scratch = self.scratch(["0 5", "0 4919"])
        status, out, err = scratch.run("4919", "/c", "--help")
        self.assertEqual((status, out, err), (0, failure("5") + CLOSING, b""))
        self.assertEqual(len(scratch.runs().starts), 2)


class Faults(WineTest):
    """Trouble around the watchdog never stops its loop."""

    def assertPausedRuns(self, runs, count):
        self.assertEqual(len(runs.starts), count)
        for pause in runs.pauses_ms():
            self.assertGreaterEqual(pause, PAUSE_MS)
            self.assertLess(pause, PAUSE_MS + SLACK_MS)

    def test_closed_standard_output_changes_nothing_but_the_lines(self):
        scratch = self.scratch(["0 1", "0 2", "0 4919"])
        status, _, err = scratch.run(stdout="closed")
        self.assertEqual((status, err), (0, b""))
        self.assertPausedRuns(scratch.runs(), 3)

    def test_a_pipe_whose_reader_has_gone_changes_nothing_but_the_lines(self):
        scratch = self.scratch(["0 1", "0 2", "0 4919"])
        reader, writer = os.pipe()
        os.close(reader)
        status, _, err = scratch.run(stdout=writer)
        os.close(writer)
        self.assertEqual((status, err), (0, b""))
        self.assertPausedRuns(scratch.runs(), 3)

    def test_a_crashing_server_is_reported_with_its_exception_and_restarted(self):
        scratch = self.scratch(["0 1 crash", "0 4919"])
        # The crashing server's own loader writes a line to the shared
        # standard error, so only standard output is the watchdog's.
        status, out, _ = scratch.run()
        self.assertEqual((status, out), (0, failure("-1073741819") + CLOSING))
        self.assertPausedRuns(scratch.runs(), 2)

    def test_a_server_terminated_from_outside_is_restarted_and_waited_for_idly(self):
        scratch = self.scratch(["60000 1", "0 4919"])
        watched = Watched(scratch)
        scratch.wait(watched.process, until_run=1)
        watchdog = scratch.program_pid()
        ticks, woken = processor_ticks(watchdog), wakeups(watchdog)
        time.sleep(IDLE_S)
        ticks, woken = processor_ticks(watchdog) - ticks, wakeups(watchdog) - woken
        server = scratch.runs().starts[0]["pid"]
        subprocess.run([WINE, "taskkill", "/f", "/pid", server], capture_output=True, check=True)
        self.assertEqual(watched.wait(), 0)
        out = watched.out()
        self.assertTrue(out.startswith(NOTICE + b"Error code : "), out)
        self.assertTrue(out.endswith(b"\r\n" + CLOSING), out)
        print(f"\nwhile the server ran {IDLE_S} s, the watchdog took {ticks} clock ticks"
              f" and was woken {woken} times")
        # A busy wait takes a good share of those seconds; a wait that polls,
        # however gently, is woken at every turn.
        self.assertLessEqual(ticks, IDLE_TICKS, f"the watchdog ran for {ticks} clock ticks"
                             f" of the {IDLE_S} s that the server ran")
        self.assertLessEqual(woken, IDLE_WAKEUPS, f"the watchdog was woken {woken} times in the"
                             f" {IDLE_S} s that the server ran: its wait polls")
        code = int(out[len(NOTICE + b"Error code : "):-len(b"\r\n" + CLOSING)])
        self.assertNotEqual(code, 4919)
        runs = scratch.runs()
        self.assertEqual(len(runs.starts), 2)
        self.assertEqual(len(runs.ends), 1, "the first run never reached its end")
        # The report arrives just before the pause begins.
        reported = watched.arrivals[-2][0]
        self.assertGreaterEqual((runs.starts[1]["t"] - reported) / 1000, PAUSE_MS - 50)

    def test_an_orphan_of_the_server_does_not_hold_the_watchdog(self):
        scratch = self.scratch(["0 1 orphan", "0 4919"])
        watched = Watched(scratch)
        status = scratch.wait(watched.process)
        closed = now_us()
        self.assertEqual(status, 0)
        runs = scratch.runs()
        self.assertPausedRuns(runs, 2)
        self.assertEqual(runs.orphans, [], "the watchdog ended before the orphan")
        watched.kill()
        self.assertEqual(watched.out(), failure("1") + CLOSING)
        self.assertLess((closed - runs.ends[0]["t"]) / 1000, PAUSE_MS + SLACK_MS)


class Terminal(WineTest):
    """The watchdog, or the runner, started from a shell in a terminal, the
    server sharing its console. Under Wine a typed Ctrl+C reaches every program of the
    terminal's foreground process group as a console control event, and must
    end the server and the watchdog together with nothing started again.
    Closing the terminal is no console control event here: Wine leaves the
    terminal's hang-up (SIGHUP) unhandled, so the kernel kills the session's
    leader, the watchdog's own process, and the foreground group with it. That
    case shows that the server stays in the watchdog's session and foreground
    group, which a launch in a process group, a console or a detached process
    of its own would break."""

    def start(self, plan, program=WATCHDOG):
        """Starts the watchdog, or the runner with its watchdog, as a shell
        would, in the foreground of a new terminal of which it leads the
        session, and waits for the server's first run."""
        self.work = self.scratch(plan, program=program)
        if program == RUNNER:
            shutil.copy(WATCHDOG, self.work.path("watchdog.exe"))
        self.terminal, slave = os.openpty()
        self.addCleanup(lambda: self.terminal is None or os.close(self.terminal))
        self.process = self.work.start(self.work.command(), stdin=slave, stdout=slave,
                                       stderr=slave,
                                       preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.work.wait(self.process, until_run=1)

    def press_ctrl_c(self):
        os.write(self.terminal, b"\x03")

    def close_terminal(self):
        os.close(self.terminal)
        self.terminal = None

    def programs(self):
        """The watchdog while its own thread runs, and every program it
        started; not the console host, which is Wine's."""
        watchdog = [self.process.pid] if self.process.poll() is None else []
        return [pid for pid in set(processes(folder=self.work.dir) + watchdog)
                if program_of(pid) != "conhost.exe" and not first_thread_ended(pid) and alive(pid)]

    def assertAllEnded(self):
        """Soon the watchdog and all it started are gone, and the server has
        not been started again; it had Ctrl+C on, in the watchdog's console,
        as it found them once its start-up was done. Then Wine's own ends.
        Returns whether Wine's exit of the watchdog's process hung."""
        deadline = time.monotonic() + ENDED_S
        while (survivors := self.programs()) and time.monotonic() < deadline:
            time.sleep(0.05)
        if survivors:
            self.fail(f"still running {ENDED_S} s later: "
                      + "; ".join(described(pid) for pid in survivors))
        hung = self.assertWineEnds()
        starts = self.work.runs().starts
        self.assertEqual(len(starts), 1, "the server was started again")
        self.assertEqual(starts[0]["ctrl_c"], "on", "what the server found of Ctrl+C")
        self.assertIn(starts[0]["watchdog"], starts[0]["console"].split(","),
                      "the server does not run in the watchdog's console")
        return hung

    def assertWineEnds(self):
        """The rest of the watchdog's process and the console host end soon
        after the programs; a process hung in Wine's exit is ended first, and
        has no exit status to read."""
        def settle():
            began = time.monotonic()
            while (self.process.poll() is None or processes(folder=self.work.dir)) \
                    and time.monotonic() - began < WINE_ENDED_S:
                time.sleep(0.01)
            return time.monotonic() - began

        took = settle()
        hung = self.process.poll() is None
        if hung:
            print(f"\nWine's exit of the watchdog's process hung after its own thread had ended"
                  f" ({described(self.process.pid)}); the test ends it")
            end_processes(lambda: [self.process.pid])
            self.process.wait()
            took = settle()
        if left := [described(pid) for pid in processes(folder=self.work.dir)]:
            self.fail(f"Wine's own still running {WINE_ENDED_S} s after the programs had"
                      f" ended: " + "; ".join(left))
        print(f"\nWine's own ended {took:.3f} s after the programs")
        return hung

    def assertEndedByCtrlC(self):
        """The watchdog wrote at most one failure report, for the server's
        end by Ctrl+C or for a run that failed before, and nothing after it,
        and did not end as after a failed launch. Ctrl+C may end it between
        the report's two lines. Under Wine its status is 0; Windows gives
        0xC000013A."""
        hung = self.assertAllEnded()
        self.assertReportsAtMostOneFailure(self.output(), None if hung else self.process.returncode)

    def assertReportsAtMostOneFailure(self, terminal, status):
        written = watchdog_lines(terminal)
        # A Wine process that fails as it ends may say so in the terminal.
        if wines := [line for line in written if WINE_FAILURE.match(line.decode(errors="replace"))]:
            print(f"\nWine wrote of a failure of its own: {wines}")
            written = [line for line in written if line not in wines]
        if status is not None:
            self.assertEqual(status, 0, f"not the status of a watchdog that Ctrl+C ended (0"
                             f" under Wine, 0xC000013A on Windows), having written {written}")
        self.assertLessEqual(len(written), 2, f"more than one failure report, or something after"
                             f" it: {written}")
        if written:
            self.assertEqual(written[0], NOTICE.rstrip(), written)
        if len(written) == 2:
            self.assertRegex(written[1], rb"^Error code : -?\d+$", written)

    def output(self):
        """What reached the terminal, if it is still open."""
        out = b""
        while self.terminal is not None and select.select([self.terminal], [], [], 0.2)[0]:
            try:
                chunk = os.read(self.terminal, 4096)
            except OSError:  # every program of the terminal has gone
                break
            if not chunk:
                break
            out += chunk
        return out

    def test_ctrl_c_while_the_server_runs_ends_both(self):
        self.start(["60000 1"])
        self.press_ctrl_c()
        self.assertEndedByCtrlC()

    def test_ctrl_c_ends_the_runner_its_watchdog_and_the_server_together(self):
        self.start(["60000 1"], program=RUNNER)
        self.press_ctrl_c()
        self.assertAllEnded()

    def test_ctrl_c_during_the_pause_ends_the_watchdog_and_starts_nothing(self):
        self.start(["0 1", "60000 1"])
        time.sleep(1)
        [ended] = self.work.runs().ends
        self.assertLess((now_us() - ended["t"]) / 1000, PAUSE_MS, "the pause was over")
        self.press_ctrl_c()
        self.assertEndedByCtrlC()

    def test_closing_the_terminal_kills_the_session_the_server_included(self):
        self.start(["60000 1"])
        self.close_terminal()
        self.assertAllEnded()
        self.assertEqual(self.process.returncode, -signal.SIGHUP,
                         "the watchdog's process did not die of the terminal's hang-up")


def watchdog_lines(terminal):
    """The lines that reached a terminal, without what the terminal and
    Wine's console add: the echo of a typed Ctrl+C, escape sequences, and a
    carriage return before every line end."""
    text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", terminal).replace(b"^C", b"")
    return [line.rstrip(b"\r") for line in text.split(b"\n") if line.strip()]


if __name__ == "__main__":
    unittest.main()
