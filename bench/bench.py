"""Measures the watchdog under Wine beside the bare launch loop and the batch
loop, prints a table and writes it into docs/benchmarks.md.

Under Wine every Windows process is a Linux process, so its processor time
and memory are read from /proc."""

import datetime
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.realpath(os.path.join(HERE, "..", "build", "windows"))
# The tests' environment as the build writes it, with a folder of our own.
with open(os.path.join(BUILD, "e2e.env")) as f:
    os.environ.update(line.rstrip("\n").split("=", 1) for line in f)
os.environ["E2E_SCRATCH"] = os.path.join(BUILD, "bench-runs")
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from harness import (BARE_LOOP, CLOSING, PAUSE_MS, WATCHDOG, WINE, Scratch,  # noqa: E402
                     end_processes_under, failure, imported_dlls, lines, pe_headers)
from wineprocs import processor_ticks  # noqa: E402

SOAK = os.path.join(BUILD, "watchdog_soak.exe")
CYCLES = 11
CPU_WINDOW_S = 5
SOAK_CYCLES = 1000
WRITE_CYCLES = 5


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def measure(scratch, command=None, name=None):
    """Processor time while the first, long run of the server lasts, the
    restart overheads, and peak resident memory of the supervising program
    (`name`, by default the scratch's program)."""
    process = scratch.start(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    scratch.wait(process, until_run=1)
    pid = scratch.program_pid(name)
    time.sleep(0.5)
    before = processor_ticks(pid)
    time.sleep(CPU_WINDOW_S)
    ticks = processor_ticks(pid) - before
    peak = 0
    while process.poll() is None:
        try:
            peak = max(peak, status_kib(pid, "VmHWM"))
        except (OSError, KeyError):
            pass
        time.sleep(0.05)
    overheads = [pause - PAUSE_MS for pause in scratch.runs().pauses_ms()]
    scratch.cleanup()
    return {"ticks": ticks, "overheads": overheads, "peak_kib": peak, "status": process.returncode}


def plan():
    return [f"{(CPU_WINDOW_S + 2) * 1000} 1"] + ["0 1"] * (CYCLES - 1) + ["0 4919"]


def writes_per_failure():
    """Writes of the watchdog per failed cycle, seen through a message-mode
    pipe that keeps every write apart."""
    scratch = Scratch(["0 1"] * WRITE_CYCLES + ["0 4919"])
    status, _, _ = scratch.run(through="capture")
    writes = scratch.writes()
    scratch.cleanup()
    return {"per_cycle": (len(writes) - 1) / WRITE_CYCLES, "status": status}


def soak(cycles=SOAK_CYCLES):
    """Cycles of the short-pause build: handles at every cycle, resident
    memory during the first run, the second (after the first report has been
    written, the first use of the runtime's formatted output) and the last
    failed one, which, like the first two, lasts 300 ms,
    and whether every cycle left its two lines."""
    scratch = Scratch(["300 1 handles"] * 2 + ["0 1 handles"] * (cycles - 4)
                      + ["300 1 handles", "0 4919 handles"], program=SOAK)
    with open(scratch.path("out.txt"), "wb") as out:
        process = scratch.start(stdout=out, stderr=out)
    rss = []
    try:
        for run in (1, 2, cycles - 1):
            scratch.wait(process, until_run=run)
            rss.append(status_kib(scratch.program_pid(), "VmRSS"))
        status = scratch.wait(process)
    except (AssertionError, RuntimeError) as error:
        end_processes_under(scratch.dir)
        raise RuntimeError(f"the soak failed: {error}; its output is in {scratch.dir}") from None
    with open(scratch.path("out.txt"), "rb") as out:
        output = out.read()
    expected = failure("1") * (cycles - 1) + CLOSING
    handles = [int(s["watchdog_handles"]) for s in scratch.runs().starts]
    if output == expected:
        scratch.cleanup()
    else:
        got, wanted = lines(output), lines(expected)
        first = next((i for i, pair in enumerate(zip(got, wanted)) if pair[0] != pair[1]),
                     min(len(got), len(wanted)))
        print(f"soak output: {len(got)} lines where {len(wanted)} were due, first difference at"
              f" line {first + 1}; kept in {scratch.path('out.txt')}", file=sys.stderr)
    return {"rss": rss, "handles": handles, "status": status, "cycles": len(handles),
            "output_exact": output == expected}


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown processor")
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, {wine}"


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    print("measuring the watchdog, the bare loop and the batch loop, then the soak;"
          " this takes about three minutes", file=sys.stderr)
    watchdog = measure(Scratch(plan()))
    bare = measure(Scratch(plan(), program=BARE_LOOP))
    batch_scratch = Scratch(plan(), program=os.path.join(HERE, "restart.bat"))
    batch = measure(batch_scratch, [WINE, "cmd.exe", "/c", "restart.bat"], "cmd.exe")
    written = writes_per_failure()
    soaked = soak()

    med = {k: statistics.median(v["overheads"]) for k, v in
           (("watchdog", watchdog), ("bare", bare), ("batch", batch))}
    size = os.path.getsize(WATCHDOG)
    dlls = imported_dlls(pe_headers(WATCHDOG))
    rss_drift = (soaked["rss"][2] - soaked["rss"][1]) / soaked["rss"][1] * 100

    rows = [
        ("1. CPU time while the server runs 5 s (clock ticks)",
         f"{watchdog['ticks']}", f"{bare['ticks']}", f"{batch['ticks']}",
         "0", verdict(watchdog["ticks"] == 0)),
        (f"2. restart overhead beyond 3000 ms, median of {CYCLES} (ms)",
         f"{med['watchdog']:.1f}", f"{med['bare']:.1f}", f"{med['batch']:.1f}",
         "<= 1.25 x bare", verdict(med["watchdog"] <= 1.25 * med["bare"])),
        ("3. peak resident memory (KiB)",
         f"{watchdog['peak_kib']}", f"{bare['peak_kib']}", f"{batch['peak_kib']} (cmd.exe)",
         "<= 1.10 x bare, <= 0.60 x batch",
         verdict(watchdog["peak_kib"] <= 1.10 * bare["peak_kib"]
                 and watchdog["peak_kib"] <= 0.60 * batch["peak_kib"])),
        ("4. watchdog.exe size (bytes) and imports", f"{size}, {' '.join(dlls)}", "", "",
         "<= 49152, KERNEL32.dll msvcrt.dll",
         verdict(size <= 48 * 1024 and sorted(dlls) == ["KERNEL32.dll", "msvcrt.dll"])),
        (f"5. writes to standard output per failed cycle, mean of {WRITE_CYCLES}",
         f"{written['per_cycle']:g}", "", "", "2, one per line",
         verdict(written["per_cycle"] == 2)),
        (f"6. soak, {SOAK_CYCLES} cycles: handles first -> last",
         f"{soaked['handles'][0]} -> {soaked['handles'][SOAK_CYCLES - 1]}"
         f" (min {min(soaked['handles'])}, max {max(soaked['handles'])})", "", "",
         "equal", verdict(len(set(soaked["handles"])) == 1)),
        (f"6. soak, {SOAK_CYCLES} cycles: resident memory, run 1 / run 2 -> last failed run (KiB)",
         f"{soaked['rss'][0]} / {soaked['rss'][1]} -> {soaked['rss'][2]} ({rss_drift:+.2f} %"
         " from run 2)", "", "", "within 1 %", verdict(abs(rss_drift) <= 1)),
        (f"6. soak, {SOAK_CYCLES} cycles: output and status",
         f"{'exact' if soaked['output_exact'] else 'NOT EXACT'}, status {soaked['status']}", "", "",
         "every line, status 0", verdict(soaked["output_exact"] and soaked["status"] == 0)),
    ]
    header = ("figure", "watchdog", "bare loop", "batch loop", "goal", "")
    table = "\n".join("| " + " | ".join(row) + " |"
                      for row in [header, ("---",) * len(header), *rows])
    details = (f"Restart overheads (ms), per cycle: watchdog "
               f"{' '.join(f'{o:.1f}' for o in watchdog['overheads'])}; bare loop "
               f"{' '.join(f'{o:.1f}' for o in bare['overheads'])}; batch loop "
               f"{' '.join(f'{o:.1f}' for o in batch['overheads'])}.\n"
               f"Exit statuses: watchdog {watchdog['status']}, bare loop {bare['status']},"
               f" batch loop {batch['status']}, writes {written['status']},"
               f" soak {soaked['status']}.")
    print(table)
    print(details)

    report = f"""# Benchmarks

Made by `bash scripts/bench` on {datetime.date.today().isoformat()}, on {machine()}.

Each program supervises the sample server under Wine: a first run of
{CPU_WINDOW_S + 2} s (processor time is read over {CPU_WINDOW_S} s of it from the
program's /proc/PID/stat), then {CYCLES - 1} runs that fail at once, then the stop
code. The restart overhead is the time from one server run's end to the next
one's start, as the server records them, less 3000 ms. The bare loop
(`bench/BareLoop.cpp`) only launches, waits, closes and sleeps 3000 ms; the
batch loop (`bench/restart.bat`) runs the server from `cmd.exe` and pauses with
`ping -n 4 127.0.0.1`, about 3 s. Peak resident memory is VmHWM of the
supervising process (for the batch loop, its interpreter). The soak runs
`watchdog_soak.exe`, the watchdog built with a pause of 10 ms, for
{SOAK_CYCLES} cycles; the handle count is the number of handle values that
are valid in the watchdog, counted by the server at each start. Resident memory
(VmRSS) is read during the first run, the second and the last failed one. The first
reading precedes the watchdog's first formatted output, whose first use of
the C runtime may touch pages once, so the drift is taken from the second.
The writes are counted with the watchdog's standard output a message-mode
pipe of the sample server's "capture" mode, in which every write arrives as
one message.

{table}

{details}
"""
    with open(os.path.join(HERE, "..", "docs", "benchmarks.md"), "w") as f:
        f.write(report)


def soak_only(cycles):
    """`bench.py soak N`: only the soak, with N cycles, as a check that the
    watchdog and Wine go through that many process starts."""
    started = time.monotonic()
    soaked = soak(cycles)
    print(f"soak of {soaked['cycles']} cycles in {time.monotonic() - started:.0f} s:"
          f" status {soaked['status']}, every line"
          f" {'present and exact' if soaked['output_exact'] else 'NOT as expected'},"
          f" handles {min(soaked['handles'])}..{max(soaked['handles'])},"
          f" resident memory {soaked['rss'][1]} -> {soaked['rss'][2]} KiB")
    return 0 if soaked["status"] == 0 and soaked["output_exact"] else 1


if __name__ == "__main__":
    # Wine makes a new prefix at the first program it starts, which takes
    # longer than any plan allows a start: it is made before anything is timed.
    subprocess.run([WINE, "--boot"], check=True)
    if sys.argv[1:2] == ["soak"]:
        sys.exit(soak_only(int(sys.argv[2])))
    main()
