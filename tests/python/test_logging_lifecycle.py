"""Logger lifecycle seen from Python: start-up, shutdown, re-init, files. Each case runs in a fresh process."""

import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

import foundation

LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \| ( *\d+\.\d{3})s \| (.{8}) \| (.{30,}?) \| (.*)$")
NOT_INITIALISED = "logging::init() must be called before using logging::core()"


def fields(line):
    match = LINE.match(line)
    assert match, f"line does not follow the layout: {line!r}"
    return match.groups()


def test_start_up_line_and_layout(run_child, tmp_path):
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        f.initialize_logging()  # a second init writes nothing more
        f.info("hello {} %s {0}")
        f.shutdown_logging()
    """)
    lines = result.log_lines()
    assert len(lines) == 2
    _, elapsed, level, source, message = fields(lines[0])
    assert (level, source, message) == ("info    ", " " * 30, f"Logging to directory: {tmp_path}/.tamblin/logs")
    assert len(elapsed) == 9
    assert fields(lines[1])[2:] == ("info    ", " " * 30, "hello {} %s {0}")
    # The console shows the same lines, uncoloured on a pipe; each sink reads the clock itself.
    without_elapsed = [[field for i, field in enumerate(fields(line)) if i != 1] for line in lines]
    assert [[f for i, f in enumerate(fields(line)) if i != 1] for line in result.stdout.splitlines()] == without_elapsed


def test_before_init_direct_raises_and_filtered_is_silent(run_child):
    result = run_child(f"""
        import foundation as f
        for write in (f.debug, f.info, f.warn, f.error):
            try:
                write("hello")
            except RuntimeError as error:
                assert str(error) == {NOT_INITIALISED!r}, error
            else:
                raise AssertionError("no error")
        assert f._log_filtered(f.Level.critical, "/a/b.py", "x") is None
        assert f._log_filtered(f.Level.off, "/a/b.py", "x") is None
        f.shutdown_logging()  # without init: no error
        f.shutdown_logging()
        print("ok")
    """)
    assert result.stdout == "ok\n"
    assert not (result.cwd / ".tamblin").exists()


def test_shutdown_silences_filtered_path_for_good(run_child):
    result = run_child(f"""
        import foundation as f
        f.initialize_logging()
        f._log_filtered(f.Level.info, "/x/one.py", "filtered 1")
        f.shutdown_logging()
        try:
            f.info("after shutdown")
        except RuntimeError as error:
            assert str(error) == {NOT_INITIALISED!r}
        f._log_filtered(f.Level.critical, "/x/one.py", "filtered 2")
        f.initialize_logging()
        f._log_filtered(f.Level.critical, "/x/one.py", "filtered 3")
        f.info("direct again")
        f.shutdown_logging()
    """)
    messages = [fields(line)[4] for line in result.log_lines()]
    assert [m for m in messages if not m.startswith("Logging to directory")] == ["filtered 1", "direct again"]
    assert sum(m.startswith("Logging to directory") for m in messages) == 2


def test_direct_functions_ignore_thresholds_and_show_no_source(run_child):
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        f.set_global_level(f.Level.off)
        f.debug("d"); f.info("i"); f.warn("w"); f.error("e")
        f.shutdown_logging()
    """)
    rows = [fields(line) for line in result.log_lines()[1:]]
    assert [(r[2], r[3], r[4]) for r in rows] == [
        ("debug   ", " " * 30, "d"), ("info    ", " " * 30, "i"), ("warning ", " " * 30, "w"),
        ("error   ", " " * 30, "e")]


def test_log_folder_follows_the_working_directory_at_init(run_child, tmp_path):
    (tmp_path / "proj" / ".git").mkdir(parents=True)
    (tmp_path / "proj" / "build").mkdir()
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        f.shutdown_logging()
    """, cwd=tmp_path / "proj" / "build")
    assert "Logging to directory: " + str(tmp_path / "proj" / "build" / ".tamblin" / "logs") in result.log_text()
    assert not (tmp_path / "proj" / ".tamblin").exists()


def test_files_are_appended_across_runs(run_child):
    for run in range(2):
        run_child(f"""
            import foundation as f
            f.initialize_logging()
            f.info("run {run}")
            f.shutdown_logging()
        """)
    messages = [fields(line)[4] for line in run_child("pass").log_lines()]
    assert [m for m in messages if m.startswith("run")] == ["run 0", "run 1"]


def test_failed_init_can_be_retried(run_child):
    result = run_child("""
        import os, foundation as f
        os.mkdir(".tamblin")
        open(".tamblin/logs", "w").close()  # a file where the folder should be
        try:
            f.initialize_logging()
        except RuntimeError as error:
            print("failed:", error)
        f._log_filtered(f.Level.info, "/x/a.py", "lost")
        try:
            f.info("no logger")
        except RuntimeError:
            print("no logger")
        os.remove(".tamblin/logs")
        f.initialize_logging()
        f._log_filtered(f.Level.info, "/x/a.py", "after retry")
        f.shutdown_logging()
    """)
    first, second = result.stdout.splitlines()[:2]
    assert first.startswith("failed: filesystem error: cannot create directories") and ".tamblin/logs" in first
    assert second == "no logger"
    assert [fields(line)[4] for line in result.log_lines()][1:] == ["after retry"]


def test_unopenable_log_file_is_a_runtime_error_naming_it(run_child):
    result = run_child("""
        import os, foundation as f
        os.makedirs(".tamblin/logs/varnel.log")  # a folder where the file should be
        try:
            f.initialize_logging()
        except RuntimeError as error:
            print(error)
    """)
    assert "varnel.log" in result.stdout


def test_rotation_keeps_three_older_files_and_loses_no_line(run_child):
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        payload = "x" * 200
        for i in range(110_000):  # about 25 MiB
            f._log_filtered(f.Level.info, "/x/a.py", f"{i:07d} {payload}")
        f.shutdown_logging()
    """, env={"PYTHONUNBUFFERED": "0"}, timeout=300)
    logs = result.cwd / ".tamblin" / "logs"
    assert sorted(p.name for p in logs.iterdir()) == ["varnel.1.log", "varnel.2.log", "varnel.3.log", "varnel.log"]
    for name in ["varnel.3.log", "varnel.2.log", "varnel.1.log"]:
        size = (logs / name).stat().st_size
        line_length = len(result.log_lines(name)[-1]) + 1
        assert 5 * 1024 * 1024 - line_length <= size <= 5 * 1024 * 1024
    numbers = [int(fields(line)[4].split()[0]) for line in result.kept_log_lines()]
    assert numbers == list(range(numbers[0], 110_000))


def test_colour_codes_only_on_a_terminal(tmp_path):
    code = ("import foundation as f; f.initialize_logging(); f.warn('coloured'); "
            "f._log_filtered(f.Level.error, '/x/a.py', 'also'); f.shutdown_logging()")
    reader, terminal = os.openpty()  # the few lines fit in the terminal's buffer until read
    try:
        with os.fdopen(terminal, "wb") as stdout:
            subprocess.run([sys.executable, "-c", code], cwd=tmp_path, stdout=stdout,
                           env={**os.environ, "TERM": "xterm"}, timeout=60, check=True)
        output = b""
        while True:
            try:
                chunk = os.read(reader, 4096)
            except OSError:  # EIO: the terminal is closed and drained
                break
            if not chunk:
                break
            output += chunk
    finally:
        os.close(reader)
    assert b"\x1b[33m\x1b[1mwarning \x1b[m" in output
    assert b"\x1b[31m\x1b[1merror   \x1b[m" in output
    assert b"\x1b[" not in (tmp_path / ".tamblin" / "logs" / "varnel.log").read_bytes()


def test_second_init_keeps_the_origin_and_initialize_timer_restarts_it(run_child):
    result = run_child("""
        import time, foundation as f
        f.initialize_logging()
        time.sleep(1.2)
        f.initialize_logging()
        f.info("kept origin")
        f.initialize_timer()
        f.info("restarted")
        f.shutdown_logging()
        f.initialize_timer()  # works in every state
    """)
    kept, restarted = (float(fields(line)[1]) for line in result.log_lines()[1:])
    assert kept >= 1.2 > restarted
