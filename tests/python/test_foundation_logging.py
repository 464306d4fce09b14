"""The bridge from Python's logging: records reach foundation's filtered log. Each case runs in a fresh process."""

import pytest

from conftest import run_python
from test_logging_lifecycle import fields

LEVELS = [(0, "trace"), (5, "trace"), (10, "debug"), (15, "debug"), (20, "info"), (25, "info"),
          (30, "warning"), (35, "warning"), (40, "error"), (45, "error"), (50, "critical"), (60, "critical")]


def messages(result):
    """The messages of the lines after the start-up line."""
    return [fields(line)[4] for line in result.log_lines()[1:]]


@pytest.fixture(scope="module")
def level_columns(tmp_path_factory):
    """Level column by message, for one record per numeric level written at threshold trace."""
    result = run_python(f"""
        import logging, foundation as f, foundation_logging
        f.initialize_logging()
        f.set_global_level(f.Level.trace)
        handler = foundation_logging.install()
        for levelno in {[levelno for levelno, _ in LEVELS]}:
            handler.handle(logging.makeLogRecord({{"levelno": levelno, "msg": f"level {{levelno}}"}}))
        f.shutdown_logging()
    """, tmp_path_factory.mktemp("levels"))
    return {message: level.rstrip() for _, _, level, _, message in map(fields, result.log_lines()[1:])}


@pytest.mark.parametrize("levelno, expected", LEVELS)
def test_level_mapping(level_columns, levelno, expected):
    assert level_columns[f"level {levelno}"] == expected


CALLER = """
import logging
log = logging.getLogger(__name__)
log.setLevel(logging.DEBUG)
def emit():
    log.debug("debug from {name}")
    log.info("info from {name}")
"""


def test_records_obey_the_filters_and_show_the_callers_file(run_child, tmp_path):
    for path in ["varnel/step/motion/wheel.py", "varnel/drive/odometry.py", "quiet.py"]:
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(CALLER.format(name=path.rsplit("/", 1)[-1]))
    result = run_child("""
        import foundation as f, foundation_logging
        from foundation import Level
        import quiet, varnel.drive.odometry as odometry, varnel.step.motion.wheel as wheel
        f.initialize_logging()
        foundation_logging.install()
        f.set_package_level("varnel/step/motion", Level.debug)
        f.set_file_level("quiet.py", Level.off)
        for module in (wheel, odometry, quiet):
            module.emit()
        f.shutdown_logging()
    """)
    rows = [(source.rstrip(), message) for *_, source, message in map(fields, result.log_lines()[1:])]
    # The odometry logger passes debug records, foundation's global threshold (info) drops them.
    assert rows == [("s.m.wheel.py", "debug from wheel.py"), ("s.m.wheel.py", "info from wheel.py"),
                    ("d.odometry.py", "info from odometry.py")]


def test_install_is_idempotent(run_child):
    result = run_child("""
        import logging, foundation as f, foundation_logging
        f.initialize_logging()
        first = foundation_logging.install()
        second = foundation_logging.install(logging.ERROR)
        bridges = [h for h in logging.getLogger().handlers if isinstance(h, foundation_logging.FoundationHandler)]
        print("RESULT", first is second, bridges == [first], first.level == logging.ERROR)
        logging.getLogger("x").warning("below the handler's level")
        logging.getLogger("x").error("once")
        f.shutdown_logging()
    """)
    assert [line for line in result.stdout.splitlines() if line.startswith("RESULT")] == ["RESULT True True True"]
    assert messages(result) == ["once"]


def test_exception_text_is_included(run_child):
    result = run_child("""
        import logging, foundation as f, foundation_logging
        f.initialize_logging()
        foundation_logging.install()
        try:
            1 / 0
        except ZeroDivisionError:
            logging.getLogger("x").exception("division failed")
        f.shutdown_logging()
    """)
    lines = result.log_lines()
    assert fields(lines[1])[2:] == ("error   ", "<string>".ljust(30), "division failed")
    assert lines[2] == "  Traceback (most recent call last):"  # continuation lines are indented
    assert lines[-1] == "  ZeroDivisionError: division by zero"


def test_text_utf8_cannot_encode_is_written_with_backslash_escapes(run_child):
    # Lone surrogates are what os.fsdecode makes of undecodable bytes in a file name.
    result = run_child("""
        import logging, foundation as f, foundation_logging
        f.initialize_logging()
        foundation_logging.install()
        logging.getLogger("x").error("reading %s", "report-\\udcff.csv")
        record = logging.makeLogRecord({"levelno": 40, "msg": "from it", "pathname": "/p/x\\udcff.py"})
        logging.getLogger().handle(record)
        f.shutdown_logging()
    """)
    assert result.stderr == ""
    assert [(source.rstrip(), message) for *_, source, message in map(fields, result.log_lines()[1:])] == [
        ("<string>", "reading report-\\udcff.csv"), ("p.x.udcff.py", "from it")]  # a backslash separates


def test_silent_without_a_logger(run_child):
    result = run_child("""
        import logging, foundation as f, foundation_logging
        foundation_logging.install()
        logging.getLogger("x").error("before init")
        f.initialize_logging()
        f.shutdown_logging()
        logging.getLogger("x").error("after shutdown")
        print("done")
    """)
    assert result.stderr == ""
    assert result.stdout.splitlines()[-1] == "done"
    assert messages(result) == []


def test_a_record_that_cannot_be_formatted_is_reported_the_stdlib_way(run_child):
    result = run_child("""
        import logging, foundation as f, foundation_logging
        f.initialize_logging()
        foundation_logging.install()
        logging.getLogger("x").error("%d items", "three")
        logging.getLogger("x").error("still logging")
        f.shutdown_logging()
    """)
    assert "--- Logging error ---" in result.stderr
    assert "TypeError: %d format: a real number is required, not str" in result.stderr
    assert messages(result) == ["still logging"]
