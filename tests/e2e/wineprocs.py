"""Finding and ending the Linux processes that run Windows programs under
Wine. Wine re-parents the programs it starts away from whoever started them,
so they are found by what they carry instead: their working folder, or the
Wine prefix in their environment. Also what the tests' clean-ups and
deadline share."""

import os
import re
import signal
import subprocess
import time

# The lines that Wine begins, as it writes them, when a Wine process or its
# wineserver dies of a failure of Wine's own.
WINE_FAILURE = re.compile(r"^(wine client error:[0-9a-f]+: |wineserver crashed, "
                          r"|wine: failed to map the shared user data: "
                          r"|wine: could not load kernel32\.dll, ).*", re.MULTILINE)
# How long an end through the wineserver may take before the forced end; the
# two together take at most 15 s, which the runner keeps of each test's time.
END_S = 10
# Wine's own programs, which its wineserver starts and keeps for the prefix.
WINE_SERVICES = {"services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe",
                 "explorer.exe", "wineboot.exe"}


def _tasks(pid):
    try:
        return [f"/proc/{pid}"] + [f"/proc/{pid}/task/{task}" for task in os.listdir(
            f"/proc/{pid}/task") if task != str(pid)]
    except OSError:
        return []


def _read(pid, name):
    """An entry of a process in /proc, "cwd" and "exe" as the paths they
    name. Once a process's first thread has ended, its own entries read
    empty or not at all, but its other threads' still show what it runs,
    where, and with what environment."""
    for task in _tasks(pid):
        try:
            if name in ("cwd", "exe"):
                return os.readlink(f"{task}/{name}")
            with open(f"{task}/{name}", "rb") as f:
                if content := f.read():
                    return content
        except OSError:
            pass
    raise OSError(f"no thread of process {pid} shows its {name}")


def _is_wine(pid):
    try:
        return os.path.basename(_read(pid, "exe")).startswith("wine")
    except OSError:
        return False


def _pids():
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


def processes(folder=None, prefix=None):
    """Every Wine process whose working folder lies under `folder`, or that
    carries the Wine prefix `prefix` in the environment it was started with.
    A Windows program under Wine works in its current directory, so the first
    finds the watchdog, interpreters and servers of a test; the second finds
    every process of the prefix, wineserver and Wine's own services included,
    whether or not that wineserver still lives."""
    wanted = os.path.realpath(prefix).encode() if prefix else None
    found = []
    for pid in _pids():
        try:
            if folder:
                cwd = _read(pid, "cwd")
                ours = cwd == folder or cwd.startswith(folder.rstrip("/") + "/")
            else:
                prefixes = [v[len(b"WINEPREFIX="):] for v in _read(pid, "environ").split(b"\0")
                            if v.startswith(b"WINEPREFIX=")]
                ours = bool(prefixes) and os.path.realpath(prefixes[-1]) == wanted
        except OSError:
            continue
        if ours and _is_wine(pid):
            found.append(pid)
    return found


def program_of(pid):
    """The program a Wine process runs, as Wine names it: the last part of
    its first argument, Linux's path or Windows'."""
    try:
        first = _read(pid, "cmdline").split(b"\0")[0].decode(errors="replace").strip()
    except OSError:
        return ""
    return first.replace("\\", "/").split("/")[-1].lower()


def _state(task):
    with open(f"{task}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def alive(pid):
    """Whether any thread of the process is there and not a zombie."""
    for task in _tasks(pid):
        try:
            if _state(task) != "Z":
                return True
        except (OSError, IndexError):
            pass
    return False


def first_thread_ended(pid):
    """Whether the process's first thread, which ran the program's own code,
    has ended while other threads of it have not."""
    try:
        return _state(f"/proc/{pid}") == "Z" and alive(pid)
    except (OSError, IndexError):
        return False


def described(pid):
    """A process's pid, command line and working folder, for a report."""
    try:
        command = _read(pid, "cmdline").replace(b"\0", b" ").decode(errors="replace").strip()
        return f"{pid} {command} (in {_read(pid, 'cwd')})"
    except OSError:
        return f"{pid} (gone)"


def seconds_left(what):
    """What is left of the deadline that the run hands down in RUN_DEADLINE
    (seconds since 1970; none when unset); raises naming `what` once it has
    passed. A clean-up takes none of it: each layer keeps time for its own."""
    if (left := float(os.environ.get("RUN_DEADLINE", "inf")) - time.time()) <= 0:
        raise TimeoutError(f"{what} ran out of time: the test's deadline passed")
    return left


def clean_up(*steps):
    """Runs each (name, function) of a clean-up to the end, whatever one of
    them raises; then raises one error that names each step that failed."""
    failed = []
    for name, step in steps:
        try:
            step()
        except Exception as e:  # noqa: BLE001 - every step is reported below
            failed.append(f"{name}: {type(e).__name__}: {e}")
    if failed:
        raise RuntimeError("clean-up failed at " + "; ".join(failed))


def end_processes(find, within_s=5):
    """Kills every process that `find()` lists until it lists none; raises if
    any is still there after `within_s` seconds."""
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


def prefix_of(wine_run):
    return os.path.realpath(subprocess.run([wine_run, "--prefix"], capture_output=True,
                                           text=True, check=True).stdout.strip())


def left_in_prefix(wine_run):
    """described() of each process of the prefix of `wine_run` (a
    cmake/wine-run) that is not Wine's own."""
    return [described(pid) for pid in processes(prefix=prefix_of(wine_run))
            if not program_of(pid).startswith("wineserver") and program_of(pid) not in WINE_SERVICES]


def end_prefix(wine_run):
    """Ends every process of the prefix of `wine_run`: first through its
    wineserver, then by force, which also reaches programs whose wineserver
    has gone, and which runs whatever the first step raised."""
    prefix = prefix_of(wine_run)
    steps = [("the forced end", lambda: end_processes(lambda: processes(prefix=prefix)))]
    if any(program_of(pid).startswith("wineserver") for pid in processes(prefix=prefix)):
        steps.insert(0, (f"{wine_run} --end", lambda: subprocess.run(
            [wine_run, "--end"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            timeout=END_S, check=False)))
    clean_up(*steps)


def processor_ticks(pid):
    """The clock ticks that a process has run for, in user and kernel mode."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def wakeups(pid):
    """How many times the threads of a process have left the processor, by
    blocking or by being preempted. Over a span that the process begins and
    ends blocked, each one is a time that it was put back to run."""
    count = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                count += sum(int(line.split(":")[1]) for line in f if "ctxt_switches:" in line)
        except OSError:
            pass
    return count
