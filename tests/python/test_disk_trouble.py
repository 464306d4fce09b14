"""A full disk and a vanished log folder: logging calls keep returning and the process exits cleanly."""

import re

ERROR_REPORT = re.compile(r"^\[\*\*\* LOG ERROR #\d+ \*\*\*\]", re.M)


def test_log_file_on_a_full_device(run_child):
    result = run_child("""
        import os, foundation as f
        os.makedirs(".tamblin/logs")
        os.symlink("/dev/full", ".tamblin/logs/varnel.log")
        f.initialize_logging()
        for i in range(2000):
            f.warn(f"flushed at once {i}")  # every warn flushes, and every flush fails
            f._log_filtered(f.Level.error, "/p/a.py", "x" * 1000)
        f.shutdown_logging()
        print("RESULT returned")
    """, check=False)
    assert result.returncode == 0, result.stderr
    assert "RESULT returned" in result.stdout
    reports = ERROR_REPORT.findall(result.stderr)
    assert 1 <= len(reports) < 100  # reported on stderr, rate-limited


def test_log_folder_removed_while_logging(run_child):
    result = run_child("""
        import shutil, foundation as f
        f.initialize_logging()
        f.info("before removal")
        shutil.rmtree(".tamblin")
        for i in range(30_000):  # about 6 MiB: the file rotates into a recreated folder
            f._log_filtered(f.Level.info, "/p/a.py", f"{i:05d} " + "y" * 180)
        f.warn("after removal")
        print("RESULT returned")
    """, check=False)
    assert result.returncode == 0, result.stderr
    assert "RESULT returned" in result.stdout
    assert result.log_lines()[-1].endswith("| after removal")
