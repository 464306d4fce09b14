"""Odometry: the chassis pose, integrated from chassis motion or from the wheels' encoder ticks."""

import math

from foundation import Level, MotorCalibration, Pose

from varnel.drive.kinematics import DifferentialDrive
from varnel.logs import source_logger

log = source_logger(__file__)


class Odometry:
    """Integrates chassis motion into `pose`: x and y in m, heading in rad (counter-clockwise).

    The sums are kept in double precision and published to the single-precision `pose` each move.
    """

    def __init__(self) -> None:
        self.pose = Pose()
        self._x = 0.0
        self._y = 0.0
        self._heading = 0.0

    def move(self, distance: float, turn: float) -> None:
        """Advances `distance` along an arc that turns the heading by `turn` (midpoint rule)."""
        middle = self._heading + turn / 2.0
        self._x += distance * math.cos(middle)
        self._y += distance * math.sin(middle)
        self._heading += turn
        self.pose.position = (self._x, self._y, 0.0)
        self.pose.heading = self._heading


class WheelOdometry(Odometry):
    """Odometry from the (left, right) encoder counts, scaled by each wheel's calibration."""

    def __init__(self, drive: DifferentialDrive, calibrations: tuple[MotorCalibration, MotorCalibration],
                 ticks: tuple[int, int]) -> None:
        super().__init__()
        self.drive = drive
        self.ticks_to_rad = tuple(calibration.ticks_to_rad for calibration in calibrations)
        self.ticks = ticks
        self._phase_start_ticks = ticks

    def update(self, ticks: tuple[int, int]) -> None:
        left, right = ((now - before) * scale for now, before, scale in zip(ticks, self.ticks, self.ticks_to_rad))
        self.ticks = ticks
        self.move(*self.drive.chassis_motion(left, right))

    def report(self, phase: str) -> None:
        x, y, _ = self.pose.position
        log(Level.info, f"after {phase}: x {x:.3f} m, y {y:.3f} m, heading {math.degrees(self.pose.heading):.1f} deg")
        counted = [now - before for now, before in zip(self.ticks, self._phase_start_ticks)]
        log(Level.debug, f"{phase}: {counted[0]} left and {counted[1]} right ticks")
        self._phase_start_ticks = self.ticks
