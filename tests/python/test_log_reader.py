"""Reading the log back: foundation_logging.read_log and `python -m foundation_logging`."""

import datetime
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from foundation_logging import LogRecord, read_log

T = "2026-12-08 16:00:0"
# Three files of a rotated log: a message with the separator in it, continuation lines (spaces and
# a tab), escaped control characters, a byte that is not UTF-8, a wide elapsed column, an empty
# message, a line that is no record with a continuation line, and a last line torn by a crash.
SAMPLE = {
    "varnel.2.log": f"{T}0 |     0.000s | info     |                                | Logging to directory: /srv\n"
                    f"{T}1 |     1.250s | debug    | s.m.wheel.py                   | speed 1.2 | target 1.0\n".encode(),
    "varnel.1.log": f"{T}2 |     2.001s | error    | s.m.wheel.py                   | stalled\n"
                    "  Traceback (most recent call last):\n    File \"wheel.py\", line 3\n\tZeroDivisionError\n"
                    f"{T}3 |     3.000s | warning  | a.very.long.source.column.of.a.file.py | "
                    "esc \\x1b[31m \\x0d\\x00 back\\\\slash caf\u00e9 ".encode() + b"\xff\n",
    "varnel.log": f"{T}4 | 100000.500s | critical | d.odometry.py                  | \n"
                  "garbage line\n  continued\n"
                  f"{T}5 |     5.000s | trace    | s.m.wheel.py                   | last whole one\n"
                  f"{T}6 |     6.1".encode(),
}
EXPECTED = [
    LogRecord(f"{T}0", 0.0, "info", "", "Logging to directory: /srv"),
    LogRecord(f"{T}1", 1.25, "debug", "s.m.wheel.py", "speed 1.2 | target 1.0"),
    LogRecord(f"{T}2", 2.001, "error", "s.m.wheel.py",
              "stalled\n  Traceback (most recent call last):\n    File \"wheel.py\", line 3\n\tZeroDivisionError"),
    LogRecord(f"{T}3", 3.0, "warning", "a.very.long.source.column.of.a.file.py",
              "esc \\x1b[31m \\x0d\\x00 back\\\\slash caf\u00e9 \\xff"),
    LogRecord(f"{T}4", 100000.5, "critical", "d.odometry.py", ""),
    LogRecord(None, None, None, None, "garbage line\n  continued", True),
    LogRecord(f"{T}5", 5.0, "trace", "s.m.wheel.py", "last whole one"),
    LogRecord(f"{T}6", None, None, None, "    6.1", True),
]


@pytest.fixture
def sample(tmp_path):
    for name, content in SAMPLE.items():
        (tmp_path / name).write_bytes(content)
    return tmp_path


def run_reader(*args, timeout=60, **kwargs):
    return subprocess.run([sys.executable, "-m", "foundation_logging", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


def test_rotated_files_are_read_oldest_first_with_continuations_and_nothing_unescaped(sample):
    assert list(read_log(sample)) == EXPECTED


@pytest.mark.parametrize("line, expected", [
    (f"{T}6 |     6.1", (f"{T}6", None, None, None, "    6.1")),
    (f"{T}6 |     6.100s | inf", (f"{T}6", 6.1, None, None, "inf")),
    (f"{T}6 |     6.100s | info     | s.m.wheel.py   ", (f"{T}6", 6.1, "info", None, "s.m.wheel.py   ")),
    (f"{T}6 |     6.100s | info     | s.m.wheel.py | whole but unterminated",
     (f"{T}6", 6.1, "info", "s.m.wheel.py", "whole but unterminated")),
    (f"{T}6 |     6.100s | loud     | s.m.wheel.py | x\n", (f"{T}6", 6.1, None, None, "loud     | s.m.wheel.py | x")),
    ("16:00:06 |     6.100s | info     | x | y\n", (None, None, None, None, "16:00:06 |     6.100s | info     | x | y")),
    ("  continuation without a record\n", (None, None, None, None, "  continuation without a record")),
    ("\n", (None, None, None, None, "")),
])
def test_damaged_line_gives_what_could_be_read(tmp_path, line, expected):
    (tmp_path / "varnel.log").write_text(line)
    assert list(read_log(tmp_path)) == [LogRecord(*expected, damaged=True)]


def test_reads_what_foundation_writes(run_child):
    """Every level the writer has, `off` included, and a file name with the separator in it."""
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        f.set_global_level(f.Level.trace)
        for level in f.Level.__members__.values():
            f._log_filtered(level, "python/varnel/step/motion/wheel | v2.py", f"{level.name} | with a separator")
        f.warn("direct, caf\u00e9")
        f.shutdown_logging()
    """)
    records = list(read_log(result.cwd / ".tamblin" / "logs"))
    assert [(r.level, r.source, r.message) for r in records[1:]] == [
        *[(level, "s.m.wheel \\x7c v2.py", f"{name} | with a separator") for level, name in [
            ("trace", "trace"), ("debug", "debug"), ("info", "info"), ("warning", "warn"), ("error", "error"),
            ("critical", "critical"), ("off", "off")]],
        ("warning", "", "direct, caf\u00e9")]
    for record in records:
        assert not record.damaged and isinstance(record.elapsed, float)
        datetime.datetime.strptime(record.time, "%Y-%m-%d %H:%M:%S")


def test_text_output_is_the_log_as_written(sample):
    result = run_reader(sample)
    assert result.returncode == 0, result.stderr
    written = "".join(SAMPLE[name].decode("utf-8", "backslashreplace") for name in SAMPLE) + "\n"
    assert result.stdout == written


@pytest.mark.parametrize("args, expected", [
    # A damaged record passes a filter on a column it lacks; one without a time follows the record before it.
    (["--level", "warn"], [2, 3, 4, 5, 7]),
    (["--level", "critical", "--source", "odometry"], [4, 5, 7]),
    (["--source", "s.m."], [1, 2, 5, 6, 7]),
    (["--grep", r"^speed|Traceback"], [1, 2]),
    (["--since", f"{T}4"], [4, 5, 6, 7]),
    (["--since", "2026-12-08T16:00:03", "--level", "error"], [4, 5, 7]),
])
def test_filters(sample, args, expected):
    result = run_reader(sample, "--json", *args)
    assert result.returncode == 0, result.stderr
    assert [LogRecord(**json.loads(line)) for line in result.stdout.splitlines()] == [EXPECTED[i] for i in expected]


def test_json_round_trips_every_field(sample):
    lines = run_reader(sample, "--json").stdout.splitlines()
    assert [json.loads(line) for line in lines] == [record._asdict() for record in EXPECTED]
    assert set(json.loads(lines[-1])) == {"time", "elapsed", "level", "source", "message", "damaged"}


def test_level_coloured_on_a_terminal_as_on_the_console(sample):
    controller, terminal = os.openpty()
    try:
        process = subprocess.run([sys.executable, "-m", "foundation_logging", str(sample), "--level", "error"],
                                 stdout=terminal, stderr=subprocess.PIPE, env={**os.environ, "TERM": "xterm"},
                                 timeout=60)
        assert process.returncode == 0, process.stderr
        output = os.read(controller, 65536).decode()
    finally:
        os.close(controller)
        os.close(terminal)
    assert output.splitlines()[0].startswith(f"{T}2 |     2.001s | \033[31m\033[1merror   \033[m | s.m.wheel.py ")
    assert f"\033[1m\033[41mcritical\033[m" in output


def test_missing_folder(tmp_path):
    result = run_reader(tmp_path / "nowhere")
    assert (result.returncode, result.stdout) == (1, "")
    assert "no log folder" in result.stderr


def test_follow_across_rotations_made_by_another_process(tmp_path, run_child):
    """A follower started on a running log sees every record once, in order, while a writer in
    another process rotates the file twice under it."""
    run_child("import foundation as f; f.initialize_logging(); f.shutdown_logging()")
    follower = subprocess.Popen([sys.executable, "-m", "foundation_logging", "--follow", "--json"], cwd=tmp_path,
                                stdout=subprocess.PIPE, text=True)
    lines, seen_end = [], threading.Event()

    def collect():
        for line in follower.stdout:
            lines.append(json.loads(line))
            if lines[-1]["message"] == "end":
                seen_end.set()

    threading.Thread(target=collect, daemon=True).start()
    try:
        deadline = time.monotonic() + 30
        while not lines and time.monotonic() < deadline:  # following the current file
            time.sleep(0.05)
        run_child("""
            import foundation as f
            f.initialize_logging()
            for i in range(60000):  # about 12 MiB: two rotations
                f.info(f"record {i:05d} " + "x" * 160)
            f.info("end")
            f.shutdown_logging()
        """, timeout=120)
        assert seen_end.wait(60), f"the follower stopped after {len(lines)} records"
    finally:
        follower.kill()
        follower.wait(timeout=30)
    assert (Path(tmp_path) / ".tamblin" / "logs" / "varnel.2.log").exists()
    numbered = [record["message"][7:12] for record in lines if record["message"].startswith("record ")]
    assert numbered == [f"{i:05d}" for i in range(60000)]
    assert not any(record["damaged"] for record in lines)
