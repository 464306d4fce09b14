"""A second native module built against the installed C++ package shares this module's state and types."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import foundation
from conftest import CONSUMER_SOURCE, PACKAGE_PREFIX
from test_logging_lifecycle import LINE


def test_package_layout():
    assert (PACKAGE_PREFIX / "include" / "varnel" / "foundation.hpp").is_file()
    assert (PACKAGE_PREFIX / "lib" / "libvarnel_foundation.so").is_file()
    assert (PACKAGE_PREFIX / "lib" / "cmake" / "varnel_foundation" / "varnel_foundationConfig.cmake").is_file()


def test_peers_compile_against_the_packages_spdlog_and_fmt(consumer_dir):
    deps = subprocess.run([str(Path(sys.executable).parent / "ninja"), "-C", str(consumer_dir), "-t", "deps"],
                          capture_output=True, text=True, check=True).stdout
    headers = {Path(line.strip()).resolve() for line in deps.splitlines() if re.search(r"/include/(spdlog|fmt)/", line)}
    assert headers and all(header.is_relative_to(PACKAGE_PREFIX.resolve()) for header in headers), sorted(headers)[:5]


def test_readme_module_returns_foundation_types_and_logs_its_file(run_child, consumer_dir):
    result = run_child(f"""
        import sys
        sys.path.insert(0, {str(consumer_dir)!r})
        import foundation as f, my_module
        f.initialize_logging()
        pose = my_module.calibrate(0.5)
        print("RESULT", type(pose) is f.Pose, pose.heading)
        f.shutdown_logging()
    """)
    assert "RESULT True 0.5" in result.stdout.splitlines()
    assert result.log_lines()[1].split(" | ")[3:] == [
        f"{_display_form(CONSUMER_SOURCE / 'my_module.cpp'):30}", "wheel calibrated"]


def test_extension_exports_only_its_entry_point():
    out = subprocess.run(["nm", "-D", "--defined-only", foundation.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_foundation"]


def test_shared_types_and_logging_state(run_child, consumer_dir):
    result = run_child(f"""
        import sys
        sys.path.insert(0, {str(consumer_dir)!r})
        import foundation as f, foundation_consumer as c
        config = c.default_pid_config()
        print("RESULT", type(config) is f.PidConfig, config.kp)
        pose = f.Pose()
        pose.position = [1, 2, 3]
        moved = c.moved(pose, 0.5)
        print("RESULT", type(moved) is f.Pose, repr(moved), repr(pose))
        print("RESULT", c.speed_mode(), end=" ")
        f.set_speed_mode_enabled(True)
        print(c.speed_mode())
        print("RESULT", c.global_level_allows(4))  # before init: the filtered path is closed for both
        f.initialize_logging()
        c.log_info("from the consumer")
        f.set_file_level("consumer.cpp", f.Level.error)
        c.log_info("silenced from Python")
        print("RESULT", c.global_level_allows(4), c.global_level_allows(3))
        f.shutdown_logging()
    """)
    assert [line for line in result.stdout.splitlines() if line.startswith("RESULT")] == [
        "RESULT True 4.0",
        "RESULT True Pose(position=[1.5, 2, 3], heading=1) Pose(position=[1, 2, 3], heading=0)",
        "RESULT False True", "RESULT False", "RESULT True False"]
    lines = result.log_lines()
    assert len(lines) == 2
    assert lines[1].split(" | ")[3:] == [f"{_display_form(CONSUMER_SOURCE / 'consumer.cpp'):30}", "from the consumer"]


def _display_form(path: Path) -> str:
    """The source column for an absolute path outside the child's project root."""
    *directories, name = str(path).strip("/").split("/")
    return "".join(d[0] + "." for d in directories) + name


def test_type_registered_elsewhere_first_fails_the_import(run_child, consumer_dir):
    result = run_child(f"""
        import sys
        sys.path.insert(0, {str(consumer_dir)!r})
        import foundation_intruder
        try:
            import foundation
        except ImportError as error:
            print(error)
        print("left behind:", "foundation" in sys.modules)
    """)
    assert result.stdout.splitlines() == ['generic_type: type "PidConfig" is already registered!',
                                          "left behind: False"]


@pytest.mark.parametrize("how", ["end of script", "sys.exit(3)"])
def test_exit_while_native_threads_log(run_child, consumer_dir, how):
    result = run_child(f"""
        import sys, time
        sys.path.insert(0, {str(consumer_dir)!r})
        import foundation as f, foundation_consumer as c
        f.initialize_logging()
        c.start_logging_threads(3)
        time.sleep(0.3)
        f.warn("python is leaving")
        {"sys.exit(3)" if how.startswith("sys.exit") else "pass"}
    """, check=False, env={"PYTHONUNBUFFERED": "1"}, timeout=60)
    assert result.returncode == (3 if how.startswith("sys.exit") else 0), result.stderr
    lines = result.kept_log_lines()
    assert any(line.endswith("| python is leaving") for line in lines)
    native = [line for line in lines if "| native thread " in line]
    assert len(native) > 100
    for line in lines:
        assert LINE.match(line), f"torn line: {line!r}"
