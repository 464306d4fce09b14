"""How fast the log reader reads a full set of log files (a benchmark, not a test).

Writes varnel.3.log ... varnel.log of 5 MiB each (20 MiB) in a temporary folder, with lines like
the stack's: sources of several lengths, one record in 50 with a three-line traceback, one in 200
with escaped control characters. Then reads them whole several times each way and prints the
best runs: `read_log`, `python -m foundation_logging` as text and as JSON (its work, without the
interpreter's start, output to /dev/null), and beside them the floor: a plain Python loop that
reads the files a chunk at a time, joins continuation lines and splits the columns, checking
nothing.
"""

import argparse
import contextlib
import json
import os
import random
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

from foundation_logging import read_log
from foundation_logging.__main__ import main as command_line
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


def plain_loop(folder: str) -> int:
    """The floor: the records counted as a plain loop finds them, columns split, nothing checked."""
    count = 0
    for name in LOG_FILE_NAMES:
        with open(Path(folder) / name, "rb") as file:
            held = b""
            while chunk := file.read(1 << 20):
                data = held + chunk
                end = data.rfind(b"\n") + 1
                held = data[end:]
                record: list[str] = []
                for line in data[:end].decode("utf-8", "backslashreplace").split("\n")[:-1]:
                    if line[:1] in (" ", "\t"):
                        record[4] += "\n" + line
                    else:
                        record = line.split(" | ", 4)
                        count += 1
    return count


def command(*args: str) -> Callable[[str], None]:
    """`python -m foundation_logging FOLDER ARGS`, run here with its output to /dev/null."""
    def run(folder: str) -> None:
        with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
            assert command_line([folder, *args]) == 0
    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", help="also write the figures to this JSON file (for bench/write_report.py)")
    args = parser.parse_args()
    figures: dict[str, dict[str, float]] = {}
    ways: dict[str, Callable[[str], object]] = {
        "plain loop (floor)": plain_loop,
        "read_log": lambda folder: sum(1 for _ in read_log(folder)),
        "python -m foundation_logging": command(),
        "python -m foundation_logging --json": command("--json"),
    }
    with tempfile.TemporaryDirectory() as folder:
        rng = random.Random(1)
        records = sum(write_file(Path(folder) / name, rng) for name in LOG_FILE_NAMES)
        size = sum((Path(folder) / name).stat().st_size for name in LOG_FILE_NAMES)
        assert plain_loop(folder) == records
        print(f"reading {records} records, {size / 2**20:.1f} MiB; best of {args.runs} runs "
              "(on a shared machine the process's CPU time says more than the wall clock):")
        for name, way in ways.items():
            wall = cpu = float("inf")
            for _ in range(args.runs):
                start_wall, start_cpu = time.perf_counter(), time.process_time()
                way(folder)
                wall = min(wall, time.perf_counter() - start_wall)
                cpu = min(cpu, time.process_time() - start_cpu)
            figures[name] = {"wall": wall, "cpu": cpu}
            print(f"  {name:<36} {wall:.3f} s wall ({records / wall:>9,.0f} records/s), "
                  f"{cpu:.3f} s CPU ({records / cpu:>9,.0f} records/s)")
    if args.output:
        with open(args.output, "w", encoding="utf-8") as output:
            json.dump({"records": records, "mib": size / 2**20, "runs": args.runs, "ways": figures}, output)


if __name__ == "__main__":
    main()
