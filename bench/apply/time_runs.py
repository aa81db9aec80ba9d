#!/usr/bin/env python3
"""Times one command of the apply benchmark.

  time_runs.py RUNS MIN_SECONDS OUTFILE STDOUT STDERR -- COMMAND...

Runs COMMAND at least RUNS times and until MIN_SECONDS have passed (at most 200 runs), removing
OUTFILE (unless it is "-") before each run, as the shell loop did. /usr/bin/time counts wall time
in hundredths of a second, which cannot tell apart programs that run for 10 and 15 ms; here wall
time comes from a monotonic clock around the child's start and end, and user and system time from
the child's own resource usage. Peak memory is not taken here: a child forked from this
interpreter starts with the interpreter's pages, which its peak would count. Prints one line: the
least wall time in seconds, the mean user and system seconds, the run count and the worst exit
code.
"""
import os
import subprocess
import sys
import time


def main():
    runs, min_seconds, out_file, stdout_path, stderr_path = sys.argv[1:6]
    if sys.argv[6] != "--":
        sys.exit("usage: time_runs.py RUNS MIN_SECONDS OUTFILE STDOUT STDERR -- COMMAND...")
    command = sys.argv[7:]
    runs, min_seconds = int(runs), float(min_seconds)
    walls, users, systems, codes = [], [], [], []
    started = time.monotonic()
    while len(walls) < 200 and (len(walls) < runs or time.monotonic() - started < min_seconds):
        if out_file != "-" and os.path.lexists(out_file):
            os.remove(out_file)
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            begin = time.perf_counter()
            child = subprocess.Popen(command, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
            _, status, usage = os.wait4(child.pid, 0)
            walls.append(time.perf_counter() - begin)
        child.returncode = os.waitstatus_to_exitcode(status)
        users.append(usage.ru_utime)
        systems.append(usage.ru_stime)
        codes.append(child.returncode)
    count = len(walls)
    print(f"{min(walls):.4f} {sum(users) / count:.4f} {sum(systems) / count:.4f} "
          f"{count} {max(codes, key=abs)}")


if __name__ == "__main__":
    main()
