"""The record a fatal signal leaves: exactly one, true, written wherever the log folder went and
whichever stack overflowed, and saying where (the Python and native stacks), while the process
ends exactly as it would have without the log. Every crash runs in a child with a timeout."""

import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from foundation_logging import read_log
from test_logging_lifecycle import LINE, fields

FATAL = [signal.SIGSEGV, signal.SIGBUS, signal.SIGILL, signal.SIGFPE, signal.SIGABRT, signal.SIGTERM, signal.SIGHUP]
REQUESTED_STOPS = (signal.SIGTERM, signal.SIGHUP)
PYTHON_STACK = "  Python stack (most recent call first):"
NATIVE_STACK = "  Native stack (most recent call first):"


def ended_by(number):
    return f"ended by signal {number.name} ({signal.strsignal(number)})"


def handed_on(number):
    return f"signal {number.name} ({signal.strsignal(number)}), handed to the application's handler"


def records(lines):
    """`lines` as records: each the line that starts it, then its continuation lines."""
    grouped = []
    for line in lines:
        if line[:1].isspace() and grouped:
            grouped[-1].append(line)
        else:
            grouped.append([line])
    return grouped


def signal_records(lines):
    """The messages of the records that a signal left."""
    return [fields(line)[4] for line in lines if LINE.match(line) and "signal SIG" in fields(line)[4]]


@pytest.fixture(scope="session")
def crash_helper(tmp_path_factory):
    """crash_helper.c built into a library for ctypes."""
    library = tmp_path_factory.mktemp("crash_helper") / "crash_helper.so"
    source = Path(__file__).with_name("crash_helper.c")
    subprocess.run(["cc", "-shared", "-fPIC", "-O0", "-o", str(library), str(source)], check=True)
    return library


FAULTHANDLER = {"off": ("", ""), "on before init": ("faulthandler.enable()", ""),
                "on after init": ("", "faulthandler.enable()")}
ADDRESS = re.compile(r"0x[0-9a-f]+")


@pytest.mark.parametrize("faulthandler", FAULTHANDLER.values(), ids=FAULTHANDLER.keys())
@pytest.mark.parametrize("number", FATAL, ids=[s.name for s in FATAL])
def test_a_fatal_signal_leaves_a_true_record_and_the_same_ending(run_child, tmp_path, number, faulthandler):
    before, after = faulthandler
    # The child's disposition starts as the default, even under nohup (which ignores SIGHUP). Without
    # LOG the same lines run without the log, and the process must end the same way.
    code = f"""
        import faulthandler, os, signal, foundation as f
        signal.signal({int(number)}, signal.SIG_DFL)
        {before}
        if os.environ.get("LOG"): f.initialize_logging()
        {after}
        if os.environ.get("LOG"): f.info("last words")
        os.kill(os.getpid(), {int(number)})
    """
    result = run_child(code, env={"LOG": "1"}, check=False)
    (tmp_path / "bare").mkdir()
    bare = run_child(code, cwd=tmp_path / "bare", check=False)
    assert result.returncode == bare.returncode == -number
    assert ADDRESS.sub("0x", result.stderr) == ADDRESS.sub("0x", bare.stderr)
    stop = number in REQUESTED_STOPS
    assert ("Fatal Python error" in result.stderr) == (faulthandler != FAULTHANDLER["off"] and not stop)
    handed = faulthandler == FAULTHANDLER["on before init"] and not stop
    expected = ("warning " if stop else "critical", " " * 30, handed_on(number) if handed else ended_by(number))
    for lines in (result.log_lines(), result.stdout.splitlines()):
        *_, last_words, (record, *stacks) = records(lines)
        assert fields(last_words[0])[2:] == ("info    ", " " * 30, "last words")
        assert fields(record)[2:] == expected
        assert (PYTHON_STACK in stacks, NATIVE_STACK in stacks) == (not stop, not stop)


# Who handles SIGTERM, and what the process does then.
SIGTERM_HANDLERS = {
    "the application's, installed before init": ("signal.signal(signal.SIGTERM, quit)", "", 7),
    "the application's, installed after init": ("", "signal.signal(signal.SIGTERM, quit)", 7),
    "the default, after shutdown_logging": ("", "f.shutdown_logging()", -signal.SIGTERM),
}


@pytest.mark.parametrize("before, after, status", SIGTERM_HANDLERS.values(), ids=SIGTERM_HANDLERS.keys())
def test_sigterm_handled_elsewhere_leaves_no_record(run_child, before, after, status):
    result = run_child(f"""
        import os, signal, foundation as f
        def quit(number, frame):
            os._exit(7)
        {before}
        f.initialize_logging()
        {after}
        os.kill(os.getpid(), signal.SIGTERM)
        signal.pause()
    """, check=False)
    assert result.returncode == status
    assert "ended by signal" not in result.log_text()


# Two threads meet a fatal signal at one moment, in native code that runs without the interpreter
# lock; 30 processes for each pair. Each ends by one of the two signals and has exactly one record,
# naming that signal, in the file and on the console.
PAIRS = {"abort+abort": ("abort", "abort"), "segv+segv": ("segv", "segv"), "abort+segv": ("abort", "segv")}
BY_NAME = {"abort": signal.SIGABRT, "segv": signal.SIGSEGV}


@pytest.mark.parametrize("first, second", PAIRS.values(), ids=PAIRS.keys())
def test_threads_faulting_at_once_leave_exactly_one_record(run_child, first, second):
    result = run_child(f"""
        import ctypes, os, resource, threading, foundation as f
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        libc = ctypes.CDLL(None)
        faults = {{"abort": libc.abort, "segv": lambda: ctypes.memset(0, 0, 1)}}
        def fault(name, together):
            together.wait()
            faults[name]()
        for trial in range(30):
            os.mkdir(str(trial))
            pid = os.fork()
            if pid == 0:
                os.chdir(str(trial))
                os.dup2(os.open("console", os.O_WRONLY | os.O_CREAT, 0o644), 1)
                f.initialize_logging()
                together = threading.Barrier(2)
                threading.Thread(target=fault, args=("{second}", together)).start()
                fault("{first}", together)
            print(os.waitpid(pid, 0)[1] & 0x7f, flush=True)
    """, timeout=300)
    endings = [signal.Signals(int(status)) for status in result.stdout.split()]
    assert len(endings) == 30
    for trial, number in enumerate(endings):
        assert number in (BY_NAME[first], BY_NAME[second])
        folder = result.cwd / str(trial)
        for text in ((folder / ".tamblin" / "logs" / "varnel.log").read_text(), (folder / "console").read_text()):
            assert signal_records(text.splitlines()) == [ended_by(number)], f"trial {trial}"


# A handler installed before the log's, what the process does then, how it ends and the records of
# the signals. The record is written before the signal is handed on; a handler that returns leaves
# the log's in place for the next signal.
EARLIER_HANDLERS = {
    "signal.signal for SIGABRT, then a segfault": (
        "signal.signal(signal.SIGABRT, lambda number, frame: print('handled', flush=True))",
        "os.kill(os.getpid(), signal.SIGABRT); ctypes.string_at(0)",
        -signal.SIGSEGV, [handed_on(signal.SIGABRT), ended_by(signal.SIGSEGV)]),
    # The helper's handler ends the process with 42 when the siginfo names the faulting address.
    "SA_SIGINFO, reading the faulting address": (
        "helper.install_verdict_handler()", "helper.write_to(ctypes.c_size_t(0x1234))",
        42, [handed_on(signal.SIGSEGV)]),
    # Twice the same fault, each time left with siglongjmp(): one record, and the process goes on.
    "SA_SIGINFO, going on with siglongjmp": (
        "helper.install_recovering_handler()",
        "assert [helper.write_to(ctypes.c_size_t(16)) for _ in range(2)] == [1, 1]; "
        "os.kill(os.getpid(), signal.SIGTERM)",
        -signal.SIGTERM, [handed_on(signal.SIGSEGV), ended_by(signal.SIGTERM)]),
}


@pytest.mark.parametrize("before, after, status, expected", EARLIER_HANDLERS.values(), ids=EARLIER_HANDLERS.keys())
def test_an_earlier_handler_gets_the_signal_after_a_true_record(run_child, crash_helper, before, after, status,
                                                                expected):
    result = run_child(f"""
        import ctypes, os, signal, foundation as f
        helper = ctypes.CDLL({str(crash_helper)!r})
        {before}
        f.initialize_logging()
        {after}
    """, check=False)
    assert result.returncode == status, result.stderr
    assert signal_records(result.log_lines()) == expected


# Where the record must get to although the process is in a bad way.
TROUBLE = {
    "log folder deleted": "import shutil; shutil.rmtree('.tamblin/logs'); ctypes.string_at(0)",
    "log folder moved": "import os; os.rename('.tamblin/logs', 'elsewhere'); ctypes.string_at(0)",
    "stack overflow in the main thread": "helper.overflow_stack(0)",
    "stack overflow in a thread that logs": """
import threading
def overflow():
    f.info("from the thread")
    helper.overflow_stack(0)
threading.Thread(target=overflow).start()
threading.Event().wait()""",
}


@pytest.mark.parametrize("trouble", TROUBLE.values(), ids=TROUBLE.keys())
def test_the_record_reaches_the_file_whatever_the_trouble(run_child, crash_helper, trouble):
    result = run_child(f"""
import ctypes, resource, foundation as f
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
helper = ctypes.CDLL({str(crash_helper)!r})
f.initialize_logging()
{trouble}
""", check=False)
    assert result.returncode == -signal.SIGSEGV
    assert signal_records(result.log_lines()) == [ended_by(signal.SIGSEGV)]


def test_the_record_says_where_the_fault_struck(run_child):
    result = run_child("""
        import ctypes, foundation as f
        f.initialize_logging()
        def read_the_sensor():
            ctypes.string_at(0)
        def steer():
            read_the_sensor()
        steer()
    """, check=False)
    assert result.returncode == -signal.SIGSEGV
    *_, last = read_log(result.cwd / ".tamblin" / "logs")
    heading, python_stack, native_stack = re.split(r"\n(?=  \w)", last.message)
    assert heading == ended_by(signal.SIGSEGV)
    called = re.findall(r"^    File .*, line \d+ in (.*)$", python_stack, re.MULTILINE)
    assert called == ["string_at", "read_the_sensor", "steer", "<module>"]
    assert native_stack.startswith(NATIVE_STACK)
    assert " _PyEval_EvalFrameDefault+0x" in native_stack
    assert last.message in result.stdout


def test_a_console_nobody_reads_does_not_hold_up_the_end(tmp_path):
    """Standard output is a pipe with room for a few KiB, and nobody reads it: the record, with a
    long Python stack, goes to the file, and the process ends."""
    read_end, write_end = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", """
import ctypes, os, foundation as f
f.initialize_logging()
os.set_blocking(1, False)
try:
    while True:
        os.write(1, b"x" * 4096)
except BlockingIOError:
    os.set_blocking(1, True)
os.write(2, b"full\\n")
os.read(0, 1)
def deep(n):
    return deep(n - 1) if n else ctypes.string_at(0)
deep(60)
"""], cwd=tmp_path, stdin=subprocess.PIPE, stdout=write_end, stderr=subprocess.PIPE)
    try:
        os.close(write_end)
        assert child.stderr.readline() == b"full\n"
        os.read(read_end, 4096)  # room for part of the record, not for all of it
        child.stdin.write(b"x")
        child.stdin.flush()
        assert child.wait(timeout=60) == -signal.SIGSEGV
    finally:
        child.kill()
        os.close(read_end)
    lines = (tmp_path / ".tamblin" / "logs" / "varnel.log").read_text().splitlines()
    assert signal_records(lines) == [ended_by(signal.SIGSEGV)]
    assert sum(" in deep" in line for line in lines) > 50
