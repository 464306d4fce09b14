"""The log across processes: forks while threads log, multiprocessing workers, and a console nobody
reads (processes rotating one log together: the native file sink tests). Every case runs in a child
with a timeout."""

import os
import subprocess
import sys
from collections import Counter

import pytest

from test_logging_lifecycle import LINE, fields


def messages(result):
    return [fields(line)[4] for line in result.kept_log_lines()]


ENDINGS = {"sys.exit": ("sys.exit(0)", 0), "shutdown_logging": ("f.shutdown_logging(); sys.exit(0)", 0),
           "os._exit": ("os._exit(0)", 0), "uncaught exception": ("raise RuntimeError('boom')", 1)}


def test_forked_children_never_hang_and_write_their_lines_once(run_child, consumer_dir):
    result = run_child(f"""
        import os, sys, threading, time, warnings
        sys.path.insert(0, {str(consumer_dir)!r})
        import foundation as f, foundation_consumer as c
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        def python_thread():
            while True:
                f._log_filtered(f.Level.info, "/p/py.py", "python thread")
        f.initialize_logging()
        for i in range(5):
            f._log_filtered(f.Level.info, "/p/parent.py", f"pending {{i}}")  # in the parent's buffer
        children = {{}}
        for round in range(5):
            if round == 1:  # the first round forks a quiet parent, the others one busy logging
                c.start_logging_threads(2)
                threading.Thread(target=python_thread, daemon=True).start()
            for name, (ending, _) in {ENDINGS!r}.items():
                time.sleep(0.01)
                pid = os.fork()
                if pid == 0:
                    f._log_filtered(f.Level.info, "/p/child.py", f"child {{name}} {{round}}")
                    f.info(f"direct {{name}} {{round}}")
                    exec(ending)
                children[pid] = name
        outcomes = []
        deadline = time.monotonic() + 30
        while children and time.monotonic() < deadline:
            pid, status = os.waitpid(-1, os.WNOHANG)
            if pid:
                outcomes.append(f"{{children.pop(pid)}} {{os.waitstatus_to_exitcode(status)}}")
            else:
                time.sleep(0.01)
        for pid, name in children.items():
            os.kill(pid, 9)
            outcomes.append(f"{{name}} hung")
        with open("outcomes", "w") as file:
            file.write("\\n".join(outcomes))
        os._exit(0)  # the native threads never stop
    """, timeout=90)
    outcomes = Counter((result.cwd / "outcomes").read_text().splitlines())
    assert outcomes == Counter({f"{name} {code}": 5 for name, (_, code) in ENDINGS.items()})
    lines = result.kept_log_lines()
    assert all(LINE.match(line) for line in lines)
    written = Counter(fields(line)[4] for line in lines)
    assert all(written[f"pending {i}"] == 1 for i in range(5))
    for name in ENDINGS:
        for round in range(5):
            assert written[f"child {name} {round}"] == written[f"direct {name} {round}"] == 1


WORKER_MODULE = """
import foundation as f

def start():
    f.initialize_logging()  # a no-op in workers forked from a parent that logs

def work(task):
    f._log_filtered(f.Level.info, __file__, f"task {task}")
    return task
"""


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_workers_lines_reach_the_log(run_child, tmp_path, method):
    (tmp_path / "worker.py").write_text(WORKER_MODULE)
    result = run_child(f"""
        import multiprocessing, warnings, foundation as f, worker
        warnings.simplefilter("ignore", DeprecationWarning)
        f.initialize_logging()
        f._log_filtered(f.Level.info, "/p/parent.py", "pending in the parent")
        with multiprocessing.get_context({method!r}).Pool(2, initializer=worker.start) as pool:
            assert sorted(pool.map(worker.work, range(20))) == list(range(20))
            pool.close()
            pool.join()
        f.shutdown_logging()
    """, timeout=120)
    written = Counter(messages(result))
    assert all(written[f"task {task}"] == 1 for task in range(20))
    assert written["pending in the parent"] == 1


def test_blocked_console_does_not_stop_other_threads(tmp_path):
    code = """
import os, sys, threading, foundation as f
f.initialize_logging()
entered = threading.Event()
def flood():
    entered.set()
    f.info("x" * (1 << 20))  # far more than the pipe holds: blocks, since nobody reads it
threading.Thread(target=flood, daemon=True).start()
entered.wait()
count = 0
for _ in range(2_000_000):  # needs the interpreter lock, which the blocked thread must not hold
    count += 1
sys.stderr.write(f"counted {count}\\n")
sys.stderr.flush()
os._exit(0)
"""
    read_end, write_end = os.pipe()  # standard output of the child: never read
    with open(tmp_path / "stderr", "wb") as stderr:
        child = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, stdout=write_end, stderr=stderr)
    os.close(write_end)
    try:
        child.wait(timeout=60)
    finally:
        child.kill()
        os.close(read_end)
    assert b"counted 2000000" in (tmp_path / "stderr").read_bytes()
