"""Following the log: `python -m foundation_logging --follow`, in a child, across rotations,
replaced files, a folder made late and a file truncated in place."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

from foundation_logging._follower import LOG_FILE_NAMES
from test_log_reader import T, ZONE, numbered_records


class Follower:
    """`python -m foundation_logging --follow --json ARGS` in a child, its records gathered as they come."""

    def __init__(self, *args, cwd=None):
        self._stderr = tempfile.TemporaryFile("w+")
        # Its output buffered, as a shipper's pipe has it: each record must still come at once.
        env = {**{name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}, **ZONE}
        self.process = subprocess.Popen([sys.executable, "-m", "foundation_logging", "--follow", "--json",
                                         *map(str, args)], cwd=cwd, stdout=subprocess.PIPE, stderr=self._stderr,
                                        text=True, env=env)
        self.records = []
        threading.Thread(target=self._gather, daemon=True).start()

    def _gather(self):
        for line in self.process.stdout:
            self.records.append(json.loads(line))

    def _wait(self, done, what, timeout=30):
        deadline = time.monotonic() + timeout
        while not done():
            assert time.monotonic() < deadline, f"no {what} after {len(self.records)} records"
            time.sleep(0.05)

    def wait_for(self, message):
        self._wait(lambda: any(record["message"] == message for record in self.records), repr(message))

    def wait_for_report(self, text):
        self._wait(lambda: text in self.stderr(), f"report {text!r}")

    def wait_until_idle(self):
        """Until the follower has looked at the folder, watches it (inotify) and sleeps until its
        next look."""
        def idle():
            with os.scandir(f"/proc/{self.process.pid}/fd") as descriptors:
                watching = any(os.readlink(entry.path) == "anon_inode:inotify" for entry in descriptors)
            with open(f"/proc/{self.process.pid}/wchan") as wchan:
                return watching and wchan.read() == "hrtimer_nanosleep"
        self._wait(idle, "a follower sleeping between looks")

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read()

    def messages(self):
        return [record["message"] for record in self.records]

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.process.kill()
        self.process.wait(timeout=30)
        self.reports = [line.split(": ", 1)[1] for line in self.stderr().splitlines()]
        self._stderr.close()


def record_numbers(text):
    return [int(line.rsplit(" ", 1)[1]) for line in text.splitlines()]


def append(path, text):
    with open(path, "a") as file:
        file.write(text)


def rotate(logs, first, count=10):
    """As the writer rotates: every file one name older, the oldest dropped, then a new varnel.log."""
    for name, older_name in zip(LOG_FILE_NAMES[1:], LOG_FILE_NAMES):
        if (logs / name).exists():
            os.replace(logs / name, logs / older_name)
    (logs / "varnel.log").write_text(numbered_records(first, count))


def on_disk(logs):
    return sorted(number for name in LOG_FILE_NAMES if (logs / name).exists()
                  for number in record_numbers((logs / name).read_text()))


# Each case: what happens to the folder under a running follower, the records the follower must
# ship then, and the lines it must report (no others).

def rotations_while_stopped(count, held):
    def case(logs, follower):
        if held:
            follower.wait_for("record 9")
        else:
            follower.wait_until_idle()
        follower.process.send_signal(signal.SIGSTOP)
        append(logs / "varnel.log", numbered_records(10, 5))
        for rotation in range(count):
            rotate(logs, 15 + 10 * rotation)
        shipped = sorted({*range(15), *on_disk(logs)} if held else on_disk(logs))
        follower.process.send_signal(signal.SIGCONT)
        follower.wait_for(f"record {shipped[-1]}")
        lost = count - 4 + (not held)
        reports = [f"{'a log file' if lost == 1 else f'{lost} log files'} rotated away"] if lost > 0 else []
        return shipped, reports
    return case


def inode_reused(logs, follower):
    """varnel.log becomes a link, then a regular file again, which ext4 gives the link's inode
    number (the first file stays open here, so that its own number is not free)."""
    follower.wait_for("record 9")
    with open(logs / "varnel.log"):
        os.unlink(logs / "varnel.log")
        os.symlink("/etc/passwd", logs / "varnel.log")
        follower.wait_for_report("symbolic link")
        os.unlink(logs / "varnel.log")
        (logs / "varnel.log").write_text(numbered_records(10, 30))
    follower.wait_for("record 39")
    return list(range(40)), ["a symbolic link, which the reader never follows"]


def not_files_mid_follow(logs, follower):
    """A FIFO and a folder put under log names: reported once each, however often looked at."""
    follower.wait_for("record 9")
    os.mkfifo(logs / "varnel.2.log")
    (logs / "varnel.1.log").mkdir()
    for number in (10, 11):
        append(logs / "varnel.log", numbered_records(number, 1))
        follower.wait_for(f"record {number}")
    return list(range(12)), ["not a regular file", "not a regular file"]


def folder_made_late(logs, follower):
    follower.wait_for_report("waiting")
    logs.mkdir()
    (logs / "varnel.log").write_text(numbered_records(0, 10))
    follower.wait_for("record 9")
    return list(range(10)), ["yet: waiting for it"]


def truncated_in_place(logs, follower):
    """copytruncate while the follower is stopped, with a part line held from before; the file
    grows past where the follower was."""
    append(logs / "varnel.log", f"{T}6 |     6.000s | info     | s | part")
    follower.wait_for("record 9")
    follower.process.send_signal(signal.SIGSTOP)
    (logs / "varnel.log").write_text(numbered_records(100, 50))
    follower.process.send_signal(signal.SIGCONT)
    follower.wait_for("record 149")
    return [*range(10), "part", *range(100, 150)], ["was truncated in place"]


@pytest.mark.parametrize("start, case", [
    ("empty", rotations_while_stopped(5, held=False)),
    ("records", rotations_while_stopped(4, held=True)),
    ("records", rotations_while_stopped(5, held=True)),
    ("records", inode_reused),
    ("records", not_files_mid_follow),
    ("no folder", folder_made_late),
    ("records", truncated_in_place),
], ids=["empty folder, 5 rotations", "held file, 4 rotations", "held file, 5 rotations", "inode reused",
        "FIFO and folder", "folder made late", "copytruncate"])
def test_follower(tmp_path, start, case):
    logs = tmp_path / "logs"
    if start != "no folder":
        logs.mkdir()
    if start == "records":
        (logs / "varnel.log").write_text(numbered_records(0, 10))
    with Follower(logs) as follower:
        expected, reports = case(logs, follower)
    assert [record["message"] if record["damaged"] else int(record["message"].rsplit(" ", 1)[1])
            for record in follower.records] == expected
    assert len(follower.reports) == len(reports) and all(
        text in report for text, report in zip(reports, follower.reports)), follower.reports


def test_follow_across_rotations_made_by_another_process(tmp_path, run_child):
    """A follower started on a running log sees every record once, in order, while a writer in
    another process rotates the file twice under it."""
    run_child("import foundation as f; f.initialize_logging(); f.shutdown_logging()")
    with Follower(cwd=tmp_path) as follower:
        follower.wait_for(f"Logging to directory: {tmp_path / '.tamblin' / 'logs'}")  # following the current file
        run_child("""
            import foundation as f
            f.initialize_logging()
            for i in range(60000):  # about 12 MiB: two rotations
                f.info(f"record {i:05d} " + "x" * 160)
            f.info("end")
            f.shutdown_logging()
        """, timeout=120)
        follower.wait_for("end")
    assert (Path(tmp_path) / ".tamblin" / "logs" / "varnel.2.log").exists()
    numbered = [message[7:12] for message in follower.messages() if message.startswith("record ")]
    assert numbered == [f"{i:05d}" for i in range(60000)]
    assert not any(record["damaged"] for record in follower.records)
    assert follower.reports == []


def test_follow_since_and_lines_choose_among_the_records_written_before(tmp_path):
    """The last three records from a time on, then every record as it comes, whatever its time
    (a clock stepped back)."""
    (tmp_path / "varnel.log").write_text(numbered_records(0, 2, f"{T}1") + numbered_records(2, 4, f"{T}5"))
    with Follower(tmp_path, "--since", f"{T}3", "-n", "3") as follower:
        follower.wait_for("record 5")
        append(tmp_path / "varnel.log", numbered_records(6, 1, f"{T}0"))
        follower.wait_for("record 6")
    assert follower.messages() == ["record 3", "record 4", "record 5", "record 6"]
