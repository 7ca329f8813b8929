"""Runs each test of a Windows build within a bound, those under Wine on one
Wine server that the suite starts and ends; a test without Wine starts none.

    suite.py start NAME              a fresh server for the prefix, with Wine's
                                     own services settled, before the first
                                     test, within SUITE_START_BOUND_S seconds
    suite.py run NAME -- COMMAND...  one test, within SUITE_BOUND_S seconds
    suite.py finish NAME             after the last test: fails when a test
                                     left a program running, and ends every
                                     process of the prefix

Each that passes leaves E2E_SCRATCH/passed/NAME, holding the SHA-256 of the
WATCHDOG_EXE it tested, and each other none. A test that fails where Wine
itself wrote that it failed says so in a line beginning "WINE FAILED, not the
test:". A run that is interrupted (SIGINT, SIGTERM or SIGHUP) ends its test
and every process of the prefix. Whatever ends the suite, the server ends by
itself soon after its last program (cmake/wine-run --serve)."""

import hashlib
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

from wineprocs import WINE_FAILURE, end_prefix, prefix_of, processes_of_prefix, program_of

WINE = os.environ["WINE_RUN"]
PREFIX = prefix_of(WINE)
BOUND_S = int(os.environ["SUITE_BOUND_S"])
START_BOUND_S = int(os.environ["SUITE_START_BOUND_S"])
PASSED = pathlib.Path(os.environ["E2E_SCRATCH"], "passed")
EXE = pathlib.Path(os.environ["WATCHDOG_EXE"])

# What ends the suite before its end: Ctrl+C, a closed terminal, a job ended.
INTERRUPTIONS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def say(line):
    print(line, flush=True)


def server_of_prefix():
    servers = [pid for pid in processes_of_prefix(PREFIX)
               if program_of(pid).startswith("wineserver")]
    return servers[0] if servers else None


def start():
    """A fresh server, and Wine's own services started and settled, so that
    no test starts while they do; the prefix is made on first use."""
    deadline = time.monotonic() + START_BOUND_S

    def left():
        if (seconds := deadline - time.monotonic()) <= 0:
            raise RuntimeError(f"the Wine server and its services were not ready within"
                               f" {START_BOUND_S} s")
        return seconds

    end_prefix(WINE)
    subprocess.run([WINE, "--serve"], check=True, timeout=left())
    while not (server := server_of_prefix()):
        left()
        time.sleep(0.05)
    subprocess.run([WINE, "--boot"], timeout=left(), check=True)
    settled, seen = time.monotonic(), set()
    while time.monotonic() - settled < 1:
        left()
        if (now := set(processes_of_prefix(PREFIX))) != seen:
            settled, seen = time.monotonic(), now
        time.sleep(0.1)
    say(f"Wine server {server} for {PREFIX}")
    return 0


def attempt(command, interrupted):
    """Runs the test until it ends, its bound has passed, or the suite is
    interrupted; returns its status and output."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + BOUND_S
        while process.poll() is None and not interrupted and time.monotonic() < deadline:
            time.sleep(0.1)
        if process.poll() is None:
            # The test runs in a session of its own, which no signal to the
            # suite reaches.
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            if not interrupted:
                say(f"the test took more than {BOUND_S} s and was ended")
        output.seek(0)
        return process.returncode, output.read().decode(errors="replace")


def run(name, command):
    # A signal only notes that it came: the attempt's loop sees it and ends
    # the test, so that nothing is cut half way.
    interrupted = []
    for signum in INTERRUPTIONS:
        signal.signal(signum, lambda signum, _frame: interrupted.append(signum))
    status, text = attempt(command, interrupted)
    sys.stdout.write(text)
    if interrupted:
        # The programs that the test started work in sessions of their own
        # and would run on, and keep the server alive: with the suite going
        # down, everything of the prefix ends.
        end_prefix(WINE)
        say(f"{name} was interrupted ({signal.Signals(interrupted[0]).name}); its test and every"
            " process of the Wine prefix are ended")
        return 1
    if status != 0 and (said := WINE_FAILURE.search(text)):
        say(f"WINE FAILED, not the test: Wine wrote \"{said.group()}\" while {name} ran")
    return status


def finish():
    left = end_prefix(WINE)
    for report in left:
        say(f"left running by a test: {report}")
    say(f"{len(left)} processes of the tests were left running; every process of the Wine prefix"
        " is ended")
    return 1 if left else 0


def main(args):
    steps = {"start": start, "finish": finish}
    if len(args) == 2 and args[0] in steps:
        name, step = args[1], steps[args[0]]
    elif args[:1] == ["run"] and len(args) > 3 and args[2] == "--":
        name, step = args[1], lambda: run(args[1], args[3:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    # A run cut short, by its bound or by CTest's, keeps no record of an
    # earlier pass.
    record = PASSED / name
    record.unlink(missing_ok=True)
    status = step()
    if status == 0:
        PASSED.mkdir(parents=True, exist_ok=True)
        record.write_text(hashlib.sha256(EXE.read_bytes()).hexdigest() + "\n")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
