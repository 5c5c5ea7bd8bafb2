#!/usr/bin/python3
"""Several instruments at once: N simulated instruments (xrsim on ptys, each
paced as a serial line of --line-speed), updated with one SYSTEM file by one
--batch of several, against one instrument alone in the same run, and against
the same N updated one after another with the --batch of one. The side-by-side
run should take about as long as one alone (the work is bound by each line):

    8 at 38400 baud: at most 1.05 x one alone      (--count 8 --line-speed 38400)
    32 at full speed: at most 1.5 x one alone      (--count 32 --line-speed 0)

The runner's CPU time and peak memory (its own and its runs', from wait4) are
reported too.

    bench/fleet_bench.py BUILD [--count N] [--line-speed BAUD] [--no-one-by-one]"""

import argparse
import os
import subprocess
import sys
import tempfile
import time


def update_file(path):
    data = bytearray(os.urandom(262144))
    data[0:8] = b"PELD" + bytes([2, 0, 0x58, 0])
    with open(path, "wb") as f:
        f.write(data)


class Sims:
    def __init__(self, build, work, count, line_speed):
        pace = ["--line-speed", str(line_speed)] if line_speed > 0 else []
        self.procs = [subprocess.Popen([os.path.join(build, "xrsim"), *pace], stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True, cwd=work) for _ in range(count)]
        self.ports = [p.stdout.readline().strip() for p in self.procs]

    def stop(self):
        for p in self.procs:
            p.terminate()
            p.wait()


def timed(args, work):
    """(seconds, exit status, user+system CPU seconds, peak RSS in MiB) of one command."""
    start = time.monotonic()
    proc = subprocess.Popen(args, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    # wait4's usage of the runner holds that of the runs it waited for.
    return seconds, os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build/release")
    parser.add_argument("--count", type=int, default=8)
    parser.add_argument("--line-speed", type=int, default=38400)
    parser.add_argument("--no-one-by-one", action="store_true")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    work = tempfile.mkdtemp(prefix="xr-fleet-bench.")
    update = os.path.join(work, "a.sys")
    update_file(update)
    xrupdate = [os.path.join(build, "xrupdate"), "--ini", os.path.join(work, "x.ini"), "-q"]
    sims = Sims(build, work, options.count, options.line_speed)
    try:
        alone, status, _, _ = timed([*xrupdate, "--batch", update, "--port", sims.ports[0]], work)
        if status != 0:
            print(f"fleet_bench: one instrument alone failed ({status})")
            return 1
        ports = [a for p in sims.ports for a in ("--port", p)]
        together, status, cpu, rss = timed([*xrupdate, "--batch", update, *ports, "--skip-version-check"], work)
        if status != 0:
            print(f"fleet_bench: the side-by-side update failed ({status})")
            return 1
        one_by_one = None
        if not options.no_one_by_one:
            one_by_one = 0.0
            for port in sims.ports:
                seconds, status, _, _ = timed([*xrupdate, "--batch", update, "--port", port, "--skip-version-check"],
                                              work)
                one_by_one += seconds
    finally:
        sims.stop()
    bound = 1.05 if options.line_speed > 0 else 1.5
    ratio = together / alone
    speed = f"{options.line_speed} baud" if options.line_speed > 0 else "full speed"
    print(f"fleet_bench: {options.count} instruments at {speed}: side by side {together:.1f} s, one alone "
          f"{alone:.1f} s ({ratio:.2f} x; target at most {bound} x: {'met' if ratio <= bound else 'NOT met'}); "
          f"runner and runs {cpu:.1f} s CPU, peak RSS {rss:.1f} MiB"
          + (f"; one after another {one_by_one:.1f} s" if one_by_one is not None else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
