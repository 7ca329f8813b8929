"""Runs the Windows tests on one Wine server that the suite starts, keeps and
ends, and tells a failure of Wine's from a failure of the test.

    suite.py start                   a fresh server for the prefix, with Wine's
                                     own services up, before the first test
    suite.py run NAME -- COMMAND...  one test; once more on a fresh server
                                     when Wine itself failed
    suite.py finish                  after the last test: fails when a test
                                     left a program running, and ends every
                                     process of the prefix

Wine failed when its server died or stopped answering while the test ran, or
when the test's output holds Wine's own words for a fatal error. Nothing else
counts: a test that failed otherwise, or failed again on the fresh server,
fails. The server's standard error, its core dumps, the output of each failed
attempt and a line for each failure of Wine's (wine-failures.log) are kept in
WINE_LOGS.

A run that is interrupted (SIGINT, SIGTERM or SIGHUP) ends its test and every
process of the prefix. Whatever ends the suite, the server ends by itself
soon after its last program (cmake/wine-run --serve)."""

import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from wineprocs import alive, described, end_processes, processes_of_prefix, program_of

WINE = os.environ["WINE_RUN"]
LOGS = os.environ["WINE_LOGS"]
PREFIX = subprocess.run([WINE, "--prefix"], capture_output=True, text=True,
                        check=True).stdout.strip()
PREFIX = os.path.realpath(PREFIX)

SERVER_STARTED = "-- server started"
# What Wine says when it fails for reasons of its own.
WINE_WORDS = ("wineserver crashed", "wine client error", "failed to map the shared user data",
              "could not load kernel32.dll")
# Wine's own programs, which its server starts and keeps for the prefix.
WINE_SERVICES = {"services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe",
                 "explorer.exe", "wineboot.exe"}
# How long one attempt of a test may take, within CTest's own time-out.
ATTEMPT_S = 100
# How long a program may take to start and end on a server that answers.
ANSWER_S = 20
# What ends the suite before its end: Ctrl+C, a closed terminal, a job ended.
INTERRUPTIONS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def log_path(name):
    return os.path.join(LOGS, name)


def say(line):
    print(line, flush=True)


def server_of_prefix():
    servers = [pid for pid in processes_of_prefix(PREFIX)
               if program_of(pid).startswith("wineserver")]
    return servers[0] if servers else None


def wine_failed(line):
    """Says that Wine failed, and keeps it in the logs."""
    say(f"WINE FAILED, not the test: {line}")
    with open(log_path("wine-failures.log"), "a") as failures:
        failures.write(line + "\n")


def server_log():
    """What the latest server has written to its standard error."""
    try:
        with open(log_path("wineserver.log"), errors="replace") as f:
            text = f.read()
    except OSError:
        return []
    return [line for line in text.rsplit(SERVER_STARTED, 1)[-1].splitlines()[1:] if line.strip()]


def keep_core_dumps():
    """Moves any core dump from the server's working folder into the logs."""
    try:
        with open(log_path("wineserver.dir")) as f:
            folder = f.read().strip()
        cores = [name for name in os.listdir(folder) if name.startswith("core")]
    except OSError:
        return
    for name in cores:
        kept = log_path(f"wineserver-{int(time.time())}-{name}")
        shutil.move(os.path.join(folder, name), kept)
        say(f"a core dump of the Wine server is kept in {kept}")


def end_prefix():
    """Ends every process of the prefix: first through its server, then by
    force, which also reaches programs whose server has gone."""
    if server_of_prefix():
        subprocess.run([WINE, "--end"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30, check=False)
    end_processes(lambda: processes_of_prefix(PREFIX), patience_s=10)
    keep_core_dumps()


def start_server():
    """A fresh server, and Wine's own services started and settled, so that
    no test starts while they do. Returns the server's pid."""
    end_prefix()
    with open(log_path("wineserver.log"), "a") as log:
        log.write(f"{SERVER_STARTED} {time.strftime('%Y-%m-%d %H:%M:%S')}\n")
    subprocess.run([WINE, "--serve", log_path("wineserver.log")], check=True, timeout=120)
    deadline = time.monotonic() + 30
    while not (server := server_of_prefix()):
        if time.monotonic() > deadline:
            raise RuntimeError("the Wine server did not start")
        time.sleep(0.05)
    with open(log_path("wineserver.dir"), "w") as f:
        f.write(os.readlink(f"/proc/{server}/cwd"))
    # Its output goes nowhere: the services that it starts would hold a pipe.
    subprocess.run([WINE, "cmd.exe", "/c", "exit 0"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120, check=True)
    settled, seen = time.monotonic(), set()
    while time.monotonic() - settled < 1 and time.monotonic() < deadline:
        now = set(processes_of_prefix(PREFIX))
        if now != seen:
            settled, seen = time.monotonic(), now
        time.sleep(0.1)
    with open(log_path("wineserver.pid"), "w") as f:
        f.write(str(server))
    return server


def server(before, replacing=None):
    """The suite's live server for the test `before`; a fresh one when it has
    gone, or when it is `replacing` and no other test has replaced it yet."""
    with open(log_path("wineserver.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(log_path("wineserver.pid")) as f:
                current = int(f.read())
        except (OSError, ValueError):
            current = None
        if current and alive(current) and current != replacing:
            return current
        if current and current != replacing:
            wine_failed(f"the Wine server (pid {current}) had died before {before};"
                        " a fresh one is started")
        return start_server()


def answers(server_pid):
    """Whether the server still starts and ends a program."""
    try:
        return subprocess.run([WINE, "cmd.exe", "/c", "exit 0"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=ANSWER_S).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def attempt(command, server_pid):
    """Runs the test once; returns its status, its output, and what Wine did
    wrong, if Wine itself failed while it ran."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + ATTEMPT_S
        try:
            while process.poll() is None and alive(server_pid) and time.monotonic() < deadline:
                time.sleep(0.1)
            if process.poll() is None and alive(server_pid):
                say(f"the test took more than {ATTEMPT_S} s and was ended")
        finally:
            # Also when the suite is interrupted: the test runs in a session
            # of its own, which no signal to the suite reaches.
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        output.seek(0)
        text = output.read().decode(errors="replace")
    wine = None
    if not alive(server_pid):
        wine = f"the Wine server (pid {server_pid}) died during the test"
        if last_words := server_log()[-3:]:
            wine += ", its last words: " + " | ".join(last_words)
    elif words := [w for w in WINE_WORDS if w in text]:
        wine = f"Wine said \"{words[0]}\""
    return process.returncode, text, wine


class Interrupted(Exception):
    """The suite was interrupted: Ctrl+C, or its job was ended."""


def interrupt(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


def run(name, command):
    for signum in INTERRUPTIONS:
        signal.signal(signum, interrupt)
    try:
        return run_attempts(name, command)
    except Interrupted as how:
        for signum in INTERRUPTIONS:
            signal.signal(signum, signal.SIG_IGN)
        # The programs that the test started work in sessions of their own
        # and would run on, and keep the server alive: with the suite going
        # down, everything of the prefix ends.
        end_prefix()
        say(f"{name} was interrupted ({how}); its test and every process of the Wine prefix"
            " are ended")
        return 1


def run_attempts(name, command):
    first = server(name)
    status, text, wine = attempt(command, first)
    sys.stdout.write(text)
    if status == 0:
        return 0
    keep_output(name, 1, text)
    if not wine and not answers(first):
        wine = f"the Wine server (pid {first}) no longer starts a program within {ANSWER_S} s"
    if not wine:
        return status
    wine_failed(f"{wine}. {name} runs once more on a fresh Wine server.")
    second = server(name, replacing=first)
    status, text, wine = attempt(command, second)
    sys.stdout.write(text)
    if status != 0:
        keep_output(name, 2, text)
        say(f"{name} failed again on a fresh Wine server"
            + (f"; Wine failed again: {wine}" if wine else ""))
    return status


def keep_output(name, number, text):
    path = log_path(f"{name}.attempt{number}.log")
    with open(path, "w") as f:
        f.write(text)
    say(f"the output of {name}'s failed attempt {number} is kept in {path}")


def start():
    os.makedirs(LOGS, exist_ok=True)
    for name in os.listdir(LOGS):
        if name.endswith(".log") and name != "wineserver.log":
            os.remove(log_path(name))
    server_pid = start_server()
    say(f"Wine server {server_pid} for {PREFIX}, its log in {log_path('wineserver.log')}")
    return 0


def finish():
    everything = processes_of_prefix(PREFIX)
    reports = [described(pid) for pid in everything
               if not program_of(pid).startswith("wineserver")
               and program_of(pid) not in WINE_SERVICES]
    end_prefix()
    for report in reports:
        say(f"left running by a test: {report}")
    try:
        with open(log_path("wine-failures.log")) as failures:
            say("Wine failed during the suite: " + " ".join(failures.read().splitlines()))
    except FileNotFoundError:
        pass
    say(f"{len(reports)} processes of the tests were left running;"
        f" all {len(everything)} processes of the Wine prefix are ended")
    return 1 if reports else 0


def main(args):
    if args[:1] == ["start"]:
        return start()
    if args[:1] == ["finish"]:
        return finish()
    if args[:1] == ["run"] and len(args) > 3 and args[2] == "--":
        return run(args[1], args[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
