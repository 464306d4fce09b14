"""Reading the log back: foundation_logging.read_log and `python -m foundation_logging`."""

import collections
import datetime
import json
import os
import subprocess
import sys

import pytest

from foundation_logging import LogRecord, read_log
from foundation_logging._records import CHUNK_SIZE, RecordStream

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


# The reader's time zone in the tests: UTC+2 all year.
ZONE = {"TZ": "EET-2"}


def run_reader(*args, timeout=60, env=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "foundation_logging", *map(str, args)], capture_output=True,
                          timeout=timeout, env={**os.environ, **ZONE, **(env or {})}, **{"text": True, **kwargs})


def numbered_records(first, count, time=f"{T}5"):
    return "".join(f"{time} |     5.000s | info     | s.m.wheel.py                   | record {i}\n"
                   for i in range(first, first + count))


def with_timestamp(record: LogRecord) -> dict:
    """The JSON object of `record`: its fields, and its time with the test zone's offset."""
    return {**record._asdict(), "timestamp": record.time and record.time.replace(" ", "T") + "+02:00"}


def test_rotated_files_are_read_oldest_first_with_continuations_and_nothing_unescaped(sample):
    assert list(read_log(sample)) == EXPECTED


@pytest.mark.parametrize("line, expected", [
    (f"{T}6 |     6.1", (f"{T}6", None, None, None, "    6.1")),
    (f"{T}6 |     6.100s | inf", (f"{T}6", 6.1, None, None, "inf")),
    (f"{T}6 |     6.100s | info     | s.m.wheel.py   ", (f"{T}6", 6.1, "info", None, "s.m.wheel.py   ")),
    (f"{T}6 |     6.100s | info     | s.m.wheel.py | whole but unterminated",
     (f"{T}6", 6.1, "info", "s.m.wheel.py", "whole but unterminated")),
    (f"{T}6 |     6.100s | info     | s | torn\n  in a continuation",
     (f"{T}6", 6.1, "info", "s", "torn\n  in a continuation")),
    (f"{T}6 |     6.100s | loud     | s.m.wheel.py | x\n", (f"{T}6", 6.1, None, None, "loud     | s.m.wheel.py | x")),
    ("16:00:06 |     6.100s | info     | x | y\n", (None, None, None, None, "16:00:06 |     6.100s | info     | x | y")),
    ("  continuation without a record\n", (None, None, None, None, "  continuation without a record")),
    ("\n", (None, None, None, None, "")),
    (f"{T}6 |     6.100s | info     | s | a part line, ended by the next writer\x18\n",
     (f"{T}6", 6.1, "info", "s", "a part line, ended by the next writer\x18")),
])
def test_damaged_line_gives_what_could_be_read(tmp_path, line, expected):
    (tmp_path / "varnel.log").write_text(line)
    assert list(read_log(tmp_path)) == [LogRecord(*expected, damaged=True)]


def test_a_part_line_larger_than_a_read_is_damaged_too(tmp_path):
    (tmp_path / "varnel.log").write_text(f"{T}6 |     6.100s | info     | s | {'x' * (3 << 20)}\x18\n{T}7 | "
                                          "    7.000s | info     | s | next\n")
    assert [record.damaged for record in read_log(tmp_path)] == [True, False]


def test_reads_what_foundation_writes(run_child):
    """Every level the writer has, `off` included, and a file name with the separator in it."""
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        f.set_global_level(f.Level.trace)
        for level in f.Level.__members__.values():
            f._log_filtered(level, "python/varnel/step/motion/wheel | v2.py", f"{level.name} | separated")
        f.warn("direct, caf\u00e9")
        f.shutdown_logging()
    """)
    records = list(read_log(result.cwd / ".tamblin" / "logs"))
    assert [(r.level, r.source, r.message) for r in records[1:]] == [
        *[(level, "s.m.wheel \\x7c v2.py", f"{name} | separated") for level, name in [
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
    # With a UTC offset, converted to the reader's local time (UTC+2).
    (["--since", "2026-12-08T14:00:04Z"], [4, 5, 6, 7]),
    (["--since", "2026-12-08T10:00:05-04:00"], [6, 7]),
    (["-n", "2"], [6, 7]),
    (["--level", "warn", "--lines", "2"], [5, 7]),
])
def test_filters(sample, args, expected):
    result = run_reader(sample, "--json", *args)
    assert result.returncode == 0, result.stderr
    assert [json.loads(line) for line in result.stdout.splitlines()] == [with_timestamp(EXPECTED[i]) for i in expected]


@pytest.mark.parametrize("args", [
    ["--since", "99999999d"], ["--since", "1e9s"], ["--since", "2026-12-09T04:30:00+25:00"],
    ["--since", "0001-01-01T00:00:00+05:00"], ["--grep", "("], ["-n", "-1"],
])
def test_nonsense_is_a_usage_error(sample, args):
    result = run_reader(sample, *args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage:") and "Traceback" not in result.stderr


@pytest.mark.parametrize("encoding", ["utf-8", "ascii", "latin-1"])
def test_json_is_valid_and_whole_in_any_output_encoding(sample, encoding):
    output = run_reader(sample, "--json", env={"PYTHONIOENCODING": encoding}, text=False).stdout
    assert [json.loads(line) for line in output.decode(encoding).splitlines()] == list(map(with_timestamp, EXPECTED))


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


def test_only_regular_files_are_read_and_links_never_followed(tmp_path, capsys):
    """A FIFO would block the reader, a link would hand it a file it may not pass on, a folder
    would end the reading: each is skipped with a line on standard error, the rest still read."""
    secret = tmp_path / "secret"
    secret.write_text(numbered_records(0, 1))
    secret.chmod(0o600)
    logs = tmp_path / "logs"
    logs.mkdir()
    os.mkfifo(logs / "varnel.3.log")
    (logs / "varnel.2.log").symlink_to(secret)
    (logs / "varnel.1.log").mkdir()
    (logs / "varnel.log").write_text(numbered_records(1, 2))
    expected = [f"record {i}" for i in (1, 2)]

    result = run_reader(logs, "--json", timeout=30)
    assert result.returncode == 0, result.stderr
    assert [json.loads(line)["message"] for line in result.stdout.splitlines()] == expected
    assert [line.rsplit(": ", 1)[1] for line in result.stderr.splitlines()] == [
        "not a regular file", "a symbolic link, which the reader never follows", "not a regular file"]

    assert [record.message for record in read_log(logs)] == expected
    assert len(capsys.readouterr().err.splitlines()) == 3


@pytest.mark.parametrize("follow", [False, True])
def test_files_are_open_only_while_iterating(sample, follow):
    def open_files():
        return len(os.listdir("/proc/self/fd"))

    before = open_files()
    records = read_log(sample, follow=follow, poll_interval=0.01)
    assert open_files() == before
    assert next(records) == EXPECTED[0]
    assert open_files() == before + len(SAMPLE) + follow  # a follower also watches the folder
    records.close()
    assert open_files() == before


@pytest.mark.parametrize("overhang", [-1, 0, 5])
def test_records_after_a_record_larger_than_a_read(overhang):
    """A record of 3 MiB, read in reads of 1 MiB, then small ones: whole and apart wherever the
    border of a read falls (`overhang` bytes after the large one's line end)."""
    large = f"{T}0 |     0.000s | info     | x.py | {'x' * 3 * CHUNK_SIZE}\n  and a continuation line\n".encode()
    data = large + numbered_records(0, 3).encode()
    border = len(large) + overhang
    reads = [data[start:min(start + CHUNK_SIZE, border)] for start in range(0, border, CHUNK_SIZE)] + [data[border:]]
    stream = RecordStream()
    records = [record for read in reads for record in stream.feed(read)] + list(stream.finish())
    assert [record.message for record in records] == [
        "x" * 3 * CHUNK_SIZE + "\n  and a continuation line", "record 0", "record 1", "record 2"]
    assert not any(record.damaged for record in records)


@pytest.mark.parametrize("message, bound", [
    ('"".join(f"\\n  {i:013d}" for i in range(18 * 2**20 // 16))', 4),  # a large repr: a line every 16 bytes
    ('"x" * 18 * 2**20 + "\\U0001f600"', 5.1),  # beyond the Basic Multilingual Plane: text of 4 bytes a character
], ids=["many lines", "one emoji"])
def test_memory_follows_the_record(run_child, message, bound):
    """An 18 MiB record reads in at most about `bound` times its size, however many lines it has
    and whatever its characters."""
    result = run_child(f"""
        import pathlib, tracemalloc
        from foundation_logging import read_log
        logs = pathlib.Path("logs")
        logs.mkdir()
        (logs / "varnel.log").write_text("2026-12-08 16:00:00 |     0.000s | info     | x.py | " + {message} + "\\n")
        size = (logs / "varnel.log").stat().st_size
        tracemalloc.start()
        (record,) = read_log(logs)
        peak = tracemalloc.get_traced_memory()[1]
        print(len(record.message.encode()) / size, peak / size)
    """)
    whole, peak = map(float, result.stdout.split())
    assert whole > 0.99 and peak <= bound, peak


def test_lnav_reads_the_log_as_read_log_does(tmp_path, run_child):
    """The format that --lnav-format prints, installed into the real lnav: its count of records
    per level over two files, multi-line records included, is read_log's."""
    write_every_level = """
        import foundation as f
        f.initialize_logging()
        f.set_global_level(f.Level.trace)
        for level in f.Level.__members__.values():
            f._log_filtered(level, "python/varnel/step/wheel | v2.py", f"{level.name}\\n  Traceback | x")
        f.shutdown_logging()
    """
    logs = tmp_path / "logs"
    # Two files, the older as if rotated; written from two folders, since lnav takes files that
    # start with the same line for one.
    for name, folder in [("varnel.1.log", tmp_path / "first"), ("varnel.log", tmp_path / "second")]:
        folder.mkdir()
        run_child(write_every_level, cwd=folder)
        logs.mkdir(exist_ok=True)
        os.replace(folder / ".tamblin" / "logs" / "varnel.log", logs / name)
    (tmp_path / "varnel_log.json").write_text(run_reader("--lnav-format").stdout)
    # Its own home, so that it installs nothing for the user; and without the sanitizer runtime
    # that a sanitizer run preloads into our own processes, under which lnav hangs.
    env = {**{name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "XDG_CONFIG_HOME")},
           "HOME": str(tmp_path)}

    def lnav(*args):
        result = subprocess.run(["lnav", *args], capture_output=True, text=True, timeout=60, env=env)
        assert result.returncode == 0, result.stderr
        return result.stdout

    lnav("-i", tmp_path / "varnel_log.json")
    rows = json.loads(lnav("-n", "-q", "-c", ";SELECT log_level, count(*) AS count FROM varnel_log GROUP BY log_level",
                           "-c", ":write-json-to -", logs))
    expected = collections.Counter("fatal" if record.level == "off" else record.level for record in read_log(logs))
    assert {row["log_level"]: row["count"] for row in rows} == expected
    assert expected["fatal"] == 2 and expected["info"] == 4
