"""Runs one test of a build until its deadline, and records each pass.

    runner.py STEP NAME [--input PATH]... [-- COMMAND...]

STEP "run" runs COMMAND as the test NAME. Wine's tests run on one wineserver
of the checkout's prefix: "start" makes it fresh, with Wine's own services
settled, before the first; "finish", after the last, fails when a test left a
program running, and ends every process of the prefix.

From the environment: TEST_RECORDS, the folder of the pass records;
TEST_TIMEOUT_S, CTest's TIMEOUT of the test; RUN_DEADLINE, if set (seconds
since 1970, set once by .ci/run or scripts/test); and for Wine's tests only,
WINE_RUN, the checkout's cmake/wine-run. The test's deadline is the earlier of
RUN_DEADLINE and TEST_TIMEOUT_S after its start, less CLEAN_UP_S for the
runner's own end; the test is ended there, and is handed as its RUN_DEADLINE
what is left of it less CLEAN_UP_S for the test's own clean-ups.

Each pass leaves TEST_RECORDS/NAME, which names every input of the test (each
PATH, this file and wineprocs.py) with its SHA-256 as sha256sum writes it,
paths from the checkout's root; a test that does not pass leaves none.
scripts/check-release accepts a record only when every input is HEAD's.

Under Wine, the test fails and the runner says "WINE FAILED, not the test:"
where the prefix's wineserver ended while the test ran (Wine's programs then
end with status 0 and say nothing), or where the test failed and Wine's own
processes wrote a failure line to the prefix's wine.log meanwhile; what the
test's programs write is theirs. A run that is interrupted (SIGINT, SIGTERM or
SIGHUP) ends its test, and under Wine every process of the prefix. Whatever
ends the run, the wineserver ends by itself soon after its last program
(cmake/wine-run --serve)."""

import hashlib
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent / "e2e"))
from wineprocs import (WINE_FAILURE, alive, end_prefix, left_in_prefix,  # noqa: E402
                       prefix_of, processes, program_of, seconds_left)

ROOT = pathlib.Path(__file__).resolve().parent.parent
WINE = os.environ.get("WINE_RUN")
PREFIX = WINE and prefix_of(WINE)
RECORDS = pathlib.Path(os.environ["TEST_RECORDS"])
# What each of the runner and the test keeps of the test's time for its own
# clean-up: ending a prefix (wineprocs.END_S and the forced end) and reporting.
CLEAN_UP_S = 20
DEADLINE = min(float(os.environ.get("RUN_DEADLINE", "inf")),
               time.time() + float(os.environ["TEST_TIMEOUT_S"])) - CLEAN_UP_S
os.environ["RUN_DEADLINE"] = str(DEADLINE)

# What ends the run before its end: Ctrl+C, a closed terminal, a job ended.
INTERRUPTIONS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def say(line):
    print(line, flush=True)


def wineserver():
    servers = [pid for pid in processes(prefix=PREFIX) if program_of(pid).startswith("wineserver")]
    return servers[0] if servers else None


def wine_log():
    try:
        with open(os.path.join(PREFIX, "wine.log"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def start(name):
    """A fresh wineserver, and Wine's own services started and settled, so
    that no test starts while they do; the prefix is made on first use."""
    what = f"{name}: the start of the wineserver and its services"
    end_prefix(WINE)
    subprocess.run([WINE, "--serve"], check=True, timeout=seconds_left(what))
    while not (server := wineserver()):
        seconds_left(what)
        time.sleep(0.05)
    subprocess.run([WINE, "--boot"], timeout=seconds_left(what), check=True)
    settled, seen = time.monotonic(), set()
    while time.monotonic() - settled < 1:
        seconds_left(what)
        if (now := set(processes(prefix=PREFIX))) != seen:
            settled, seen = time.monotonic(), now
        time.sleep(0.1)
    say(f"wineserver {server} for {PREFIX}")
    return 0


def attempt(command, interrupted):
    """Runs the test until it ends, its deadline has passed, or the run is
    interrupted; returns its status and output."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True,
                                   env=dict(os.environ, RUN_DEADLINE=str(DEADLINE - CLEAN_UP_S)))
        while process.poll() is None and not interrupted and time.time() < DEADLINE:
            time.sleep(0.1)
        if process.poll() is None:
            # The test runs in a session of its own, which no signal to the
            # runner reaches.
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            if not interrupted:
                say("the test ran out of time and was ended: its deadline passed")
        output.seek(0)
        return process.returncode, output.read().decode(errors="replace")


def run(name, command):
    # A signal only notes that it came: the attempt's loop sees it and ends
    # the test, so that nothing is cut half way.
    interrupted = []
    for signum in INTERRUPTIONS:
        signal.signal(signum, lambda signum, _frame: interrupted.append(signum))
    server, logged = (wineserver(), len(wine_log())) if WINE else (None, 0)
    status, text = attempt(command, interrupted)
    sys.stdout.write(text)
    if interrupted:
        # The programs that the test started work in sessions of their own
        # and would run on, and keep the wineserver alive: with the run going
        # down, everything of the prefix ends.
        if WINE:
            end_prefix(WINE)
        say(f"{name} was interrupted ({signal.Signals(interrupted[0]).name}); its test"
            + (" and every process of the Wine prefix are ended" if WINE else " is ended"))
        return 1
    if server and not alive(server):
        say(f"WINE FAILED, not the test: the prefix's wineserver {server} ended while {name} ran")
        return 1
    if WINE and status != 0 and (said := WINE_FAILURE.search(wine_log()[logged:].decode(
            errors="replace"))):
        say(f"WINE FAILED, not the test: Wine wrote \"{said.group()}\" while {name} ran")
    return status


def finish():
    left = left_in_prefix(WINE)
    for report in left:
        say(f"left running by a test: {report}")
    end_prefix(WINE)
    say(f"{len(left)} processes of the tests were left running; every process of the Wine prefix"
        " is ended")
    return 1 if left else 0


def record(inputs):
    """sha256sum's lines for each input, paths from the checkout's root."""
    lines = []
    for path in dict.fromkeys(pathlib.Path(p).resolve() for p in inputs):
        shown = path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
        lines.append(f"{hashlib.sha256(path.read_bytes()).hexdigest()}  {shown}\n")
    return "".join(lines)


def main(args):
    step, name, *rest = args if len(args) >= 2 else ["", ""]
    inputs = [__file__, sys.modules["wineprocs"].__file__]
    while len(rest) > 1 and rest[0] == "--input":
        inputs.append(rest[1])
        del rest[:2]
    command = rest[1:] if rest[:1] == ["--"] else []
    if not (step == "run" and command or step in ("start", "finish") and not rest):
        print(__doc__, file=sys.stderr)
        return 2
    steps = {"start": lambda: start(name), "run": lambda: run(name, command), "finish": finish}
    # A run cut short, by its deadline or by CTest's, keeps no record of an
    # earlier pass.
    passed = RECORDS / name
    passed.unlink(missing_ok=True)
    try:
        status = steps[step]()
    except (TimeoutError, subprocess.TimeoutExpired) as e:
        say(f"{name} ran out of time: {e}")
        return 1
    if status == 0:
        RECORDS.mkdir(parents=True, exist_ok=True)
        passed.write_text(record(inputs))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
