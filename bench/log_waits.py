"""What log calls wait for while several processes rotate one folder, and how full the files get.

Two measurements (foundation alone; there is no peer to set beside them):
  waits    4 and 8 processes write through about ten rotations under strace, which records every
           sleep, every lock of the folder (blocking or tried), and every wait for a console
           (poll): their counts (strace's own stops make the time of a traced call meaningless)
  bound    8 writers and a busy loop, all pinned to one core (a robot computer under load: a writer
           is often descheduled, also in the middle of a rotation); a watcher notes the size of
           every file while it lies under a rotated name: the largest, against the documented
           bound of 5 MiB plus 8 KiB per writer

Usage: log_waits.py [--output results.json]
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

LIMIT = 5 * 1024 * 1024
LINE_BYTES = 300  # about: the message below in foundation's layout
WRITER = """
import foundation as f
f.initialize_logging()
for i in range({lines}):
    f._log_filtered(f.Level.info, "/p/varnel/bench/w.py", "%07d " % i + "x" * 200)
"""
# The system calls in which a process can wait: sleeps, the folder's lock, a console (poll).
TRACED = "flock,nanosleep,clock_nanosleep,poll,ppoll,select,pselect6"
CALL = re.compile(r"^(\w+)\((.*?)\)\s+=\s+(-?\d+)(?: (\w+))?")


def writers(count, lines, cwd, prefix=()):
    return [subprocess.Popen([*prefix, sys.executable, "-c", WRITER.format(lines=lines)], cwd=cwd,
                             stdout=subprocess.DEVNULL) for _ in range(count)]


def tally(name, arguments, _result, error, counts):
    """Counts one traced call: a sleep, a lock of the folder, or a wait for a console."""
    if "sleep" in name:
        counts["sleeps"] += 1
    elif name == "flock":
        if "LOCK_UN" in arguments:
            return
        counts["locks tried"] += 1
        counts["blocking locks"] += "LOCK_NB" not in arguments
        counts["locks found held"] += error in ("EWOULDBLOCK", "EAGAIN")
    else:
        counts["console waits"] += 1


def waits(processes):
    """Counts of what the log calls of `processes` writers could have waited in, from strace."""
    lines = 10 * LIMIT // LINE_BYTES // processes  # about ten rotations in all
    with tempfile.TemporaryDirectory(prefix="varnel_waits_") as folder:
        trace = os.path.join(folder, "trace")
        spawn = (f"import subprocess, sys; [p.wait() for p in [subprocess.Popen([sys.executable, '-c', "
                 f"{WRITER.format(lines=lines)!r}]) for _ in range({processes})]]")
        # One file per process (-ff), so that no call is split by another's.
        subprocess.run(["strace", "-ff", "-qq", "--seccomp-bpf", "-o", trace, "-e", f"trace={TRACED}",
                        sys.executable, "-c", spawn], cwd=folder, stdout=subprocess.DEVNULL, check=True)
        counts = {"sleeps": 0, "blocking locks": 0, "locks tried": 0, "locks found held": 0, "console waits": 0}
        for name in os.listdir(folder):
            if not name.startswith("trace."):
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as calls:
                for call in filter(None, map(CALL.match, calls)):
                    tally(*call.groups(), counts)
    return {"processes": processes, "lines_per_process": lines, **counts}


def busy_loop():
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def bound(processes=8):
    """The largest size a file reached under a rotated name, with `processes` writers and a busy
    loop on one core."""
    lines = 12 * LIMIT // LINE_BYTES // processes
    core = min(os.sched_getaffinity(0))
    sizes = {}  # inode -> the largest size seen while the file had a rotated name
    with tempfile.TemporaryDirectory(prefix="varnel_bound_") as folder:
        logs = os.path.join(folder, ".tamblin", "logs")
        spinner = busy_loop()
        os.sched_setaffinity(spinner.pid, {core})
        running = writers(processes, lines, folder)
        for writer in running:
            os.sched_setaffinity(writer.pid, {core})
        done = threading.Event()

        def watch():
            while not done.is_set():
                for index in (1, 2, 3):
                    try:
                        status = os.stat(os.path.join(logs, f"varnel.{index}.log"))
                    except FileNotFoundError:
                        continue
                    sizes[status.st_ino] = max(sizes.get(status.st_ino, 0), status.st_size)
                time.sleep(0.001)

        watcher = threading.Thread(target=watch)
        watcher.start()
        for writer in running:
            writer.wait()
        done.set()
        watcher.join()
        spinner.kill()
        spinner.wait()
    allowed = LIMIT + 8192 * processes
    largest = max(sizes.values(), default=0)
    return {"processes": processes, "rotated_files": len(sizes), "largest_bytes": largest,
            "bound_bytes": allowed, "over_bound": sum(size > allowed for size in sizes.values())}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", help="write the results as JSON here")
    args = parser.parse_args()
    results = {"waits": [waits(count) for count in (4, 8)], "bound": bound()}
    text = json.dumps(results, indent=2)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text + "\n")
    print(text)


if __name__ == "__main__":
    main()
