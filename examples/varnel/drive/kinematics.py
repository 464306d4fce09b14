"""Differential-drive kinematics: chassis velocity to wheel speeds, wheel travel to chassis motion."""

from dataclasses import dataclass

from foundation import ChassisVelocity


@dataclass(frozen=True)
class DifferentialDrive:
    track_width: float   # m, between the wheels' contact points
    wheel_radius: float  # m

    def wheel_speeds(self, velocity: ChassisVelocity) -> tuple[float, float]:
        """(left, right) wheel speeds in rad/s for `velocity` (vx in m/s, wz in rad/s)."""
        if velocity.vy != 0.0:
            raise ValueError(f"a differential drive cannot move sideways: {velocity}")
        half_turn = velocity.wz * self.track_width / 2.0
        return (velocity.vx - half_turn) / self.wheel_radius, (velocity.vx + half_turn) / self.wheel_radius

    def chassis_motion(self, left_turned: float, right_turned: float) -> tuple[float, float]:
        """(distance in m, heading change in rad) for the wheels' rotations in rad."""
        left = left_turned * self.wheel_radius
        right = right_turned * self.wheel_radius
        return (left + right) / 2.0, (right - left) / self.track_width
