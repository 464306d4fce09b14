"""Hostile text through every road into the log: each call is one record, and control characters
arrive as visible escapes. Each road runs in a fresh process."""

import re

import pytest

RECORD_START = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \| ", re.MULTILINE)
FORGED = "2026-01-01 00:00:00 |     0.000s | critical | s.fake.py                      | forged"

# (path, message) as given -> (source column, message) as written
CASES = [
    (("/p/a.py", "ok\n" + FORGED), ("p.a.py", "ok\n  " + FORGED)),
    (("/p/a.py", "line\r\nnext\n"), ("p.a.py", "line\\x0d\n  next\n  ")),
    (("/p/a.py", "\x1b[2J\x1b]0;title\x07\x1b[1A"), ("p.a.py", "\\x1b[2J\\x1b]0;title\\x07\\x1b[1A")),
    (("/p/a.py", "password=hunter2\x00 rejected for user bob"),
     ("p.a.py", "password=hunter2\\x00 rejected for user bob")),
    (("/p/a.py", "tab\t, \\x41, ü and \x7f"), ("p.a.py", "tab\t, \\x41, ü and \\x7f")),
    (("/p/a\n" + FORGED + "\r\x1b.py", "path"),
     ("p.a\\x0a" + FORGED.replace("|", "\\x7c") + "\\x0d\\x1b.py", "path")),
    (("/p/a.py\x00\nforged", "a path is read up to a NUL"), ("p.a.py", "a path is read up to a NUL")),
]

ROADS = {
    "direct": "f.error(message)",
    "filtered": "f._log_filtered(Level.error, path, message)",
    "filtered, pybind11": "f._log_filtered(Level.error, Text(path), Text(message))",
    "bridge": "logging.getLogger().handle(logging.makeLogRecord({'levelno': 40, 'msg': message, 'pathname': path}))",
}


@pytest.mark.parametrize("road", ROADS)
def test_every_call_is_one_record(run_child, road):
    result = run_child(f"""
        import logging, foundation as f, foundation_logging
        from foundation import Level
        class Text(str):
            pass
        f.initialize_logging()
        foundation_logging.install()
        for path, message in {[given for given, _ in CASES]!r}:
            {ROADS[road]}
        f.shutdown_logging()
    """)
    text = result.log_text()
    starts = [match.start() for match in RECORD_START.finditer(text)] + [len(text)]
    records = [text[start:end].removesuffix("\n") for start, end in zip(starts, starts[1:])][1:]
    # After the fixed-width date, elapsed and level columns: the source column and the message.
    assert [record[46:] for record in records] == [
        f"{source if road != 'direct' else '':30} | {message}" for _, (source, message) in CASES]
    assert not [ch for ch in result.stdout if (ord(ch) < 0x20 and ch not in "\t\n") or ch == "\x7f"]
