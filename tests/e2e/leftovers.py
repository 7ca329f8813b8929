"""Runs after the last Windows test, pass or fail: fails when a program that
a test started is still running under the build tree, and ends every process
of the Wine prefix, so that nothing of the run outlives it."""

import subprocess
import sys

from harness import WINE, described, end_processes_under, processes_under


def main():
    build = sys.argv[1]
    left = [described(pid) for pid in processes_under(build)]
    subprocess.run([WINE, "--end"], check=False, timeout=60)
    end_processes_under(build)
    for line in left:
        print("left running by a test:", line)
    print(f"{len(left)} processes of the tests were left running; the Wine prefix is ended")
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main())
