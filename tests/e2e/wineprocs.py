"""Finding and ending the Linux processes that run Windows programs under
Wine. Wine re-parents the programs it starts away from whoever started them,
so they are found by what they carry instead: their working folder, or the
Wine prefix in their environment."""

import os
import re
import signal
import subprocess
import time

# The lines that Wine begins, as it writes them, when a Wine process or its
# server dies of a failure of Wine's own.
WINE_FAILURE = re.compile(r"^(wine client error:[0-9a-f]+: |wineserver crashed, "
                          r"|wine: failed to map the shared user data: "
                          r"|wine: could not load kernel32\.dll, ).*", re.MULTILINE)
# Wine's own programs, which its server starts and keeps for the prefix.
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


def processes_under(folder):
    """Every Wine process whose working folder lies under `folder`. A Windows
    program under Wine works in its current directory, so this finds the
    watchdog, interpreters and servers of a test."""
    found = []
    for pid in _pids():
        try:
            cwd = _read(pid, "cwd")
        except OSError:
            continue
        if (cwd == folder or cwd.startswith(folder.rstrip("/") + "/")) and _is_wine(pid):
            found.append(pid)
    return found


def processes_of_prefix(prefix):
    """Every Wine process of the prefix, its server and Wine's own services
    included, whether or not that server still lives: each one carries the
    prefix in the environment it was started with."""
    wanted = os.path.realpath(prefix).encode()
    found = []
    for pid in _pids():
        try:
            environ = _read(pid, "environ")
        except OSError:
            continue
        prefixes = [v[len(b"WINEPREFIX="):] for v in environ.split(b"\0")
                    if v.startswith(b"WINEPREFIX=")]
        if prefixes and os.path.realpath(prefixes[-1]) == wanted and _is_wine(pid):
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


def end_processes(find, patience_s=5):
    """Kills every process that `find()` lists until it lists none; raises if
    any is still there after `patience_s`."""
    deadline = time.monotonic() + patience_s
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
    end_processes(lambda: processes_under(folder))


def prefix_of(wine_run):
    return os.path.realpath(subprocess.run([wine_run, "--prefix"], capture_output=True,
                                           text=True, check=True).stdout.strip())


def end_prefix(wine_run):
    """Ends every process of the prefix of `wine_run` (a cmake/wine-run):
    first through its server, then by force, which also reaches programs
    whose server has gone. Returns described() of each that was not Wine's."""
    prefix = prefix_of(wine_run)
    programs = {pid: program_of(pid) for pid in processes_of_prefix(prefix)}
    left = [described(pid) for pid, program in programs.items()
            if not program.startswith("wineserver") and program not in WINE_SERVICES]
    if any(program.startswith("wineserver") for program in programs.values()):
        subprocess.run([wine_run, "--end"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30, check=False)
    end_processes(lambda: processes_of_prefix(prefix), patience_s=10)
    return left


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
