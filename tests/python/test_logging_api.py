"""The Python surface of logging: names, signatures, docstrings, the Level enumeration, argument checks."""

import pytest

import foundation
from test_logging_lifecycle import fields
from foundation import Level

DOCS = {
    "initialize_logging": ("initialize_logging() -> None", "Initialize and enable the logging system"),
    "shutdown_logging": ("shutdown_logging() -> None",
                         "Flush and tear down the logger so that no further log calls touch spdlog"),
    "initialize_timer": ("initialize_timer() -> None", "Initialize the timer for elapsed time logging"),
    "set_global_level": ("set_global_level(level: foundation.Level) -> None",
                         "\n        Set the global runtime log level. Messages below this level are filtered.\n\n"
                         "        Args:\n            level: The minimum log level to display (e.g., Level.trace, "
                         "Level.debug, Level.info)\n    "),
    "set_file_level": ("set_file_level(filename: str, level: foundation.Level) -> None",
                       "\n        Set the log level for a specific source file (by basename).\n\n        Args:\n"
                       "            filename: The source file basename (e.g., \"fused_odometry.cpp\")\n"
                       "            level: The minimum log level for this file\n    "),
    "clear_file_level": ("clear_file_level(filename: str) -> None",
                         "\n        Remove the log level filter for a specific source file.\n\n        Args:\n"
                         "            filename: The source file basename to clear\n    "),
    "clear_filters": ("clear_filters() -> None",
                      "\n        Clear all file-specific filters and reset global level to INFO.\n    "),
    **{name: (f"{name}(message: str) -> None", f"\n        Log a message with severity level {name}\n    ")
       for name in ("debug", "info", "warn", "error")},
    "set_package_level": ("set_package_level(package: str, level: foundation.Level) -> None",
                          "\n        Set the log level for all source files whose path contains the given substring.\n\n"
                          "        Package filters are checked after file-specific filters (set_file_level).\n"
                          "        Use path fragments like \"varnel-motion\" (C++ module) or \"varnel/step/motion\"\n"
                          "        (Python package) to match groups of files.\n\n        Args:\n"
                          "            package: A substring to match against the full source file path\n"
                          "            level: The minimum log level for matching files\n    "),
    "clear_package_level": ("clear_package_level(package: str) -> None",
                            "\n        Remove the log level filter for a package substring.\n\n        Args:\n"
                            "            package: The package substring to clear\n    "),
    "_log_filtered": ("_log_filtered(level: foundation.Level, filepath: str, message: str) -> None",
                      "\n        Log a message with file-based filtering (internal use).\n\n"
                      "        Checks is_enabled_for(level, filepath) before logging, supporting both\n"
                      "        per-file filtering (set_file_level) and package filtering (set_package_level).\n\n"
                      "        Args:\n            level: The log level\n"
                      "            filepath: The full source file path (used for filtering and display)\n"
                      "            message: The log message\n    "),
}


@pytest.mark.parametrize("name", DOCS)
def test_signature_and_docstring(name):
    signature, doc = DOCS[name]
    assert getattr(foundation, name).__doc__ == f"{signature}\n\n{doc}\n"


def test_level_members_values_and_strictness():
    assert [(m.name, m.value) for m in Level.__members__.values()] == [
        ("trace", 0), ("debug", 1), ("info", 2), ("warn", 3), ("error", 4), ("critical", 5), ("off", 6)]
    assert Level(3) == Level.warn and int(Level.warn) == 3
    assert Level.warn != 3 and not (Level.warn == 3)
    with pytest.raises(TypeError):
        Level.warn < Level.error
    with pytest.raises(TypeError):
        Level.warn | Level.error
    assert foundation.info is not Level.info and callable(foundation.info)
    for name in ("trace", "critical", "off"):
        assert not hasattr(foundation, name)


@pytest.mark.parametrize("call", [
    lambda: foundation.set_global_level(3),
    lambda: foundation.set_global_level("info"),
    lambda: foundation.set_file_level(None, Level.info),
    lambda: foundation.set_file_level(b"a.py", Level.info),
    lambda: foundation.set_file_level("a.py", 2),
    lambda: foundation.clear_file_level(1),
    lambda: foundation.set_package_level(None, Level.info),
    lambda: foundation.clear_package_level(None),
    lambda: foundation.set_package_level("\ud800", Level.info),
    lambda: foundation._log_filtered(2, "/a.py", "x"),
    lambda: foundation._log_filtered(Level.info, b"/a.py", "x"),
    lambda: foundation._log_filtered(Level.info, "/a.py", b"x"),
    lambda: foundation._log_filtered(Level.info, "/a.py", "\udcff"),
    lambda: foundation._log_filtered(Level.info, "/a.py", None),
    lambda: foundation._log_filtered(Level.info, "/a.py"),
    lambda: foundation.info(None),
    lambda: foundation.warn(42),
    lambda: foundation.initialize_logging(1),
])
def test_bad_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_filter_functions_accept_any_text_in_any_state(run_child):
    result = run_child("""
        import foundation as f
        from foundation import Level
        def change_every_filter():
            for text in ("", "a\\x00b", "ü" * 100_000, "x" * 100_000):
                for call in (f.set_file_level(text, Level.off), f.clear_file_level(text),
                             f.set_package_level(text, Level.off), f.clear_package_level(text)):
                    assert call is None
            f.set_file_level("a.py", Level.error)
        change_every_filter()  # before init
        f.initialize_logging()
        f._log_filtered(Level.warn, "/p/a.py", "dropped: the file filter set before init holds")
        change_every_filter()  # while running
        f.clear_filters()
        f.initialize_timer()
        f._log_filtered(Level.debug, "/p/a.py", "dropped: below info again")
        f._log_filtered(Level.info, "/p/a.py", "kept")
        f.shutdown_logging()
        change_every_filter()  # after shutdown
    """)
    assert [fields(line)[4] for line in result.log_lines()[1:]] == ["kept"]


def test_bad_text_never_crashes_a_running_logger(run_child):
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        big = "m" * (6 * 1024 * 1024)
        f._log_filtered(f.Level.info, "/p/" + "d/" * 50_000 + "a.py", "long path")
        f._log_filtered(f.Level.info, "/p/a.py", big)
        f.info(big)
        f._log_filtered(f.Level.info, "/p/a\\x00b.py", "nul in path")
        f._log_filtered(f.Level.info, None, "none path")
        for bad in ("\\ud800", b"bytes", None, 1.5):
            try:
                f._log_filtered(f.Level.info, "/p/a.py", bad)
            except TypeError:
                pass
        f.shutdown_logging()
    """)
    messages = [line.split(" | ", 4)[4] for line in result.kept_log_lines()[1:]]
    assert messages == ["long path", "m" * (6 * 1024 * 1024), "m" * (6 * 1024 * 1024), "nul in path", "none path"]
