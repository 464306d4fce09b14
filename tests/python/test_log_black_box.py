"""The log as the robot's black box: every line whose call returned survives any death of the
process (the record of the death itself: test_fatal_signals.py), and no other process (holding the
folder's lock, stopped, killed) and no stalled console holds up a log call or a fork(). Every case
runs in children with timeouts."""

import fcntl
import os
import signal
import subprocess
import sys
import time
from collections import defaultdict

import pytest

import foundation_logging

from conftest import UNDER_ASAN, ChildResult
from test_logging_lifecycle import LINE, fields

# Three threads log through both roads, each noting after every call that returned how far it got;
# then the process ends as `ending` says.
LOGGING_THREADS = """
import ctypes, os, signal, sys, threading, foundation as f
f.initialize_logging()
notes = os.open("returned", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
def log(name, count):
    for i in range(count):
        if i % 2:
            f.info(f"{name} {i}")
        else:
            f._log_filtered(f.Level.debug if i % 3 else f.Level.info, "/p/varnel/a.py", f"{name} {i}")
        os.write(notes, f"{name} {i}\\n".encode())
f.set_global_level(f.Level.trace)
threads = [threading.Thread(target=log, args=(name, 10**9), daemon=True) for name in ("t1", "t2")]
for thread in threads:
    thread.start()
log("main", 100)
"""

DEATHS = {
    "SIGKILL": ("os.kill(os.getpid(), signal.SIGKILL)", -signal.SIGKILL),
    "SIGTERM": ("os.kill(os.getpid(), signal.SIGTERM)", -signal.SIGTERM),
    "SIGSEGV in native code": ("ctypes.string_at(0)", -signal.SIGSEGV),
    "abort": ("os.abort()", -signal.SIGABRT),
    "os._exit": ("os._exit(3)", 3),
    # The interpreter ends the logging threads by unwinding them from the lock they wait for, an
    # unwinding that AddressSanitizer does not follow: it reports the stack it leaves as misused.
    "exit without shutdown": pytest.param(
        ("sys.exit(0)", 0), marks=pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer misreads a forced unwind")),
}


@pytest.mark.parametrize("ending", DEATHS.values(), ids=DEATHS.keys())
def test_every_line_whose_call_returned_survives_the_death(run_child, ending):
    code, status = ending
    result = run_child(LOGGING_THREADS + code, check=False, timeout=60)
    assert result.returncode == status, result.stderr
    returned = defaultdict(int)  # how many calls of each thread returned
    for note in (result.cwd / "returned").read_text().splitlines():
        name, i = note.split()
        returned[name] = max(returned[name], int(i) + 1)
    assert returned["main"] == 100
    written = {fields(line)[4] for line in result.kept_log_lines() if LINE.match(line)}
    missing = [f"{name} {i}" for name, count in returned.items() for i in range(count) if f"{name} {i}" not in written]
    assert not missing, f"{len(missing)} lines missing, the first {missing[0]!r}"


def hold_folder_lock(folder):
    """Takes the log folder's lock, as any process that can read the folder could."""
    folder.mkdir(parents=True, exist_ok=True)
    fd = os.open(folder, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def test_stopped_and_killed_writers_hold_up_no_other_process(tmp_path):
    """A writer stopped at random moments (a debugger, Ctrl-Z), then killed with a forked worker
    that never logs and inherited what it had open: the others log all the while, and the
    folder's lock stays free for their rotations."""
    writer = subprocess.Popen([sys.executable, "-c", """
import os, time, foundation as f
f.initialize_logging()
worker = os.fork()
if worker == 0:
    time.sleep(600)  # a multiprocessing worker, say, that never logs
    os._exit(0)
with open("worker.pid.new", "w") as file:
    file.write(str(worker))
os.rename("worker.pid.new", "worker.pid")
while True:
    f._log_filtered(f.Level.info, "/p/w.py", "w" * 300)
"""], cwd=tmp_path, stdout=subprocess.DEVNULL)
    try:
        while not (tmp_path / "worker.pid").exists():
            time.sleep(0.01)
        for _ in range(10):
            writer.send_signal(signal.SIGSTOP)
            result = subprocess.run([sys.executable, "-c", "import foundation as f; f.initialize_logging(); "
                                     "[f.warn('other %d' % i) for i in range(100)]"],
                                    cwd=tmp_path, capture_output=True, text=True, timeout=60)
            assert result.returncode == 0, result.stderr
            writer.send_signal(signal.SIGCONT)
            time.sleep(0.05)
        writer.kill()
        writer.wait(timeout=60)
        probe = os.open(tmp_path / ".tamblin" / "logs", os.O_RDONLY)
        try:
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)  # the worker, still alive, holds nothing
        finally:
            os.close(probe)
    finally:
        writer.kill()
        if (tmp_path / "worker.pid").exists():
            os.kill(int((tmp_path / "worker.pid").read_text()), signal.SIGKILL)


# fork() while another process holds the folder's lock, or while a thread of this one is stuck
# writing to a console nobody reads: fork returns, and the child logs with locks of its own.
FORK_WHILE = {
    "the folder's lock held elsewhere": "",
    "a thread stuck on a full console": """
threading.Thread(target=f.info, args=("x" * (1 << 20),), daemon=True).start()
time.sleep(0.5)  # the thread now waits, in the console's write, for a reader that never comes
""",
}


@pytest.mark.parametrize("stall", FORK_WHILE.values(), ids=FORK_WHILE.keys())
def test_fork_never_waits_for_the_log(tmp_path, stall):
    code = f"""
import os, sys, threading, time, foundation as f
f.initialize_logging()
f._log_filtered(f.Level.info, "/p/a.py", "before the fork")
{stall}
pid = os.fork()
if pid == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the child's console is its own
    f._log_filtered(f.Level.info, "/p/a.py", "in the child")
    f.info("child again")
    os._exit(0)
sys.stderr.write(f"child {{os.waitpid(pid, 0)[1]}}\\n")
sys.stderr.flush()
os._exit(0)
"""
    held = hold_folder_lock(tmp_path / ".tamblin" / "logs")
    read_end, write_end = os.pipe()  # standard output of the process: never read
    try:
        child = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, stdout=write_end,
                               stderr=subprocess.PIPE, text=True, timeout=60)
    finally:
        os.close(held)
        os.close(write_end)
        os.close(read_end)
    assert "child 0" in child.stderr
    messages = [fields(line)[4] for line in ChildResult(0, "", "", tmp_path).log_lines()]
    assert {"before the fork", "in the child", "child again"} <= set(messages)


def test_a_record_left_torn_by_a_killed_process_is_not_glued_to_the_next(run_child, tmp_path):
    logs = tmp_path / ".tamblin" / "logs"
    logs.mkdir(parents=True)
    (logs / "varnel.log").write_text("2026-12-09 04:00:00 |     1.000s | info     | " + " " * 30 + " | cut sho")
    result = run_child("import foundation as f; f.initialize_logging(); f.shutdown_logging()")
    torn, first = result.log_lines()
    assert torn.endswith("| cut sho\x18")  # ended, and marked a part line, which the reader shows
    assert [record.damaged for record in foundation_logging.read_log(logs)] == [True, False]
    assert fields(first)[4].startswith("Logging to directory: ")
