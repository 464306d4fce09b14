"""A simulated wheel motor: first-order speed response, static and sliding friction, an encoder."""

import math
from dataclasses import dataclass

PHYSICS_STEP = 0.001  # s; the motor is integrated in steps this long, whatever the control period


@dataclass(frozen=True)
class MotorModel:
    gain: float              # rad/s of steady-state speed per volt
    time_constant: float     # s
    sliding_friction: float  # V lost to friction while the wheel turns
    breakaway: float         # V the wheel needs to start turning from rest
    counts_per_rad: float    # encoder resolution


class SimulatedMotor:
    """Turns the applied voltage into wheel speed and encoder ticks."""

    def __init__(self, model: MotorModel) -> None:
        self.model = model
        self.speed = 0.0  # rad/s
        self.angle = 0.0  # rad

    @property
    def ticks(self) -> int:
        return math.floor(self.angle * self.model.counts_per_rad)

    def run(self, voltage: float, duration: float) -> None:
        """Holds `voltage` for `duration` seconds."""
        steps = max(1, round(duration / PHYSICS_STEP))
        step = duration / steps
        decay = math.exp(-step / self.model.time_constant)
        for _ in range(steps):
            self._advance(voltage, step, decay)

    def _advance(self, voltage: float, step: float, decay: float) -> None:
        model = self.model
        if self.speed == 0.0 and abs(voltage) <= model.breakaway:
            return  # static friction holds the wheel
        direction = math.copysign(1.0, self.speed if self.speed != 0.0 else voltage)
        steady = model.gain * (voltage - direction * model.sliding_friction)
        speed = steady + (self.speed - steady) * decay  # exact for a constant voltage over the step
        if speed * direction < 0.0:
            speed = 0.0  # friction stops the wheel; it cannot turn it backwards
        self.angle += 0.5 * (self.speed + speed) * step
        self.speed = speed
