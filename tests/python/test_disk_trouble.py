"""The file system misbehaves under the log: calls keep returning, nothing is truncated, no line is
glued to another, and the log recovers by itself once the cause is gone."""

import os
import re

import pytest

from test_logging_lifecycle import LINE, fields

ERROR_REPORT = re.compile(r"^\[\*\*\* LOG ERROR #\d+ \*\*\*\] \[[\d: -]+\] \[core\] (.*)$", re.M)


def reports(result):
    return ERROR_REPORT.findall(result.stderr)


@pytest.mark.parametrize("break_it, repair, taken_before", [
    # A full device: writes beyond the limit fail (SIGXFSZ ignored, as a daemon would).
    ("signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
     "resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(LOG) + 50_000, resource.RLIM_INFINITY))",
     "resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))", 0),
    # The log folder replaced by a plain file. The lines written just before (at most the two
    # before the loop) went with the folder, and may be counted as lost too.
    ("shutil.rmtree('.tamblin/logs'); open('.tamblin/logs', 'w').close()", "os.remove('.tamblin/logs')", 2),
], ids=["full device", "folder replaced by a file"])
def test_lines_are_dropped_counted_and_logging_resumes(run_child, break_it, repair, taken_before):
    result = run_child(f"""
        import os, resource, shutil, signal, foundation as f
        LOG = ".tamblin/logs/varnel.log"
        f.initialize_logging()
        f.warn("before")
        {break_it}
        for i in range(500):
            f.warn(f"flushed at once {{i}}")  # every warning is written at once, and fails
            f._log_filtered(f.Level.error, "/p/a.py", "x" * 1000)
        {repair}
        f.warn("after")
        f.shutdown_logging()
        print("RESULT returned")
    """, check=False)
    assert result.returncode == 0, result.stderr
    assert "RESULT returned" in result.stdout
    messages = reports(result)
    assert 1 <= len(messages) < 100  # rate-limited
    assert re.search(r"; \d+ lines lost so far$", messages[0])
    *_, recovered, total = messages  # the count is told again at shutdown, whatever the rate limit held back
    lost = int(re.fullmatch(r"writing to .*varnel\.log again; (\d+) lines were lost", recovered).group(1))
    assert total == f"{lost} lines lost in total"
    lines = result.log_lines()
    # A write the device cut short leaves at most one part line, ended and marked (CAN), never
    # glued to the next line; every other line is whole.
    whole = [line for line in lines if not line.endswith("\x18")]
    assert len(lines) - len(whole) <= 1
    assert all(LINE.match(line) for line in whole)
    assert lines[-1].endswith("| after")
    written = len([line for line in whole if "flushed at once" in line or "| xxx" in line])
    assert 1000 <= written + lost <= 1000 + taken_before


def test_working_directory_changes_do_not_move_the_log(run_child, tmp_path):
    foreign = tmp_path / "b" / ".tamblin" / "logs"  # another service's log, where we move to
    foreign.mkdir(parents=True)
    (foreign / "varnel.log").write_text("kept\n")
    (tmp_path / "a").mkdir()
    result = run_child("""
        import os, foundation as f
        f.initialize_logging()
        os.chdir("../b")
        f.info("after chdir")
        os.mkdir("../gone"); os.chdir("../gone"); os.rmdir("../gone")  # no working directory at all
        f.info("without a working directory")
        f.shutdown_logging()
    """, cwd=tmp_path / "a")
    assert (foreign / "varnel.log").read_text() == "kept\n"
    assert [fields(line)[4] for line in result.log_lines()[1:]] == ["after chdir", "without a working directory"]


def test_symbolic_link_for_the_log_file_is_never_followed(run_child, tmp_path):
    target = tmp_path / "authorized_keys"
    target.write_text("precious\n")
    result = run_child(f"""
        import os, foundation as f
        LOG = ".tamblin/logs/varnel.log"
        os.makedirs(".tamblin/logs")
        os.symlink({str(target)!r}, LOG)
        try:
            f.initialize_logging()
        except RuntimeError as error:
            print("refused:", error)
        os.remove(LOG)
        f.initialize_logging()  # works once the link is gone
        f.warn("into the file")
        os.remove(LOG)
        os.symlink({str(target)!r}, LOG)  # planted while logging: found when the file is next looked at,
        f.warn("x" * 9000)                # at the latest before a few KiB more
        f.warn("dropped")
        f.shutdown_logging()
    """)
    assert target.read_text() == "precious\n"
    assert result.stdout.startswith("refused: ") and "varnel.log" in result.stdout and "symbolic link" in result.stdout
    assert any("symbolic link" in m and m.endswith("lines lost so far") for m in reports(result))
    assert (tmp_path / ".tamblin" / "logs" / "varnel.log").is_symlink()
