"""The filtered road: thresholds and the source column, each scenario in a fresh process."""

import pytest

from test_logging_lifecycle import fields

SCENARIO = """
import foundation as f
from foundation import Level
f.initialize_logging()
case = ""
def log(level, path, message):
    f._log_filtered(getattr(Level, level), path, f"{{case}}: {{message}}" if case else message)
{body}
f.shutdown_logging()
"""


def written(run_child, body, **kwargs):
    """(source column stripped, message) of each filtered line the scenario wrote."""
    result = run_child(SCENARIO.format(body=body), **kwargs)
    return [(row[3].rstrip(), row[4]) for row in map(fields, result.log_lines()[1:])]


# Each case starts from no filters, in one process: the precedence seen from Python (the native
# tables test the rules themselves). A case's messages carry its name.
THRESHOLD_CASES = {
    "default info": ("log('debug', '/p/a.py', 'dropped'); log('info', '/p/a.py', 'kept')", ["kept"]),
    "file base name": ("f.set_global_level(Level.error); f.set_file_level('a.py', Level.trace)\n"
                       "log('debug', '/home/u/proj/src/a.py', 'posix'); log('debug', 'C:\\\\proj\\\\src\\\\a.py', 'windows')\n"
                       "log('debug', '/home/u/proj/src/b.py', 'other')", ["posix", "windows"]),
    "file key with a separator": ("f.set_file_level('src/a.py', Level.trace); log('debug', 'src/a.py', 'never')", []),
    "first package wins": ("f.set_package_level('varnel', Level.error); f.set_package_level('varnel/step', Level.debug)\n"
                           "log('warn', '/r/varnel/step/motion.py', 'first wins')\n"
                           "f.set_package_level('varnel', Level.warn); log('warn', '/r/varnel/step/motion.py', 'same place')",
                           ["same place"]),
    "file beats package": ("f.set_package_level('motion', Level.trace); f.set_file_level('drive.cpp', Level.error)\n"
                           "log('warn', '/r/motion/drive.cpp', 'file wins')", []),
    "empty pattern": ("f.set_package_level('', Level.error); log('warn', '/any.py', 'a'); log('error', '/any.py', 'b')",
                      ["b"]),
    "off": ("f.set_global_level(Level.off); log('critical', '/a.py', 'a'); log('off', '/a.py', 'b')", ["b"]),
    "clear filters": ("f.set_file_level('a.py', Level.off); f.set_package_level('/p', Level.off)\n"
                      "f.set_global_level(Level.off); f.clear_filters(); log('debug', '/p/a.py', 'a')\n"
                      "log('info', '/p/a.py', 'b')", ["b"]),
    "clear package exactly": ("f.set_package_level('varnel', Level.off); f.set_package_level('varnel/step', Level.trace)\n"
                              "f.clear_package_level('varnel'); log('trace', '/varnel/step/x.py', 'kept')\n"
                              "log('trace', '/varnel/x.py', 'no')", ["kept"]),
    "global warn": ("f.set_global_level(Level.warn); log('info', '/a.py', 'a'); log('warn', '/a.py', 'b')", ["b"]),
    "braces": ("log('info', '/a.py', '{} %s {0}')", ["{} %s {0}"]),
}


def test_thresholds(run_child):
    body = "".join(f"f.clear_filters(); case = {name!r}\n{body}\n" for name, (body, _) in THRESHOLD_CASES.items())
    messages = [message for _, message in written(run_child, body)]
    for name, (_, expected) in THRESHOLD_CASES.items():
        assert [m.removeprefix(f"{name}: ") for m in messages if m.startswith(f"{name}: ")] == expected, name


def test_filters_set_before_init_are_honoured(run_child):
    result = run_child("""
        import foundation as f
        f.set_global_level(f.Level.error)
        f.initialize_logging()
        f._log_filtered(f.Level.warn, "/a.py", "dropped")
        f._log_filtered(f.Level.error, "/a.py", "kept")
        f.shutdown_logging()
    """)
    assert [fields(line)[4] for line in result.log_lines()[1:]] == ["kept"]


def test_source_column_under_and_outside_the_project(run_child, tmp_path):
    root = tmp_path / "proj"
    (root / ".git").mkdir(parents=True)
    (root / "build").mkdir()
    rows = written(run_child, f"""
log('info', '{root}/src/foo/bar.cpp', 'inside')
log('info', '/usr/lib/x/y.py', 'outside')
log('info', 'C:\\\\proj\\\\src\\\\a.py', 'windows')
log('info', '{root}/python/varnel/step/motion/drive.py', 'package')
log('info', '{root}/modules/varnel-motion/src/drive_controller.cpp', 'module')
log('info', None, 'missing')
log('info', '{root}/' + 'd/' * 20 + 'long_name.py', 'long')
""", cwd=root)
    assert rows == [("s.f.bar.cpp", "inside"), ("u.l.x.y.py", "outside"), ("C.p.s.a.py", "windows"),
                    ("s.m.drive.py", "package"), ("m.drive_controller.cpp", "module"), ("", "missing"),
                    ("d." * 20 + "long_name.py", "long")]


def test_source_column_width_in_bytes(run_child):
    result = run_child(SCENARIO.format(body="log('info', '/p/abcdefgh.cpp', 'short'); "
                                            "log('info', '/p/" + "x" * 40 + "', 'long')"))
    short, long = [line.split(" | ")[3] for line in result.log_lines()[1:]]
    assert short == "p.abcdefgh.cpp" + " " * 16
    assert long == "p." + "x" * 40


def test_root_is_found_once_and_walks_up_from_the_working_directory(run_child, tmp_path):
    root = tmp_path / "proj"
    (root / ".git").mkdir(parents=True)
    (root / "build" / "sub").mkdir(parents=True)
    # Logging starts in build/ (which then holds .tamblin), the first absolute path is formatted
    # from build/sub: the search walks up to build/ and keeps that root afterwards.
    rows = written(run_child, f"""
import os
os.chdir('{root}/build/sub')
log('info', '{root}/build/sub/a.py', 'first')
os.chdir('{tmp_path}')
log('info', '{root}/build/b.py', 'cached')
""", cwd=root / "build")
    assert rows == [("s.a.py", "first"), ("b.py", "cached")]


def test_utf8_paths_keep_the_file_valid(run_child, tmp_path):
    root = tmp_path / "proj"
    (root / ".git").mkdir(parents=True)
    result = run_child(SCENARIO.format(body=f"log('info', '{root}/été/日本/ü.py', 'utf8')"), cwd=root)
    line = (root / ".tamblin" / "logs" / "varnel.log").read_bytes().decode("utf-8").splitlines()[1]
    assert line.split(" | ")[3] == "é.日.ü.py" + " " * (30 - len("é.日.ü.py".encode()))
    assert result.returncode == 0


def test_every_call_form_writes_the_same_line(run_child):
    # Exact types by position or keyword take the lean entry; the rest goes through pybind11.
    result = run_child("""
        import foundation as f
        from foundation import Level
        class Text(str):
            pass
        f.initialize_logging()
        f._log_filtered(Level.info, "/p/a.py", "by position")
        f._log_filtered(level=Level.info, filepath="/p/a.py", message="by keyword")
        f._log_filtered(Level.info, message="mixed", filepath="/p/a.py")
        f._log_filtered(Level.debug, filepath="/p/a.py", message="dropped")
        f._log_filtered(Level.info, Text("/p/a.py"), Text("str subclass"))
        f._log_filtered(Level.info, "/p/a.py", "non-ASCII ü 日本")
        f._log_filtered(Level.info, None, "no path")
        f.shutdown_logging()
    """)
    rows = [(row[3].rstrip(), row[4]) for row in map(fields, result.log_lines()[1:])]
    assert rows == [("p.a.py", "by position"), ("p.a.py", "by keyword"), ("p.a.py", "mixed"),
                    ("p.a.py", "str subclass"), ("p.a.py", "non-ASCII ü 日本"), ("", "no path")]
