"""What the end-to-end tests and the benchmarks share: scratch directories
with copies of the programs, runs under Wine, and the sample server's records
of each run (when it started and ended, what it saw)."""

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

WATCHDOG = os.environ["WATCHDOG_EXE"]
SERVER = os.environ["ZENTROVA_EXE"]
WINE = os.environ["WINE_RUN"]
SCRATCH = os.environ["E2E_SCRATCH"]
OBJDUMP = os.environ.get("OBJDUMP", "x86_64-w64-mingw32-objdump")

PAUSE_MS = 3000
# Under Wine, an interpreter and a server start and end within this.
SLACK_MS = 1000
# Seconds between 1601, where Windows counts from, and 1970.
EPOCH_SHIFT_S = 11644473600

NOTICE = b"Something wrong ! Restart the Server ...\r\n"
CLOSING = b"Closing WatchDog !\r\n"


def failure(printed):
    return NOTICE + b"Error code : " + printed.encode() + b"\r\n"


def launch_failed(printed):
    return b"Create Process failed (" + printed.encode() + b").\r\n"


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

    def __init__(self, plan, server=True, program=WATCHDOG):
        os.makedirs(SCRATCH, exist_ok=True)
        self.dir = tempfile.mkdtemp(dir=SCRATCH)
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

    def run(self, *args, timeout=120, env=None, through=None, stdout=subprocess.PIPE):
        """Runs the watchdog to its end; returns (status, stdout, stderr)."""
        done = subprocess.run(self.command(*args, through=through), cwd=self.dir,
                              stdout=stdout, stderr=subprocess.PIPE, timeout=timeout, env=env)
        return done.returncode, done.stdout, done.stderr

    def start(self, command=None, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
        return subprocess.Popen(command or self.command(), cwd=self.dir, stdout=stdout,
                                stderr=stderr, start_new_session=True)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Watched:
    """A watchdog started in the background, its output lines kept with the
    moments they arrived, on the sample server's clock (microseconds)."""

    def __init__(self, scratch):
        self.process = scratch.start()
        self.arrivals = []
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.arrivals.append((now_us(), line))

    def wait(self, timeout=60):
        status = self.process.wait(timeout)
        self.exited = now_us()
        self.reader.join()
        return status

    def kill(self):
        os.killpg(self.process.pid, signal.SIGKILL)
        self.wait()

    def out(self):
        return b"".join(line for _, line in self.arrivals)
