"""The installed type stubs, checked with mypy from outside the source tree."""

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import foundation_logging

CORRECT_CLIENT = """
import logging
import numpy
import numpy.typing
import foundation as f
import foundation_logging
from foundation import Level

config: f.PidConfig = f.PidConfig(kp=2.0, ki=0.5)
config.kd = 0.1
pid = f.PidController(config)
out: float = pid.update(0.5, 0.01) + pid.integral + pid.derivative
pid.set_gains(1.0, 0.0, 0.0)
pid.reset()
text: str = str(config) + repr(config)

gains = f.PidGains(1.0, 0.0, 0.1)
calibration = f.MotorCalibration(0.01, 0.5, gains)
maybe: f.PidGains | None = calibration.pid
calibration.pid = None
calibration.ticks_to_rad = f.MotorCalibration().ticks_to_rad
controller = f.FeedforwardController(f.Feedforward(0.1, 2.0, 0.5))
controller.config.kV = 3.0
value: float = controller.calculate(1.0) + controller.calculate(1.0, acceleration=0.5)

velocity = f.ChassisVelocity(0.5, 0.0, 0.1)
velocity.wz = 0.2
pose = f.Pose()
pose.position = [1.0, 2.0, 3.0]
position: numpy.typing.NDArray[numpy.float32] = pose.position
pose.heading = 0.5

f.initialize_timer()
f.set_global_level(Level.info)
f.set_file_level("a.py", Level.debug)
f.clear_file_level("a.py")
f.set_package_level("varnel/step", Level.trace)
f.clear_package_level("varnel/step")
f.clear_filters()
f._log_filtered(Level.warn, __file__, "message")
if False:
    f.initialize_logging()
    f.debug("d"); f.info("i"); f.warn("w"); f.error("e")
    f.shutdown_logging()
level: Level = Level(3)
bridge: foundation_logging.FoundationHandler = foundation_logging.install(logging.INFO)
foundation_logging.log(Level.warn, "slipping", once=False, skip_first=True, every_n=10, throttle_sec=0.5)
bridge.setLevel("DEBUG")
for record in foundation_logging.read_log(".tamblin/logs", follow=False):
    seconds: float | None = record.elapsed
    lines: list[str] = record.message.splitlines()
number: int = Level.warn.value

enabled: bool = f.is_speed_mode_enabled()
f.set_speed_mode_enabled(enabled=True)
f.shutdown_transport()


def identify(subscription: f.Subscription) -> int:
    return subscription.subscription_id
"""

WRONG_CLIENT = """
import foundation as f
f.set_global_level(3)
f.PidController().update("1.0", 0.1)
f.set_file_level(b"a.py", f.Level.info)
"""


def run_mypy(tmp_path, code):
    (tmp_path / "client.py").write_text(textwrap.dedent(code))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "client.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_correct_use_passes_strict_mypy(tmp_path):
    result = run_mypy(tmp_path, CORRECT_CLIENT)
    assert result.returncode == 0, result.stdout


def test_wrong_argument_types_are_reported(tmp_path):
    result = run_mypy(tmp_path, WRONG_CLIENT)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["3", "4", "5"], result.stdout
    assert '"int"' in errors[0] and '"Level"' in errors[0]
    assert '"str"' in errors[1] and '"float"' in errors[1]


def test_foundation_logging_passes_strict_mypy(tmp_path):
    shutil.copytree(Path(foundation_logging.__file__).parent, tmp_path / "foundation_logging")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-p", "foundation_logging"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout
