"""The README's examples, run or built as written."""

import re
from pathlib import Path

import pytest

from conftest import run_python
from foundation_logging import LogRecord, read_log

README = Path(__file__).resolve().parents[2] / "README.md"
CONSUMER = Path(__file__).resolve().parents[1] / "consumer"
FENCED = re.compile(r"^```(\w*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(language: str) -> list[str]:
    return [body for tag, body in FENCED.findall(README.read_text(encoding="utf-8")) if tag == language]


# What an example promises to write into the log, by a line of its code.
LOGGED = {
    'foundation.info("plain text, {braces} and %s stay as written")': [
        "plain text, {braces} and %s stay as written", "written: debug is on here"],
    'logging.getLogger(__name__).warning("motor %s hot", "left")': ["motor left hot"],
    'log(Level.warn, "wheel slipping", every_n=250)': [
        "control loop started", "wheel slipping", "battery low", *["wheel slipping (249 suppressed)"] * 3],
}


@pytest.mark.parametrize("code", blocks("python"), ids=lambda code: code.splitlines()[0])
def test_python_example_runs_as_written(tmp_path, code):
    result = run_python(code, tmp_path, timeout=60)
    for line, messages in LOGGED.items():
        if line in code:
            assert [r.message for r in read_log(tmp_path / ".tamblin" / "logs")][1:] == messages, result.stdout


def test_native_examples_are_the_consumer_modules():
    cmake, = blocks("cmake")
    assert cmake in (CONSUMER / "CMakeLists.txt").read_text()
    assert blocks("cpp") == [(CONSUMER / name).read_text() for name in ("control_loop.cpp", "my_module.cpp")]


def test_control_loop_example_logs_as_it_says(run_child, consumer_dir):
    result = run_child(f"""
        import sys
        sys.path.insert(0, {str(consumer_dir)!r})
        import foundation, control_loop
        foundation.initialize_logging()
        for tick in range(1000):
            control_loop.control_step(0.5)
        foundation.shutdown_logging()
    """)
    assert [r.message for r in read_log(result.cwd / ".tamblin" / "logs")][1:] == [
        "control loop started", "wheel slipping: 0.500000"]


# Whole records of every kind the writer makes (continuation lines, escapes, the separator in a
# message, blank and long source columns, a bar escaped in one, the level off), and their reading.
LINES = """\
2026-12-08 16:00:00 |     0.000s | info     |                                | Logging to directory: /srv
2026-12-08 16:00:02 |     2.001s | error    | s.m.wheel.py                   | stalled | hot
  Traceback (most recent call last):
\tZeroDivisionError \\x1b[31m
2026-12-08 16:00:03 | 100000.500s | critical | a.very.long.source.column.of.a.file.py | caf\u00e9 \\\\ \\x0d
2026-12-08 16:00:04 |     4.000s | off      | s.wheel \\x7c v2.py            | stop | now
2026-12-08 16:00:05 |     5.000s | warning  | d.odometry.py                  | \n"""


def test_collector_rules_and_regex_give_the_readers_records(tmp_path):
    (tmp_path / "varnel.log").write_text(LINES, encoding="utf-8")
    rules = dict(line.split(": ", 1) for line in blocks("regex")[0].splitlines())
    start, continuation = re.compile(rules["start"].strip()), re.compile(rules["next"].strip())
    record = re.compile(re.sub(r"\(\?<(?=\w)", "(?P<", rules["record"].strip()))

    joined: list[str] = []
    for line in LINES.splitlines():
        if start.match(line):
            joined.append(line)
        else:
            assert continuation.match(line) and joined, line
            joined[-1] += "\n" + line
    parsed = [record.match(text).groupdict() for text in joined]
    assert [LogRecord(**fields, damaged=False)._replace(elapsed=float(fields["elapsed"])) for fields in parsed] == \
        list(read_log(tmp_path))
