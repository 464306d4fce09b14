"""What `python -m foundation_logging` writes: safe on a terminal, errors without a traceback,
times right through a clock change, and MCAP files that the format's own reader opens."""

import datetime
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from test_log_reader import T, numbered_records, run_reader


@pytest.mark.parametrize("terminal", [False, True], ids=["pipe", "terminal"])
def test_text_output_is_safe_on_a_terminal(tmp_path, terminal):
    """Control characters from a damaged or foreign file reach the output as the writer writes
    them (\\xNN); text that came escaped, and tabs, stay as they are."""
    (tmp_path / "varnel.log").write_bytes(
        f"{T}1 |     1.000s | info     | {'s.\x1bm.py':<30} | \x1b]0;title\x07\x1b[2J cr\r del\x7f "
        "csi\u009b tab\there \\x1b stays\n".encode() + b"not a record \x1b[31m \xff\x1b\n")
    expected = [f"{T}1 |     1.000s | info     | {'s.\\x1bm.py':<33} | \\x1b]0;title\\x07\\x1b[2J "
                "cr\\x0d del\\x7f csi\\x9b tab\there \\x1b stays",
                "not a record \\x1b[31m \\xff\\x1b"]
    if terminal:
        controller, tty = os.openpty()
        try:
            process = subprocess.run([sys.executable, "-m", "foundation_logging", str(tmp_path)], stdout=tty,
                                     stderr=subprocess.PIPE, env={**os.environ, "TERM": "xterm"}, timeout=60)
            output = os.read(controller, 65536).decode().replace("\r\n", "\n")
        finally:
            os.close(controller)
            os.close(tty)
        output = output.replace("\033[32m", "").replace("\033[m", "")  # the level's own colour
    else:
        process = run_reader(tmp_path)
        output = process.stdout
    assert process.returncode == 0, process.stderr
    assert output.splitlines() == expected


@pytest.mark.parametrize("args, stdout, status, report", [
    (["-n", "99999999999999999999"], subprocess.PIPE, 2, "usage: "),
    ([], "/dev/full", 1, "python -m foundation_logging: cannot write to standard output: No space left on device\n"),
    ([], "closed", 1, "python -m foundation_logging: standard output is closed\n"),
    (["--json"], "pipe closed early", 1, ""),
], ids=["huge count", "full disk", "closed output", "closed pipe"])
def test_trouble_is_one_line_never_a_traceback(tmp_path, args, stdout, status, report):
    (tmp_path / "varnel.log").write_text(numbered_records(0, 20000))  # more than a pipe holds
    command = [sys.executable, "-m", "foundation_logging", str(tmp_path), *args]
    if stdout == "/dev/full":
        with open("/dev/full", "w") as full:
            process = subprocess.run(command, stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    elif stdout == "closed":
        process = subprocess.run(["sh", "-c", '"$@" >&-', "sh", *command], stderr=subprocess.PIPE, text=True,
                                 timeout=60)
    elif stdout == "pipe closed early":  # as `| head -1` does
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        child.stdout.readline()
        child.stdout.close()
        child.wait(timeout=60)
        process = subprocess.CompletedProcess(command, child.returncode, None, child.stderr.read())
        child.stderr.close()
    else:
        process = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=60)
    assert process.returncode == status
    assert process.stderr.startswith(report) and "Traceback" not in process.stderr
    if status != 2:
        assert process.stderr == report


# Across both daylight-saving changes of 2026 in Berlin, each record's message is the timestamp
# it must get: the skipped hour in March, the repeated hour in October (the clock goes back
# between the two files).
BERLIN = {
    "varnel.2.log": ["2026-03-29T01:59:59+01:00", "2026-03-29T03:00:00+02:00", "2026-03-29T03:30:00+02:00"],
    "varnel.1.log": ["2026-10-25T01:30:00+02:00", "2026-10-25T02:00:00+02:00", "2026-10-25T02:30:00+02:00",
                     "2026-10-25T02:59:59+02:00"],
    "varnel.log": ["2026-10-25T02:00:00+01:00", "2026-10-25T02:30:00+01:00", "2026-10-25T03:00:00+01:00"],
}


@pytest.mark.parametrize("since, first", [
    (None, "2026-03-29T01:59:59+01:00"),
    ("2026-03-29T01:00:00Z", "2026-03-29T03:00:00+02:00"),
    ("2026-10-25T00:45:00Z", "2026-10-25T02:59:59+02:00"),
    ("2026-10-25T01:15:00Z", "2026-10-25T02:30:00+01:00"),
])
def test_times_through_daylight_saving_changes(tmp_path, since, first):
    for name, stamps in BERLIN.items():
        (tmp_path / name).write_text("".join(
            f"{stamp[:10]} {stamp[11:19]} |     1.000s | info     | s | {stamp}\n" for stamp in stamps))
    process = run_reader(tmp_path, "--json", *(["--since", since] if since else []),
                         env={"TZ": "Europe/Berlin"})
    assert process.returncode == 0, process.stderr
    records = [json.loads(line) for line in process.stdout.splitlines()]
    stamps = [stamp for stamps in BERLIN.values() for stamp in stamps]
    assert [record["message"] for record in records] == stamps[stamps.index(first):]
    assert [record["timestamp"] for record in records] == [record["message"] for record in records]


MCAP_LOG = (f"{T}0 |     0.000s | trace    |                                | tracing\n"
            f"{T}1 |     1.000s | debug    | s.m.wheel.py                   | debug\n"
            f"{T}2 |     2.000s | info     | s.m.wheel.py                   | info \\x1b caf\u00e9\n"
            f"{T}2 |     2.001s | warning  | d.odometry.py                  | warning\n"
            f"{T}3 |     3.000s | error    | s.m.wheel.py                   | stalled\n  Traceback ...\n"
            "not a record\n"
            f"{T}4 |     4.000s | critical |                                | ended by signal SIGTERM\n"
            f"{T}5 |     5.000s | off      |                                | last one\n")


@pytest.mark.parametrize("follow", [False, True], ids=["read", "follow, then SIGTERM"])
def test_mcap_file_holds_foxglove_log_messages(tmp_path, follow):
    """Read back with the mcap package's own reader: one channel of JSON foxglove.Log messages,
    each record's level, moment and text; a follower's file is finished when SIGTERM stops it."""
    from mcap.reader import make_reader

    (tmp_path / "varnel.log").write_text(MCAP_LOG)
    output = tmp_path / "log.mcap"
    command = [sys.executable, "-m", "foundation_logging", str(tmp_path), "--mcap", str(output)]
    if follow:
        child = subprocess.Popen([*command, "--follow"], stderr=subprocess.PIPE, text=True,
                                 env={**os.environ, "TZ": "EET-2"})
        deadline = time.monotonic() + 60
        try:
            while b"last one" not in (output.read_bytes() if output.exists() else b""):  # written as it comes
                assert child.poll() is None and time.monotonic() < deadline
                time.sleep(0.05)
        finally:
            child.send_signal(signal.SIGTERM)
            child.wait(timeout=60)
        assert child.returncode == 128 + signal.SIGTERM, child.stderr.read()
    else:
        process = subprocess.run(command, capture_output=True, text=True, timeout=60,
                                 env={**os.environ, "TZ": "EET-2"})
        assert (process.returncode, process.stdout, process.stderr) == (0, "", "")
    with open(output, "rb") as file:
        reader = make_reader(file)
        summary = reader.get_summary()
        messages = list(reader.iter_messages())
    assert [(schema.name, schema.encoding) for schema in summary.schemas.values()] == [("foxglove.Log", "jsonschema")]
    assert [channel.message_encoding for channel in summary.channels.values()] == ["json"]
    logs = [json.loads(message.data) for _, _, message in messages]
    assert [(log["level"], log["name"], log["message"]) for log in logs] == [
        (1, "", "tracing"), (1, "s.m.wheel.py", "debug"), (2, "s.m.wheel.py", "info \\x1b caf\u00e9"),
        (3, "d.odometry.py", "warning"), (4, "s.m.wheel.py", "stalled\n  Traceback ..."), (0, "", "not a record"),
        (5, "", "ended by signal SIGTERM"), (5, "", "last one")]
    # 16:00:0N local time at UTC+2; the damaged record takes the moment of the one before.
    seconds = [int(datetime.datetime(2026, 12, 8, 14, 0, n, tzinfo=datetime.timezone.utc).timestamp())
               for n in (0, 1, 2, 2, 3, 3, 4, 5)]
    assert [message.log_time for _, _, message in messages] == [second * 10**9 for second in seconds]
    assert [log["timestamp"] for log in logs] == [{"sec": second, "nsec": 0} for second in seconds]
    assert [message.sequence for _, _, message in messages] == list(range(8))


def test_mcap_without_the_package_says_how_to_install_it(tmp_path):
    process = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['mcap'] = None; from foundation_logging.__main__ import main; "
                               f"sys.exit(main([{str(tmp_path)!r}, '--mcap', {str(tmp_path / 'log.mcap')!r}]))"],
        capture_output=True, text=True, timeout=60)
    assert (process.returncode, process.stdout) == (2, "")
    assert process.stderr == ("python -m foundation_logging: --mcap needs the mcap package: "
                              "pip install 'varnel-foundation[mcap]'\n")
