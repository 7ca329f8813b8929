"""Measures the watchdog under Wine beside the bare launch loop (the floor)
and the batch loop (what an operator would write instead), prints a table
and writes it into docs/benchmarks.md. Under Wine every Windows process is a Linux process, so its
processor time and memory are read from /proc."""

import datetime
import os
import platform
import shutil
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

from harness import (BARE_LOOP, CLOSING, PAUSE_MS, RUNNER, WATCHDOG, WINE, Scratch,  # noqa: E402
                     failure, imported_dlls, pe_headers, processor_ticks)

CYCLES = 11
CPU_WINDOW_S = 5
SOAK_CYCLES = 1000


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith(key + ":")).split()[1])


def runner_scratch(plan):
    scratch = Scratch(plan, program=RUNNER)
    shutil.copy(WATCHDOG, scratch.path("watchdog.exe"))
    return scratch


def idle_ticks(pid):
    time.sleep(0.5)
    before = processor_ticks(pid)
    time.sleep(CPU_WINDOW_S)
    return processor_ticks(pid) - before


def measure(program, command=None, name=None):
    """Processor time while the first, long run of the server lasts, the
    restart overheads, and the peak resident memory of the supervising
    program (`name`, by default `program`)."""
    plan = [f"{(CPU_WINDOW_S + 2) * 1000} 1"] + ["0 1"] * (CYCLES - 1) + ["0 4919"]
    scratch = runner_scratch(plan) if program == RUNNER else Scratch(plan, program=program)
    process = scratch.start(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    scratch.wait(process, until_run=1)
    pid = scratch.program_pid(name)
    ticks, peak = idle_ticks(pid), 0
    while process.poll() is None:
        try:
            peak = max(peak, status_kib(pid, "VmHWM"))
        except (OSError, StopIteration):
            pass
        time.sleep(0.05)
    overheads = [pause - PAUSE_MS for pause in scratch.runs().pauses_ms()]
    scratch.cleanup()
    return {"ticks": ticks, "overhead": statistics.median(overheads), "peak": peak,
            "status": process.returncode}


def runner_waiting():
    """The runner's processor time in its minute after a watchdog that could
    not launch the server."""
    scratch = runner_scratch(["0 4919"])
    scratch.write("cmd.exe", "not a program")
    process = scratch.start(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while b"starts again" not in scratch.read("watchdog.log"):
        time.sleep(0.05)
    ticks = idle_ticks(scratch.program_pid())
    scratch.cleanup()
    process.wait()
    return ticks


def flood_ms(through_runner):
    """How long the server's runs that write 2.5 MiB in all take, their
    output through the runner or redirected by the watchdog into a file."""
    plan = ["0 1 flood"] * 2 + ["0 4919 flood"]
    scratch = runner_scratch(plan) if through_runner else Scratch(plan)
    with open(scratch.path("out.txt"), "wb") as out:
        scratch.wait(scratch.start(stdout=out, stderr=out))
    runs = scratch.runs()
    scratch.cleanup()
    return sum(e["t"] - s["t"] for s, e in zip(runs.starts, runs.ends)) / 1000


def soak(cycles=SOAK_CYCLES):
    """Cycles of the watchdog built with a pause of 10 ms: the handles it
    holds at every cycle, its resident memory during the second run (after
    its first formatted output, whose first use of the C runtime may touch
    pages once) and the last failed one, and whether every line came."""
    scratch = Scratch(["300 1 handles"] * 2 + ["0 1 handles"] * (cycles - 4)
                      + ["300 1 handles", "0 4919 handles"],
                      program=os.path.join(BUILD, "watchdog_soak.exe"))
    with open(scratch.path("out.txt"), "wb") as out:
        process = scratch.start(stdout=out, stderr=out)
    rss = []
    for run in (2, cycles - 1):
        scratch.wait(process, until_run=run)
        rss.append(status_kib(scratch.program_pid(), "VmRSS"))
    status = scratch.wait(process)
    with open(scratch.path("out.txt"), "rb") as out:
        exact = out.read() == failure("1") * (cycles - 1) + CLOSING
    handles = {int(s["watchdog_handles"]) for s in scratch.runs().starts}
    scratch.cleanup()
    return {"rss": rss, "handles": handles, "ok": exact and status == 0}


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    print("measuring the watchdog, the bare loop, the batch loop, the runner and a soak: minutes",
          file=sys.stderr)
    ours, bare, runner = measure(WATCHDOG), measure(BARE_LOOP), measure(RUNNER)
    waiting = runner_waiting()
    plain, logged = flood_ms(False), flood_ms(True)
    batch = measure(os.path.join(HERE, "restart.bat"), [WINE, "cmd.exe", "/c", "restart.bat"],
                    "cmd.exe")
    soaked = soak()
    size, dlls = os.path.getsize(WATCHDOG), sorted(imported_dlls(pe_headers(WATCHDOG)))
    drift = (soaked["rss"][1] - soaked["rss"][0]) / soaked["rss"][0] * 100
    rows = [
        ("CPU time while the server runs 5 s (clock ticks)", ours["ticks"], bare["ticks"],
         batch["ticks"], "0", ours["ticks"] == 0),
        (f"restart overhead beyond 3000 ms, median of {CYCLES} (ms)", f"{ours['overhead']:.1f}",
         f"{bare['overhead']:.1f}", f"{batch['overhead']:.1f}", "<= 1.25 x bare",
         ours["overhead"] <= 1.25 * bare["overhead"]),
        ("peak resident memory (KiB)", ours["peak"], bare["peak"], f"{batch['peak']} (cmd.exe)",
         "<= 1.10 x bare, <= 0.60 x batch",
         ours["peak"] <= 1.10 * bare["peak"] and ours["peak"] <= 0.60 * batch["peak"]),
        ("watchdog.exe size (bytes) and imports", f"{size}, {' '.join(dlls)}", "", "",
         "<= 49152, KERNEL32.dll msvcrt.dll",
         size <= 49152 and dlls == ["KERNEL32.dll", "msvcrt.dll"]),
        ("run-watchdog.exe: CPU time while the server runs 5 s, and 5 s of its minute (clock"
         " ticks)", f"{runner['ticks']}, {waiting}", "", "", "0, 0",
         runner["ticks"] == 0 and waiting == 0),
        ("run-watchdog.exe: peak resident memory (KiB)", runner["peak"], "", "",
         f"<= 1.10 x watchdog ({ours['peak']})", runner["peak"] <= 1.10 * ours["peak"]),
        ("run-watchdog.exe: 2.5 MiB of server output, logged, against redirected to a file (ms)",
         f"{logged:.0f} / {plain:.0f} = {logged / plain:.2f}", "", "", "<= 1.5",
         logged <= 1.5 * plain),
        (f"run-watchdog.exe: restart overhead beyond 3000 ms, median of {CYCLES} (ms)",
         f"{runner['overhead']:.1f}", "", "", f"about the watchdog's ({ours['overhead']:.1f})",
         runner["overhead"] <= ours["overhead"] + 20),
        (f"soak of {SOAK_CYCLES} cycles: handles held at each",
         " ".join(map(str, sorted(soaked["handles"]))), "", "", "one count",
         len(soaked["handles"]) == 1),
        (f"soak of {SOAK_CYCLES} cycles: resident memory, run 2 -> last failed run (KiB)",
         f"{soaked['rss'][0]} -> {soaked['rss'][1]} ({drift:+.2f} %)", "", "", "within 1 %",
         abs(drift) <= 1),
        (f"soak of {SOAK_CYCLES} cycles: every line, status 0",
         "yes" if soaked["ok"] else "NO", "", "", "yes", soaked["ok"]),
    ]
    header = ("figure", "watchdog", "bare loop", "batch loop", "goal", "")
    table = "\n".join("| " + " | ".join(map(str, row)) + " |" for row in
                      [header, ("---",) * 6, *((*row[:5], verdict(row[5])) for row in rows)])
    print(table)
    statuses = f"Exit statuses: watchdog {ours['status']}, bare loop {bare['status']}," \
               f" batch loop {batch['status']}."
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    with open(os.path.join(HERE, "..", "docs", "benchmarks.md"), "w") as f:
        f.write(f"""# Benchmarks

Made by `bash scripts/bench` on {datetime.date.today()}, on {os.cpu_count()} cores,
Linux {platform.release()}, {wine}.

Each program supervises the sample server under Wine: a first run of
{CPU_WINDOW_S + 2} s (processor time read over {CPU_WINDOW_S} s of it from /proc/PID/stat), {CYCLES - 1}
runs that fail at once, and the stop code. The restart overhead is the time
from a server run's end to the next one's start, less 3000 ms. The bare loop
(`bench/BareLoop.cpp`) only launches, waits, closes and sleeps; the batch loop
(`bench/restart.bat`) pauses with `ping -n 4 127.0.0.1`. Peak memory is VmHWM
of the supervising process. The soak runs the watchdog built with a pause of
10 ms; the server counts the handles valid in it at each start. The runner
supervises the watchdog of the same plan; its minute follows a watchdog whose
launch failed; its output figure sums the time of the server's three runs
that each write 16384 lines, as the server records them, against the same
runs under the watchdog alone with its output redirected to a file.

{table}

{statuses}
""")


if __name__ == "__main__":
    # Wine makes a new prefix at the first program it starts, which takes
    # longer than any plan allows a start: it is made before anything is timed.
    subprocess.run([WINE, "--boot"], check=True)
    main()
