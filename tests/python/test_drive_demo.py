"""`make demo`'s script, run in a fresh process from another working directory."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

from test_logging_lifecycle import fields

DEMO = Path(__file__).resolve().parents[2] / "examples" / "drive_demo.py"
PHASE_ROW = re.compile(r"^(accelerate|cruise|turn|stop) +[\d.]+-[\d.]+ +([\d.]+) +([\d.]+) +[\d.]+ +[\d.]+$")
POSITION = re.compile(r"x (-?[\d.]+) m, y (-?[\d.]+) m")


def test_demo_tracks_the_commands_logs_through_the_filters_and_plots(tmp_path):
    result = subprocess.run([sys.executable, str(DEMO)], cwd=tmp_path, env={**os.environ, "MPLBACKEND": "Agg"},
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()

    rows = [match.groups() for match in map(PHASE_ROW.match, lines) if match]
    assert [phase for phase, _, _ in rows] == ["accelerate", "cruise", "turn", "stop"]
    assert all(float(error) < 0.2 for _, *errors in rows for error in errors), rows
    final, alone = (POSITION.search(next(line for line in lines if line.startswith(start)))
                    for start in ("Final pose", "The commands alone"))
    assert all(abs(float(a) - float(b)) < 0.05 for a, b in zip(final.groups(), alone.groups()))

    # Debug lines come from the package set to debug only; the rest of the demo stays at info.
    logged = {(source.rstrip(), level.rstrip())
              for _, _, level, source, _ in map(fields, (tmp_path / ".tamblin/logs/varnel.log").read_text().splitlines())}
    assert {("s.m.wheel.py", "debug"), ("d.odometry.py", "info")} <= logged
    assert {source for source, level in logged if level == "debug"} == {"s.m.wheel.py"}

    plot = tmp_path / "demo_response.png"
    if importlib.util.find_spec("matplotlib"):
        assert plot.read_bytes().startswith(b"\x89PNG")
    else:
        assert "Plot skipped: matplotlib is not installed" in result.stdout
        assert not plot.exists()
