#!/usr/bin/python3
"""--find's scan on a crowded machine: one simulated instrument and 31 silent
serial lines (pseudo-terminals that never answer), the whole scan timed, the
median of three runs. The scan asks every device at once, so it should take
about one reply time-out (1 s) however many devices there are.

    bench/find_bench.py BUILD      (xrupdate and xrsim built in BUILD)"""

import os
import pty
import statistics
import subprocess
import sys
import tempfile
import time

SILENT = 31
RUNS = 3
TARGET_S = 1.5


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release")
    work = tempfile.mkdtemp(prefix="xr-find-bench.")
    sim = subprocess.Popen([os.path.join(build, "xrsim")], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    instrument = sim.stdout.readline().strip()
    silent = [pty.openpty() for _ in range(SILENT)]
    ports = [instrument] + [os.ttyname(slave) for _, slave in silent]
    args = [os.path.join(build, "xrupdate"), "--find", "--ini", os.path.join(work, "x.ini")]
    for path in ports:
        args += ["--port", path]
    times = []
    try:
        for _ in range(RUNS):
            start = time.monotonic()
            result = subprocess.run(args, cwd=work, capture_output=True, text=True, timeout=600)
            times.append(time.monotonic() - start)
            found = result.stdout.splitlines()
            if result.returncode != 0 or found != [f"serial {instrument}: System 1.00, User 1.00, PCM 1.00"]:
                print(f"find_bench: the scan went wrong (exit {result.returncode}): {result.stdout}{result.stderr}")
                return 1
    finally:
        sim.terminate()
        sim.wait()
        for master, slave in silent:
            os.close(master)
            os.close(slave)
    median = statistics.median(times)
    print(f"find_bench: 1 instrument + {SILENT} silent lines: median {median:.2f} s of {RUNS} runs "
          f"({', '.join(f'{t:.2f}' for t in times)}); target at most {TARGET_S} s: "
          f"{'met' if median <= TARGET_S else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
