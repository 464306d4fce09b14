"""Input the module does not control: every function gets a clear exception or a correct result."""

import math

import pytest

import foundation as f
from foundation import Level

NAN, INF = math.nan, math.inf
HUGE_INT = 10 ** 400
SURROGATE = "\ud800"

# (call, expected exception) for every function and constructor of the module with a bad argument.
REFUSED = [
    (lambda: f.PidConfig(kp=None), TypeError),
    (lambda: f.PidConfig(kp="1"), TypeError),
    (lambda: f.PidConfig(kp=HUGE_INT), TypeError),
    (lambda: f.PidConfig(kp=b"1"), TypeError),
    (lambda: f.PidController(None), TypeError),
    (lambda: f.PidController(f.PidGains()), TypeError),
    (lambda: f.PidController().update(None, 0.1), TypeError),
    (lambda: f.PidController().update(1.0, "0.1"), TypeError),
    (lambda: f.PidController().set_gains(1.0, None, 0.0), TypeError),
    (lambda: f.PidController().reset(1), TypeError),
    (lambda: f.PidGains(kp=1.0), TypeError),
    (lambda: f.PidGains(1.0, 2.0, SURROGATE), TypeError),
    (lambda: f.Feedforward(None, None, None), TypeError),
    (lambda: f.MotorCalibration(1.0), TypeError),
    (lambda: f.MotorCalibration(1.0, 0.3, f.Feedforward()), TypeError),
    (lambda: setattr(f.MotorCalibration(), "pid", f.PidConfig()), TypeError),
    (lambda: f.FeedforwardController(f.PidGains()), TypeError),
    (lambda: f.FeedforwardController().calculate(None), TypeError),
    (lambda: f.FeedforwardController().calculate(1.0, b"x"), TypeError),
    (lambda: setattr(f.FeedforwardController(), "config", None), TypeError),
    (lambda: f.ChassisVelocity(1.0, 2.0, "3"), TypeError),
    (lambda: setattr(f.ChassisVelocity(), "vx", None), TypeError),
    (lambda: f.Pose(1.0), TypeError),
    (lambda: setattr(f.Pose(), "heading", "north"), TypeError),
    (lambda: setattr(f.Pose(), "position", None), TypeError),
    (lambda: setattr(f.Pose(), "position", ["a", "b", "c"]), TypeError),
    (lambda: setattr(f.Pose(), "position", [[1, 2, 3]]), TypeError),
    (lambda: f.set_speed_mode_enabled("yes"), TypeError),
    (lambda: f.set_speed_mode_enabled(b"\x01"), TypeError),
    (lambda: f.set_speed_mode_enabled([1]), TypeError),
    (lambda: f.is_speed_mode_enabled(True), TypeError),
    (lambda: f.Subscription(), TypeError),
    (lambda: f.get_transport(), RuntimeError),
    (lambda: f.shutdown_transport(None), TypeError),
    (lambda: Level(HUGE_INT), TypeError),
    (lambda: Level("info"), TypeError),
    (lambda: f.set_global_level(None), TypeError),
    (lambda: f.set_file_level("a.py", None), TypeError),
    (lambda: f.set_package_level(SURROGATE, Level.info), TypeError),
    (lambda: f.clear_file_level(b"a.py"), TypeError),
    (lambda: f._log_filtered(Level.info, SURROGATE, "x"), TypeError),
    (lambda: f._log_filtered(None, "/a.py", "x"), TypeError),
    (lambda: f.debug(SURROGATE), TypeError),
    (lambda: f.error(b"bytes"), TypeError),
]


@pytest.mark.parametrize("call, exception", REFUSED)
def test_refused_with_a_clear_exception(call, exception):
    with pytest.raises(exception):
        call()


def test_non_finite_numbers():
    pid = f.PidController(f.PidConfig(kp=INF))
    assert pid.update(1.0, 0.1) == 10.0  # inf clamps to the output bound
    assert [f.PidController().update(*args) for args in [(NAN, 0.1), (INF, 0.1), (1.0, NAN), (1.0, -INF)]] == [0.0] * 4
    controller = f.FeedforwardController(f.Feedforward(1.0, 1.0, 1.0))
    assert controller.calculate(INF) == INF and controller.calculate(-INF, 0.0) == -INF
    assert math.isnan(controller.calculate(NAN)) and math.isnan(controller.calculate(1.0, NAN))
    velocity = f.ChassisVelocity(NAN, INF, -INF)
    assert repr(velocity) == "ChassisVelocity(vx=nan, vy=inf, wz=-inf)"
    pose = f.Pose()
    pose.position = [NAN, INF, -INF]
    pose.heading = 1e300  # beyond single precision: stored as infinity
    assert repr(pose) == "Pose(position=[nan, inf, -inf], heading=inf)"
    config = f.MotorCalibration(NAN, INF)
    assert repr(config) == "MotorCalibration(ticks_to_rad=nan, vel_lpf_alpha=inf, pid=None)"


def test_level_outside_the_members_is_compared_as_a_number(run_child):
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        f.set_global_level(f.Level(99))
        f._log_filtered(f.Level.off, "/a.py", "dropped by threshold 99")
        f._log_filtered(f.Level(100), "/a.py", "written at info")
        f.shutdown_logging()
    """)
    lines = result.log_lines()[1:]
    assert len(lines) == 1 and lines[0].split(" | ")[2] == "info    " and lines[0].endswith("written at info")


def test_filtered_log_with_huge_texts(run_child):
    result = run_child("""
        import foundation as f
        f.initialize_logging()
        path = "/p/" + "x" * 100_000
        f.set_file_level("x" * 100_000, f.Level.trace)
        f._log_filtered(f.Level.trace, path, "by a 100000-character file filter")
        f.shutdown_logging()
    """)
    line = result.log_lines()[1]
    assert line.split(" | ")[3] == "p." + "x" * 100_000
    assert line.endswith("by a 100000-character file filter")
