"""What the Wine tests and the benchmarks share: scratch folders with copies
of the programs, the sample server's records of its runs, and the finding
and ending of Wine's processes, which Wine re-parents away from whoever
started them: they are found by their working folder, or by the prefix in
their environment. Run as a program, the fixture around the Wine tests:
"start" boots the prefix's Wine afresh, "finish" ends all of it and fails
where a test left a program running."""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

WATCHDOG = os.environ.get("WATCHDOG_EXE")
RUNNER = os.environ.get("RUNNER_EXE")
SERVER = os.environ.get("ZENTROVA_EXE")
BARE_LOOP = os.environ.get("BARE_LOOP_EXE")
WINE = os.environ["WINE_RUN"]
SCRATCH = os.environ.get("E2E_SCRATCH")
OBJDUMP = os.environ.get("OBJDUMP", "x86_64-w64-mingw32-objdump")

PAUSE_MS = 3000
# Under Wine, an interpreter and a server start and end within this.
SLACK_MS = 1000
# How late a run may begin beyond its plan: Wine's start-up on a busy machine.
RUN_SLACK_S = 8
# Seconds between 1601, where Windows counts from, and 1970.
EPOCH_SHIFT_S = 11644473600
# Wine's own programs, which its wineserver starts and keeps for the prefix.
WINE_SERVICES = {"services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe",
                 "explorer.exe", "wineboot.exe"}

NOTICE = b"Something wrong ! Restart the Server ...\r\n"
CLOSING = b"Closing WatchDog !\r\n"


def failure(printed):
    return NOTICE + b"Error code : " + printed.encode() + b"\r\n"


def flood(run):
    """What the sample server writes to its standard output in a run with
    "flood", as it writes it."""
    return b"".join(b"Zentrova run %d, line %05d: the server's own output\r\n" % (run, line)
                    for line in range(1, 16385))


def lines(text):
    return text.splitlines(keepends=True)


def pe_headers(exe):
    return subprocess.run([OBJDUMP, "-p", exe], capture_output=True, text=True,
                          check=True).stdout


def imported_dlls(headers):
    return [line.split(":", 1)[1].strip() for line in headers.splitlines() if "DLL Name:" in line]


def now_us():
    """The system clock as the sample server reads it."""
    return time.time_ns() // 1000 + EPOCH_SHIFT_S * 1_000_000


def tasks(pid):
    try:
        return [f"/proc/{pid}"] + [f"/proc/{pid}/task/{task}" for task in os.listdir(
            f"/proc/{pid}/task") if task != str(pid)]
    except OSError:
        return []


def _read(pid, name):
    """An entry of a process in /proc. Once a process's first thread has
    ended, its own entries read empty, but its other threads' still show
    what it runs, where, and with what environment."""
    for task in tasks(pid):
        try:
            if name in ("cwd", "exe"):
                return os.readlink(f"{task}/{name}")
            with open(f"{task}/{name}", "rb") as f:
                if content := f.read():
                    return content
        except OSError:
            pass
    raise OSError(f"no thread of process {pid} shows its {name}")


def processes(folder=None, prefix=None):
    """Every Wine process that works under `folder`, or that carries the Wine
    prefix `prefix` in its environment, Wine's own included."""
    found = []
    for pid in (int(entry) for entry in os.listdir("/proc") if entry.isdigit()):
        try:
            if folder:
                cwd = _read(pid, "cwd")
                ours = cwd == folder or cwd.startswith(folder.rstrip("/") + "/")
            else:
                prefixes = [v[len(b"WINEPREFIX="):] for v in _read(pid, "environ").split(b"\0")
                            if v.startswith(b"WINEPREFIX=")]
                ours = bool(prefixes) and os.path.realpath(prefixes[-1]) == prefix.encode()
            ours = ours and os.path.basename(_read(pid, "exe")).startswith("wine")
        except OSError:
            continue
        if ours:
            found.append(pid)
    return found


def program_of(pid):
    """The program a Wine process runs, by the last part of its first
    argument, Linux's path or Windows'."""
    try:
        first = _read(pid, "cmdline").split(b"\0")[0].decode(errors="replace").strip()
    except OSError:
        return ""
    return first.replace("\\", "/").split("/")[-1].lower()


def state(task):
    with open(f"{task}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def alive(pid):
    for task in tasks(pid):
        try:
            if state(task) != "Z":
                return True
        except (OSError, IndexError):
            pass
    return False


def described(pid):
    try:
        command = _read(pid, "cmdline").replace(b"\0", b" ").decode(errors="replace").strip()
        return f"{pid} {command} (in {_read(pid, 'cwd')})"
    except OSError:
        return f"{pid} (gone)"


def end_processes(find, within_s=5):
    """Kills what `find()` lists until it lists none, for `within_s` at most."""
    deadline = time.monotonic() + within_s
    while pids := [pid for pid in find() if alive(pid)]:
        if time.monotonic() > deadline:
            raise RuntimeError("still running after SIGKILL: "
                               + "; ".join(described(pid) for pid in pids))
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


def end_processes_under(folder):
    end_processes(lambda: processes(folder=folder))


def prefix():
    return os.path.realpath(subprocess.run([WINE, "--prefix"], capture_output=True, text=True,
                                           check=True).stdout.strip())


def processor_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # user and kernel time


def wakeups(pid):
    """How often the process's threads have left the processor: over a span
    that it begins and ends blocked, each is a time it was put back to run."""
    count = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                count += sum(int(line.split(":")[1]) for line in f if "ctxt_switches:" in line)
        except OSError:
            pass
    return count


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
        return [(s["t"] - e["t"]) / 1000 for e, s in zip(self.ends, self.starts[1:])]


class Scratch:
    """A directory of its own with a copy of the program under test and,
    unless told otherwise, the sample server and its plan."""

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

    def read(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def runs(self):
        return Runs(self.read("zentrova.log").decode())

    def runs_begun(self):
        log = self.read("zentrova.log")
        return log.startswith(b"start ") + log.count(b"\nstart ")

    def environment(self, run):
        """The environment block of run `run`, as the server's "env" wrote it."""
        return self.read(f"zentrova.env.{run}").decode("utf-16-le").split("\0")[:-1]

    def writes(self):
        """What the program wrote, a write an item, through "capture"."""
        writes, records = [], self.read("zentrova.writes")
        while records:
            length, records = records.split(b":", 1)
            writes.append(records[:int(length)])
            records = records[int(length) + 1:]
        return writes

    def program_pid(self, name=None):
        """The Linux process of the program under test, or of `name`."""
        name = name or self.program
        for pid in processes(folder=self.dir):
            if program_of(pid) == name.lower():
                return pid
        raise AssertionError(f"{name} is not running in {self.dir}")

    def windows_path(self):
        return "Z:" + self.dir.replace("/", "\\")

    def command(self, *args, through=None):
        """The program's command line, or, `through` the server's mode
        "inherit" or "capture", the server's that runs it."""
        program = [self.path(self.program), *args]
        if through:
            return [WINE, self.path("Zentrova.exe"), through, *program]
        return [WINE, *program]

    def latest_start_s(self, run):
        """By when after the start the server's run `run` (from 1) must have
        begun, or past the plan's last, the plan be through."""
        earlier = self.run_ms[:run - 1]
        return (sum(earlier) + len(earlier) * (PAUSE_MS + SLACK_MS)) / 1000 + RUN_SLACK_S

    def run(self, *args, env=None, through=None, stdout=None):
        """Runs the program to its end; returns (status, stdout, stderr).
        Its output goes to files, not pipes: Wine's server may hold a pipe
        open for a while after every writer has ended. `stdout` may name
        another standard output, or be "closed" for none at all."""
        closed = stdout == "closed"
        with open(self.path("run.out"), "wb") as out, open(self.path("run.err"), "wb") as err:
            process = self.start(self.command(*args, through=through), env=env,
                                 stdout=None if closed else stdout or out, stderr=err,
                                 preexec_fn=(lambda: os.close(1)) if closed else None)
            status = self.wait(process)
        return status, self.read("run.out"), self.read("run.err")

    def wait(self, process, until_run=None):
        """Waits for the program to end, or for the server's run `until_run`
        to begin; as soon as a run has not begun by its latest time, ends all
        in the directory and fails, saying what still ran."""
        while True:
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
        end_processes_under(self.dir)
        shutil.rmtree(self.dir)


class WineTest(unittest.TestCase):
    """Its scratch folders are emptied of processes and removed at its end."""

    def scratch(self, *args, **kwargs):
        scratch = Scratch(*args, **kwargs)
        self.addCleanup(scratch.cleanup)
        return scratch


class Watched:
    """A program started in the background, its output lines kept with when
    they arrived, on the sample server's clock (microseconds)."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.process = scratch.start()
        self.arrivals = []
        self.ended = threading.Event()
        # A daemon, so that a test that fails before its end is not held.
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        # Until the program has ended and its pipe is drained, not to the
        # pipe's end, which Wine's server may hold off after the last writer.
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
        end_processes_under(self.scratch.dir)
        self.process.wait()
        self._stop_reading()

    def out(self):
        return b"".join(line for _, line in self.arrivals)


# The fixture around the Wine tests.

def end_prefix():
    """Through the wineserver, then by force, which also reaches programs
    whose wineserver has gone."""
    subprocess.run([WINE, "--end"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=10, check=False)
    end_processes(lambda: processes(prefix=prefix()))


def start():
    """A fresh wineserver, and Wine's own services started and settled, so
    that no test starts while they do."""
    end_prefix()
    subprocess.run([WINE, "--serve"], check=True)
    subprocess.run([WINE, "--boot"], check=True)
    settled, seen = time.monotonic(), set()
    while time.monotonic() - settled < 1:
        if (now := set(processes(prefix=prefix()))) != seen:
            settled, seen = time.monotonic(), now
        time.sleep(0.1)
    print(f"Wine's services settled in {prefix()}: " + ", ".join(map(program_of, seen)))
    return 0


def finish():
    left = [described(pid) for pid in processes(prefix=prefix())
            if not program_of(pid).startswith("wineserver") and program_of(pid) not in WINE_SERVICES]
    for report in left:
        print(f"left running by a test: {report}")
    end_prefix()
    print(f"{len(left)} processes of the tests were left running; the prefix is ended")
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit({"start": start, "finish": finish}[sys.argv[1]]())
