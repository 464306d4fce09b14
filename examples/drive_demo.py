"""A differential-drive robot, simulated in Python and driven by foundation's controllers.

Each wheel motor is a first-order system with static friction, run by a FeedforwardController
plus a PidController set up from its MotorCalibration; a ChassisVelocity command profile
(accelerate, cruise, turn, stop) becomes wheel speeds, and wheel odometry integrates a Pose.

`make demo` runs it from the repository root; by hand: `python examples/drive_demo.py` with
foundation installed. It logs to .tamblin/logs/varnel.log under the working directory, prints a
summary and writes demo_response.png there (when matplotlib is installed).
"""

import math
from dataclasses import dataclass, field

import foundation
from foundation import ChassisVelocity, Feedforward, Level, MotorCalibration, PidGains, Pose

from varnel.drive.kinematics import DifferentialDrive
from varnel.drive.odometry import Odometry, WheelOdometry
from varnel.logs import source_logger
from varnel.sim.motor import MotorModel, SimulatedMotor
from varnel.step.motion.wheel import PhaseStats, WheelController

log = source_logger(__file__)

PERIOD = 0.01         # s, control period
SUPPLY_VOLTAGE = 12.0
DRIVE = DifferentialDrive(track_width=0.30, wheel_radius=0.05)
COUNTS_PER_RAD = 4096 / (2.0 * math.pi)
PLOT_FILE = "demo_response.png"


@dataclass(frozen=True)
class Wheel:
    name: str
    motor: MotorModel              # the simulated hardware
    calibration: MotorCalibration  # what the robot was told about it
    feedforward: Feedforward


# The feedforward is each motor's identified model (kS friction, kV = 1/gain, kA = time constant/gain),
# a little off for the right one: the PID makes up the difference.
WHEELS = (
    Wheel("left", MotorModel(gain=2.5, time_constant=0.10, sliding_friction=0.6, breakaway=0.9,
                             counts_per_rad=COUNTS_PER_RAD),
          MotorCalibration(ticks_to_rad=1.0 / COUNTS_PER_RAD, vel_lpf_alpha=0.5, pid=PidGains(0.4, 3.0, 0.0)),
          Feedforward(kS=0.6, kV=0.4, kA=0.04)),
    Wheel("right", MotorModel(gain=2.3, time_constant=0.12, sliding_friction=0.7, breakaway=1.0,
                              counts_per_rad=COUNTS_PER_RAD),
          MotorCalibration(ticks_to_rad=1.0 / COUNTS_PER_RAD, vel_lpf_alpha=0.5, pid=PidGains(0.4, 3.0, 0.0)),
          Feedforward(kS=0.65, kV=0.42, kA=0.05)),
)


@dataclass(frozen=True)
class Phase:
    name: str
    duration: float           # s
    ramp: float               # s, to go linearly from the previous phase's command to `command`
    command: ChassisVelocity  # vx in m/s, wz in rad/s; held after the ramp

    def command_at(self, start: ChassisVelocity, elapsed: float) -> ChassisVelocity:
        share = min(1.0, elapsed / self.ramp) if self.ramp > 0.0 else 1.0
        return ChassisVelocity(start.vx + (self.command.vx - start.vx) * share,
                               start.vy + (self.command.vy - start.vy) * share,
                               start.wz + (self.command.wz - start.wz) * share)


PHASES = (
    Phase("accelerate", duration=1.0, ramp=1.0, command=ChassisVelocity(0.5, 0.0, 0.0)),
    Phase("cruise", duration=1.0, ramp=0.0, command=ChassisVelocity(0.5, 0.0, 0.0)),
    Phase("turn", duration=2.0, ramp=0.5, command=ChassisVelocity(0.3, 0.0, 1.2)),
    Phase("stop", duration=1.5, ramp=1.0, command=ChassisVelocity(0.0, 0.0, 0.0)),
)


@dataclass
class Run:
    """What the simulation recorded, step by step and phase by phase."""
    pose: Pose  # the odometry's, at the end
    times: list[float] = field(default_factory=list)
    commanded: tuple[list[float], list[float]] = field(default_factory=lambda: ([], []))  # wheel speeds
    measured: tuple[list[float], list[float]] = field(default_factory=lambda: ([], []))
    path: list[tuple[float, float]] = field(default_factory=list)            # odometry
    commanded_path: list[tuple[float, float]] = field(default_factory=list)  # the commands alone
    phases: list[tuple[Phase, float, list[PhaseStats]]] = field(default_factory=list)  # with start times


def simulate() -> Run:
    motors = [SimulatedMotor(wheel.motor) for wheel in WHEELS]
    controllers = [WheelController(wheel.name, wheel.calibration, wheel.feedforward, SUPPLY_VOLTAGE, motor.ticks)
                   for wheel, motor in zip(WHEELS, motors)]
    odometry = WheelOdometry(DRIVE, (WHEELS[0].calibration, WHEELS[1].calibration), (motors[0].ticks, motors[1].ticks))
    commanded = Odometry()
    run = Run(pose=odometry.pose)
    # Views of the poses' positions: they show every position the two odometries publish.
    position, commanded_position = odometry.pose.position, commanded.pose.position
    start = ChassisVelocity()
    time = 0.0
    for phase in PHASES:
        log(Level.info, f"{phase.name} for {phase.duration:g} s: {phase.command}, ramp {phase.ramp:g} s")
        phase_start = time
        for step in range(round(phase.duration / PERIOD)):
            command = phase.command_at(start, step * PERIOD)
            targets = DRIVE.wheel_speeds(command)
            following = DRIVE.wheel_speeds(phase.command_at(start, (step + 1) * PERIOD))
            for side, (controller, motor) in enumerate(zip(controllers, motors)):
                acceleration = (following[side] - targets[side]) / PERIOD
                motor.run(controller.update(targets[side], acceleration, motor.ticks, PERIOD), PERIOD)
                run.commanded[side].append(targets[side])
                run.measured[side].append(controller.speed)
            run.times.append(time)
            odometry.update((motors[0].ticks, motors[1].ticks))
            commanded.move(command.vx * PERIOD, command.wz * PERIOD)
            run.path.append((float(position[0]), float(position[1])))
            run.commanded_path.append((float(commanded_position[0]), float(commanded_position[1])))
            time += PERIOD
        run.phases.append((phase, phase_start, [controller.finish_phase(phase.name) for controller in controllers]))
        odometry.report(phase.name)
        start = phase.command
    return run


def summary(run: Run, speed_mode: bool) -> str:
    lines = ["", "Tracking per phase: RMS of commanded minus measured wheel speed, and the peak voltage",
             f"{'':<23}{'RMS error [rad/s]':>17}{'peak [V]':>14}",
             f"{'phase':<12}{'time [s]':<11}{'left':>8}{'right':>9}{'left':>8}{'right':>6}"]
    for phase, start, (left, right) in run.phases:
        lines.append(f"{phase.name:<12}{f'{start:.2f}-{start + phase.duration:.2f}':<11}"
                     f"{left.rms_error:>8.3f}{right.rms_error:>9.3f}{left.peak_voltage:>8.1f}{right.peak_voltage:>6.1f}")
    x, y, _ = run.pose.position
    end_x, end_y = run.commanded_path[-1]
    lines += ["",
              f"Final pose (wheel odometry): x {x:.3f} m, y {y:.3f} m, "
              f"heading {math.degrees(run.pose.heading):.1f} deg",
              f"The commands alone lead to:  x {end_x:.3f} m, y {end_y:.3f} m",
              f"SpeedMode: {'on (BEMF disabled)' if speed_mode else 'off'}. Only read here: the drive's SetSpeedMode "
              "step sets it,\n  once the motor firmware has acknowledged the BEMF-disable command."]
    return "\n".join(lines)


def plot(run: Run, path: str) -> bool:
    """Writes the wheel speeds and the path to `path`; False when matplotlib is not installed."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return False
    figure = Figure(figsize=(13, 6), layout="constrained")
    axes = figure.subplot_mosaic([["speeds", "path"], ["error", "path"]], width_ratios=[3, 2], height_ratios=[3, 1])
    speeds, error, route = axes["speeds"], axes["error"], axes["path"]
    for wheel, colour, commanded, measured in zip(WHEELS, ("tab:blue", "tab:orange"), run.commanded, run.measured):
        speeds.plot(run.times, commanded, "--", color=colour, label=f"{wheel.name} commanded")
        speeds.plot(run.times, measured, color=colour, linewidth=1, label=f"{wheel.name} measured")
        error.plot(run.times, [c - m for c, m in zip(commanded, measured)], color=colour, linewidth=0.8)
    for phase, start, _ in run.phases:
        speeds.axvline(start, color="0.8", linewidth=0.8)
        error.axvline(start, color="0.8", linewidth=0.8)
    phase_names = speeds.secondary_xaxis("top")
    phase_names.set_xticks([start + phase.duration / 2 for phase, start, _ in run.phases],
                           [phase.name for phase, _, _ in run.phases])
    phase_names.tick_params(length=0)
    speeds.set(ylabel="wheel speed [rad/s]", title="Wheel speeds")
    speeds.set_ylim(top=speeds.get_ylim()[1] * 1.2)  # room for the legend above the lines
    speeds.legend(loc="upper center", ncols=4, fontsize="small")
    error.set(xlabel="time [s]", ylabel="error [rad/s]", title="Commanded minus measured")
    error.sharex(speeds)
    route.plot(*zip(*run.commanded_path), "--", color="0.5", label="commands alone")
    route.plot(*zip(*run.path), color="tab:green", label="wheel odometry")
    route.set(xlabel="x [m]", ylabel="y [m]", title="Path", aspect="equal")
    route.legend(loc="upper left")
    figure.savefig(path, dpi=100)
    return True


def main() -> None:
    foundation.initialize_logging()
    try:
        # Wheel control (the files under varnel/step/motion) down to debug, everything else at info.
        foundation.set_global_level(Level.info)
        foundation.set_package_level("varnel/step/motion", Level.debug)
        speed_mode = foundation.is_speed_mode_enabled()
        log(Level.info, f"drive demo: {len(PHASES)} phases at {1 / PERIOD:g} Hz, SpeedMode {'on' if speed_mode else 'off'}")
        run = simulate()
        print(summary(run, speed_mode))
        if plot(run, PLOT_FILE):
            print(f"Plot: {PLOT_FILE} (commanded and measured wheel speeds, and the path)")
        else:
            print("Plot skipped: matplotlib is not installed (`make demo` installs it).")
    finally:
        foundation.shutdown_logging()


if __name__ == "__main__":
    main()
