"""How fast `foundation_logging.read_log` reads a full set of log files (a benchmark, not a test).

Writes varnel.3.log ... varnel.log of 5 MiB each (20 MiB) in a temporary folder, with lines like
the stack's: sources of several lengths, one record in 50 with a three-line traceback, one in 200
with escaped control characters; then reads them whole several times and prints the best runs.
"""

import argparse
import random
import tempfile
import time
from pathlib import Path

from foundation_logging import read_log
from foundation_logging._reader import LOG_FILE_NAMES

FILE_SIZE = 5 * 1024 * 1024
LEVELS = ["debug", "info", "info", "info", "warning", "error"]
SOURCES = ["", "s.m.wheel.py", "d.odometry.py", "m.calibration.cpp", "s.f.controllers.motion.planner.py"]
MESSAGES = ["wheel speed 1.204 rad/s, command 0.98", "pose x=1.25 y=-0.40 heading=0.31",
            "battery 11.8 V | current 2.1 A", "calibration loaded from /etc/varnel/motors.yml"]


def write_file(path: Path, rng: random.Random) -> int:
    lines, size, count = [], 0, 0
    while size < FILE_SIZE:
        record = (f"2026-12-08 16:{count // 60000 % 60:02d}:{count // 1000 % 60:02d} | {count / 1000:>9.3f}s | "
                  f"{rng.choice(LEVELS):<8} | {rng.choice(SOURCES):<30} | {rng.choice(MESSAGES)}")
        if count % 50 == 0:
            record += ("\n  Traceback (most recent call last):\n    File \"wheel.py\", line 12, in step"
                       "\n  ZeroDivisionError: division by zero")
        elif count % 200 == 1:
            record += " \\x1b[31mred\\x1b[0m \\x0d"
        lines.append(record + "\n")
        size += len(record) + 1
        count += 1
    path.write_text("".join(lines), encoding="utf-8")
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        rng = random.Random(1)
        records = sum(write_file(Path(folder) / name, rng) for name in LOG_FILE_NAMES)
        size = sum((Path(folder) / name).stat().st_size for name in LOG_FILE_NAMES)
        wall = cpu = float("inf")
        for _ in range(args.runs):
            start_wall, start_cpu = time.perf_counter(), time.process_time()
            read = sum(1 for _ in read_log(folder))
            wall = min(wall, time.perf_counter() - start_wall)
            cpu = min(cpu, time.process_time() - start_cpu)
            assert read == records, (read, records)
    # On a shared machine the process's CPU time says more than the wall clock; both are given.
    print(f"read_log: {records} records, {size / 2**20:.1f} MiB, best of {args.runs} runs: "
          f"{wall:.3f} s wall ({records / wall:,.0f} records/s), {cpu:.3f} s CPU ({records / cpu:,.0f} records/s)")


if __name__ == "__main__":
    main()
