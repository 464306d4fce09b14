"""Speed control of one drive wheel: feedforward for the commanded motion, a PID for the rest."""

import math
from dataclasses import dataclass

from foundation import Feedforward, FeedforwardController, Level, MotorCalibration, PidConfig, PidController

from varnel.logs import source_logger

log = source_logger(__file__)


@dataclass(frozen=True)
class PhaseStats:
    rms_error: float     # rad/s, commanded minus measured speed
    peak_voltage: float  # V, largest magnitude applied


class WheelController:
    """Measures the wheel's speed from its encoder and sets the motor voltage.

    The speed is the tick difference over the period, scaled by the calibration's `ticks_to_rad`
    and low-pass filtered with its `vel_lpf_alpha`; the PID takes the calibration's gains.
    """

    def __init__(self, name: str, calibration: MotorCalibration, feedforward: Feedforward,
                 supply_voltage: float, ticks: int) -> None:
        if calibration.pid is None:
            raise ValueError(f"{name} wheel: the calibration has no PID gains")
        gains = calibration.pid
        # The PID corrects what the feedforward misses, with a third of the supply at most.
        correction = supply_voltage / 3.0
        self.pid = PidController(PidConfig(kp=gains.kp, ki=gains.ki, kd=gains.kd, integral_max=1.0,
                                           integral_deadband=0.05, output_min=-correction, output_max=correction))
        self.feedforward = FeedforwardController(feedforward)
        self.name = name
        self.ticks_to_rad = calibration.ticks_to_rad
        self.filter_weight = calibration.vel_lpf_alpha
        self.supply_voltage = supply_voltage
        self.speed = 0.0  # rad/s, filtered measurement
        self._ticks = ticks
        self._squared_errors = 0.0
        self._steps = 0
        self._peak_voltage = 0.0
        log(Level.debug, f"{name}: {calibration}, {feedforward}")

    def update(self, target: float, acceleration: float, ticks: int, period: float) -> float:
        """The voltage for the coming period, for a target speed (rad/s) and acceleration (rad/s²).

        `ticks` is the encoder count now; the previous call, or the constructor, gave the last one.
        """
        raw_speed = (ticks - self._ticks) * self.ticks_to_rad / period
        self._ticks = ticks
        self.speed = self.filter_weight * raw_speed + (1.0 - self.filter_weight) * self.speed
        error = target - self.speed
        voltage = self.feedforward.calculate(target, acceleration) + self.pid.update(error, period)
        voltage = min(max(voltage, -self.supply_voltage), self.supply_voltage)
        self._squared_errors += error * error
        self._steps += 1
        self._peak_voltage = max(self._peak_voltage, abs(voltage))
        return voltage

    def finish_phase(self, phase: str) -> PhaseStats:
        """The tracking since the previous phase ended; starts counting afresh."""
        stats = PhaseStats(math.sqrt(self._squared_errors / max(self._steps, 1)), self._peak_voltage)
        log(Level.debug, f"{self.name}: {phase}: rms error {stats.rms_error:.3f} rad/s, "
                         f"peak {stats.peak_voltage:.2f} V, integral {self.pid.integral:.3f}")
        self._squared_errors = 0.0
        self._steps = 0
        self._peak_voltage = 0.0
        return stats
