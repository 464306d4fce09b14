"""Shared helpers: process-wide state (logging, flags, numpy loading) is tested in fresh interpreters."""

import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

import foundation

CONSUMER_SOURCE = Path(__file__).parent.parent / "consumer"
PACKAGE_PREFIX = Path(foundation.__file__).parent / "varnel_foundation"
# The sanitizer run preloads AddressSanitizer's runtime into every process of the suite.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@dataclass
class ChildResult:
    returncode: int
    stdout: str
    stderr: str
    cwd: Path

    def log_text(self, name: str = "varnel.log") -> str:
        return (self.cwd / ".tamblin" / "logs" / name).read_text(encoding="utf-8")

    def log_lines(self, name: str = "varnel.log") -> list[str]:
        return self.log_text(name).splitlines()

    def kept_log_lines(self) -> list[str]:
        """Every line of the rotated files and the current one, oldest first."""
        names = [f"varnel.{n}.log" for n in (3, 2, 1)] + ["varnel.log"]
        logs = self.cwd / ".tamblin" / "logs"
        return [line for name in names if (logs / name).exists() for line in self.log_lines(name)]


def run_python(code: str, cwd: Path, *, env: dict | None = None, check: bool = True,
               timeout: float = 120) -> ChildResult:
    """Runs `code` in a fresh interpreter with `cwd` as working directory."""
    child_env = dict(os.environ)
    child_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=child_env,
                          capture_output=True, text=True, timeout=timeout)
    result = ChildResult(proc.returncode, proc.stdout, proc.stderr, Path(cwd))
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return result


@pytest.fixture
def run_child(tmp_path):
    """run_child(code, **kw) runs `code` in a fresh interpreter inside a temporary directory."""
    def run(code: str, cwd: Path | None = None, **kwargs) -> ChildResult:
        return run_python(code, cwd or tmp_path, **kwargs)
    return run


@pytest.fixture(scope="session")
def consumer_dir(tmp_path_factory):
    """The consumer modules (tests/consumer), configured as the README tells users: with the Python
    executable alone."""
    build = tmp_path_factory.mktemp("consumer")
    tools = Path(sys.executable).parent
    env = {**os.environ, "PATH": f"{tools}:{os.environ['PATH']}"}
    subprocess.run([str(tools / "cmake"), "-S", str(CONSUMER_SOURCE), "-B", str(build), "-G", "Ninja",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, capture_output=True, env=env)
    subprocess.run([str(tools / "cmake"), "--build", str(build)], check=True, capture_output=True, env=env)
    return build
