"""What the end-to-end tests and the benchmarks share: scratch directories
with copies of the programs, runs under Wine, and the sample server's records
of each run (when it started and ended, what it saw)."""

import os
import select
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from wineprocs import clean_up, described, end_processes_under, processes, program_of, seconds_left

WATCHDOG = os.environ["WATCHDOG_EXE"]
SERVER = os.environ["ZENTROVA_EXE"]
# The least program that launches the server's command line: CreateProcessW
# with its defaults, a wait, a pause.
BARE_LOOP = os.environ["BARE_LOOP_EXE"]
WINE = os.environ.get("WINE_RUN")
SCRATCH = os.environ["E2E_SCRATCH"]
OBJDUMP = os.environ.get("OBJDUMP", "x86_64-w64-mingw32-objdump")
# The build's programs that a test may run or read; each test class names
# in `reads` those that it does, and any other file it reads, for its record.
PROGRAMS = (WATCHDOG, SERVER, BARE_LOOP)

PAUSE_MS = 3000
# Under Wine, an interpreter and a server start and end within this.
SLACK_MS = 1000
# How late a run may begin beyond its plan before the test fails: Wine's
# own start-up on a loaded machine.
RUN_SLACK_S = 8
# Seconds between 1601, where Windows counts from, and 1970.
EPOCH_SHIFT_S = 11644473600

NOTICE = b"Something wrong ! Restart the Server ...\r\n"
CLOSING = b"Closing WatchDog !\r\n"


def failure(printed):
    return NOTICE + b"Error code : " + printed.encode() + b"\r\n"


def launch_failed(printed):
    return b"Create Process failed (" + printed.encode() + b").\r\n"


def flood(run):
    """What the sample server writes to its standard output in a run with
    "flood", as it writes it."""
    return b"".join(b"Zentrova run %d, line %05d: the server's own output\r\n" % (run, line)
                    for line in range(1, 16385))


def lines(text):
    return text.splitlines(keepends=True)


def pe_headers(exe):
    """The program's PE headers and import table as objdump prints them."""
    return subprocess.run([OBJDUMP, "-p", exe], capture_output=True, text=True,
                          check=True).stdout


def imported_dlls(headers):
    return [line.split(":", 1)[1].strip() for line in headers.splitlines() if "DLL Name:" in line]


def now_us():
    """The system clock as the sample server reads it."""
    return time.time_ns() // 1000 + EPOCH_SHIFT_S * 1_000_000


class Runs:
    """What the sample server recorded, one dict per run."""

    def __init__(self, text):
        self.starts, self.ends, self.orphans = [], [], []
        for line in text.splitlines():
            word, *rest = line.split(" ")
            if word == "start":
                fields = dict(f.split("=", 1) for f in rest[2:] if "=" in f)
                fields["cwd"] = line.split(" cwd=", 1)[1]
                fields["t"] = int(rest[1])
                self.starts.append(fields)
            elif word == "end":
                self.ends.append({"t": int(rest[1]), "code": int(rest[2])})
            elif word == "orphan-end":
                self.orphans.append(int(rest[0]))

    def pauses_ms(self):
        """From each run's end to the next run's start."""
        return [(s["t"] - e["t"]) / 1000 for e, s in zip(self.ends, self.starts[1:])]


class Scratch:
    """A directory of its own with a copy of the program under test (by
    default watchdog.exe) and, unless told otherwise, the sample server and
    its plan."""

    def __init__(self, plan, server=True, program=WATCHDOG, prefix=None):
        os.makedirs(SCRATCH, exist_ok=True)
        self.dir = tempfile.mkdtemp(dir=SCRATCH, prefix=prefix)
        self.run_ms = [int(line.split()[0], 0) for line in plan]
        self.program = os.path.basename(program)
        shutil.copy(program, self.dir)
        if server:
            shutil.copy(SERVER, os.path.join(self.dir, "Zentrova.exe"))
        self.write("zentrova.plan", "".join(line + "\n" for line in plan))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def runs(self):
        try:
            with open(self.path("zentrova.log")) as f:
                return Runs(f.read())
        except FileNotFoundError:
            return Runs("")

    def environment(self, run):
        """The variables of the environment block that run `run` was given,
        in their order, as the sample server's "env" wrote it."""
        with open(self.path(f"zentrova.env.{run}"), "rb") as f:
            return f.read().decode("utf-16-le").split("\0")[:-1]

    def runs_begun(self):
        """How many runs of the server have begun; cheap on a long log."""
        try:
            with open(self.path("zentrova.log"), "rb") as f:
                log = f.read()
        except FileNotFoundError:
            return 0
        return log.startswith(b"start ") + log.count(b"\nstart ")

    def program_pid(self, name=None):
        """The Linux process of the program under test, or of the program
        `name`, which Wine names by the path it was started with, Linux's or
        Windows'."""
        name = name or self.program
        for pid in processes(folder=self.dir):
            if program_of(pid) == name.lower():
                return pid
        raise AssertionError(f"{name} is not running in {self.dir}")

    def windows_path(self):
        return "Z:" + self.dir.replace("/", "\\")

    def writes(self):
        """What the watchdog wrote, one item per write, when it ran through
        the sample server's "capture" mode."""
        writes = []
        try:
            with open(self.path("zentrova.writes"), "rb") as f:
                records = f.read()
        except FileNotFoundError:
            return writes
        while records:
            length, records = records.split(b":", 1)
            writes.append(records[:int(length)])
            records = records[int(length) + 1:]
        return writes

    def command(self, *args, through=None):
        """The watchdog's command line, or, with `through` "inherit" or
        "capture", the sample server's command line in that mode, running
        the watchdog."""
        watchdog = [self.path(self.program), *args]
        if through:
            return [WINE, self.path("Zentrova.exe"), through, *watchdog]
        return [WINE, *watchdog]

    def latest_start_s(self, run):
        """How long after the start the server's run number `run` (from 1)
        must have begun: every run before it with its start and pause, and
        the slack. Past the plan's last run, when the whole plan must be
        through."""
        earlier = self.run_ms[:run - 1]
        return (sum(earlier) + len(earlier) * (PAUSE_MS + SLACK_MS)) / 1000 + RUN_SLACK_S

    def run(self, *args, env=None, through=None, stdout=None):
        """Runs the watchdog to its end, at its plan's pace; returns (status,
        stdout, stderr). Its output goes to files, not pipes: Wine's server
        may hold a pipe open for a while after every writer has ended, and
        only the program's own end counts. `stdout` may name another standard
        output, or be "closed" for none at all."""
        closed = stdout == "closed"
        with open(self.path("run.out"), "wb") as out, open(self.path("run.err"), "wb") as err:
            process = self.start(self.command(*args, through=through), env=env,
                                 stdout=None if closed else stdout or out, stderr=err,
                                 preexec_fn=(lambda: os.close(1)) if closed else None)
            status = self.wait(process)
        with open(self.path("run.out"), "rb") as out, open(self.path("run.err"), "rb") as err:
            out, err = out.read(), err.read()
        return status, out, err

    def wait(self, process, until_run=None):
        """Waits for the program under test to end, or with `until_run` for
        that run of the server to begin, and fails as soon as the plan can no
        longer be kept: when a run has not begun by its latest time. Then it
        ends everything in the directory and says what was still running."""
        while True:
            seconds_left(f"the wait in {self.dir}")
            runs = self.runs_begun()
            if until_run is not None and runs >= until_run:
                return None
            status = process.poll()
            if status is not None:
                if until_run is not None:
                    raise AssertionError(f"ended with status {status} before run {until_run}"
                                         f" began, in {self.dir}")
                return status
            overdue = time.monotonic() - self.started - self.latest_start_s(runs + 1)
            if overdue > 0:
                running = "; ".join(described(pid) for pid in processes(folder=self.dir))
                end_processes_under(self.dir)
                process.kill()
                process.wait()
                what = (f"run {runs + 1} had not begun" if runs < len(self.run_ms)
                        else "the plan was not through")
                raise AssertionError(f"{what} {self.latest_start_s(runs + 1):.0f} s after the"
                                     f" start, in {self.dir}; still running then:"
                                     f" {running or 'nothing'}")
            time.sleep(0.05)

    def start(self, command=None, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen):
        self.started = time.monotonic()
        return subprocess.Popen(command or self.command(), cwd=self.dir, stdout=stdout,
                                stderr=stderr, start_new_session=True, **popen)

    def cleanup(self):
        """Ends whatever still runs in the directory, then removes it."""
        clean_up((f"ending what runs in {self.dir}", lambda: end_processes_under(self.dir)),
                 (f"removing {self.dir}", lambda: shutil.rmtree(self.dir)))


class WineTest(unittest.TestCase):
    """A test whose scratch directories are emptied of every process and
    removed when it ends, pass or fail."""

    reads = PROGRAMS

    def scratch(self, *args, **kwargs):
        scratch = Scratch(*args, **kwargs)
        self.addCleanup(scratch.cleanup)
        return scratch


class Watched:
    """A watchdog started in the background, its output lines kept with the
    moments they arrived, on the sample server's clock (microseconds)."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.process = scratch.start()
        self.arrivals = []
        self.ended = threading.Event()
        # A test that fails before it waits for the watchdog or kills it
        # leaves the reader running; as a daemon it does not keep the test's
        # process alive once the test's cleanup has ended the watchdog.
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        # Reads until the watchdog has ended and its pipe is drained, not to
        # the pipe's end: Wine's server may hold a pipe open for a while
        # after every writer has gone.
        pipe = self.process.stdout.fileno()
        pending = b""
        while True:
            if not select.select([pipe], [], [], 0.1)[0]:
                if self.ended.is_set():
                    break
                continue
            chunk = os.read(pipe, 4096)
            if not chunk:
                break
            arrived = now_us()
            *complete, pending = (pending + chunk).split(b"\n")
            self.arrivals += [(arrived, line + b"\n") for line in complete]
        if pending:
            self.arrivals.append((now_us(), pending))

    def _stop_reading(self):
        self.ended.set()
        self.reader.join()
        self.process.stdout.close()
        self.process.stderr.close()

    def wait(self):
        try:
            status = self.scratch.wait(self.process)
        finally:
            self.exited = now_us()
            self._stop_reading()
        return status

    def kill(self):
        """Ends the watchdog and everything it started."""
        end_processes_under(self.scratch.dir)
        self.process.wait()
        self._stop_reading()

    def out(self):
        return b"".join(line for _, line in self.arrivals)
