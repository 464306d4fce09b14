"""No log call waits: not for a console nobody reads, not for another process's rotation, not for
a shutdown; and nothing a call returned from is lost without a word (a deleted file, no memory).
Every case runs in children with timeouts: a call that waits for good fails the test by it."""

import os
import re
import select
import subprocess
import sys

import pytest

from conftest import UNDER_ASAN
from test_disk_trouble import reports
from test_logging_lifecycle import LINE, fields

UNSHOWN = re.compile(r"the console was not read: (\d+) lines were not shown on it \(they are in the log file\)")


def test_a_console_nobody_reads_holds_up_no_call_and_is_told_what_it_missed(tmp_path):
    code = """
import os, sys, threading, foundation as f
f.initialize_logging()
def log(name):
    for i in range(300):
        f._log_filtered(f.Level.info, "/p/a.py", f"{name} {i} " + "x" * 200)
threads = [threading.Thread(target=log, args=(name,)) for name in ("t1", "t2", "t3")]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
sys.stderr.write("returned\\n")
sys.stderr.flush()
sys.stdin.read(1)  # the console is read again
f.info("after")
f.shutdown_logging()
"""
    read_end, write_end = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, stdin=subprocess.PIPE,
                             stdout=write_end, stderr=subprocess.PIPE, text=True)
    os.close(write_end)
    try:
        # Every call returns, the console unread (a call that waits for good fails the test here).
        assert select.select([child.stderr], [], [], 60)[0] and child.stderr.readline() == "returned\n"
        shown = b""
        while select.select([read_end], [], [], 0)[0]:
            shown += os.read(read_end, 1 << 16)
        child.stdin.write("go")
        child.stdin.close()
        assert child.wait(timeout=60) == 0
        while chunk := os.read(read_end, 1 << 16):
            shown += chunk
    finally:
        child.kill()
        os.close(read_end)
    console = shown.decode().splitlines()
    told = [int(match[1]) for line in console if (match := UNSHOWN.search(line))]
    threads_shown = [line for line in console if LINE.match(line) and " | t" in line]
    assert len(told) == 1 and told[0] + len(threads_shown) == 900
    assert console[-1].endswith("| after")
    messages = [fields(line)[4] for line in (tmp_path / ".tamblin" / "logs" / "varnel.log").read_text().splitlines()]
    assert sum(message.startswith("t") for message in messages) == 900 and messages[-1] == "after"


# The file deleted (or its folder) just before a few lines, then the process ends one way or
# another: those lines were written into the deleted file, and are written again into a new one.
DELETIONS = {"the file": "os.remove(LOG)", "the folder": "shutil.rmtree('.tamblin/logs')"}
ENDINGS = {"shutdown": "f.shutdown_logging()", "exit": "sys.exit(0)"}


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
@pytest.mark.parametrize("deletion", DELETIONS.values(), ids=DELETIONS.keys())
def test_lines_written_into_a_deleted_file_are_written_again_at_the_end(run_child, deletion, ending):
    result = run_child(f"""
        import os, shutil, sys, foundation as f
        LOG = ".tamblin/logs/varnel.log"
        f.initialize_logging()
        f.info("before")
        {deletion}
        for i in range(5):
            f.info(f"after {{i}}")
        {ending}
    """)
    messages = [fields(line)[4] for line in result.log_lines()]
    assert messages[-5:] == [f"after {i}" for i in range(5)] and len(set(messages)) == len(messages)
    assert "lost" not in result.stderr


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's allocator does not run under an address-space limit")
def test_lines_lost_to_memory_exhaustion_are_counted_in_the_log_s_own_voice(run_child):
    result = run_child("""
        import resource, foundation as f
        f.initialize_logging()
        message = "x" * (1 << 20)
        pages = int(open("/proc/self/statm").read().split()[0])
        limit = pages * resource.getpagesize() + (1 << 19)  # no room for another copy of the message
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        for _ in range(5):
            f.info(message)
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        f.info("after")
        f.shutdown_logging()
    """)
    assert "bad_alloc" not in result.stderr
    messages = reports(result)
    assert messages[0].endswith("Cannot allocate memory; 1 lines lost so far")
    assert messages[-1] == "5 lines lost in total"
    assert [fields(line)[4] for line in result.log_lines()[1:]] == ["after"]


def test_a_fork_during_a_shutdown_whose_standard_error_nobody_reads_returns(tmp_path):
    """The shutdown has trouble to report (a line was lost, and writing works again: the rate limit
    held that report back), standard error is a full pipe: the report is given up after a moment,
    and a fork() meanwhile never waits for it."""
    code = """
import fcntl, os, resource, signal, threading, warnings, foundation as f
warnings.simplefilter("ignore")  # Python's own warning about fork() would wait on the full pipe
f.initialize_logging()
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(".tamblin/logs/varnel.log"), resource.RLIM_INFINITY))
f.info("lost")  # the file may not grow: lost, and reported
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
f.info("written again")  # its report waits for the rate limit: the shutdown makes it
fcntl.fcntl(2, fcntl.F_SETFL, os.O_NONBLOCK)
try:
    while True:
        os.write(2, b"x" * 4096)  # standard error full
except BlockingIOError:
    fcntl.fcntl(2, fcntl.F_SETFL, 0)
shutdown = threading.Thread(target=f.shutdown_logging)
shutdown.start()
pid = os.fork()
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
shutdown.join()
os.write(1, b"returned")
"""
    read_end, write_end = os.pipe()
    try:
        result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                                stderr=write_end, timeout=60)
    finally:
        os.close(write_end)
        os.close(read_end)
    assert result.returncode == 0 and result.stdout.endswith(b"returned")


def test_processes_rotating_together_never_sleep_nor_wait_for_the_folder_s_lock(tmp_path):
    """Four processes write 40 MiB into one folder: about eight rotations, each tried by all of
    them at once. Not one of their calls sleeps or waits for the folder's lock (strace)."""
    writer = ("import foundation as f; f.initialize_logging(); "
              "[f._log_filtered(f.Level.info, '/p/a.py', '%07d ' % i + 'x' * 200) for i in range(45_000)]")
    trace = tmp_path / "trace"
    result = subprocess.run(
        ["strace", "-f", "-qq", "--seccomp-bpf", "-o", str(trace), "-e", "trace=flock,nanosleep,clock_nanosleep,select,poll",
         sys.executable, "-c", f"import subprocess, sys; [p.wait() for p in [subprocess.Popen([sys.executable, '-c', "
                               f"{writer!r}]) for _ in range(4)]]"],
        cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    calls = trace.read_text().splitlines()
    assert any("LOCK_EX|LOCK_NB" in call for call in calls)  # they did contend for rotations
    waits = [call for call in calls if "sleep" in call or "select(" in call or "poll(" in call
             or ("flock(" in call and "LOCK_NB" not in call and "LOCK_UN" not in call)]
    assert not waits, waits[:5]
    logs = tmp_path / ".tamblin" / "logs"
    assert sorted(path.name for path in logs.glob("varnel*.log")) == [
        "varnel.1.log", "varnel.2.log", "varnel.3.log", "varnel.log"]
