import math
import random
import struct

import pytest

from foundation import PidConfig, PidController

FIELDS = ["kp", "ki", "kd", "integral_max", "integral_deadband", "derivative_lpf_alpha", "output_min", "output_max"]
DEFAULTS = [1.0, 0.0, 0.0, 10.0, 0.01, 0.1, -10.0, 10.0]
DEFAULT_TEXT = ("PidConfig(kp=1, ki=0, kd=0, integral_max=10, integral_deadband=0.01, "
                "derivative_lpf_alpha=0.1, output_min=-10, output_max=10)")


def test_config_defaults_and_text():
    config = PidConfig()
    assert [getattr(config, f) for f in FIELDS] == DEFAULTS
    assert str(config) == repr(config) == DEFAULT_TEXT


def test_config_by_position_and_keyword():
    values = [float(v) for v in range(1, 9)]
    assert [getattr(PidConfig(*values), f) for f in FIELDS] == values
    by_keyword = PidConfig(**dict(zip(reversed(FIELDS), reversed(values))))
    assert [getattr(by_keyword, f) for f in FIELDS] == values
    assert PidConfig(output_max=3).output_max == 3.0  # ints convert
    config = PidConfig(kp=2.5, ki=0.123456789)
    assert repr(config) == DEFAULT_TEXT.replace("kp=1, ki=0", "kp=2.5, ki=0.123457")


def test_config_fields_are_writable_and_unvalidated():
    config = PidConfig()
    config.output_min, config.output_max, config.integral_max = 5, -5, -1
    assert (config.output_min, config.output_max, config.integral_max) == (5.0, -5.0, -1.0)
    with pytest.raises(AttributeError):
        config.unknown = 1


@pytest.mark.parametrize("call", [
    lambda: PidConfig("1"),
    lambda: PidConfig(kq=1.0),
    lambda: PidController(config=None),
    lambda: PidController().update(1.0),
    lambda: PidController().update("1", 0.1),
    lambda: PidController().set_gains(1.0, 2.0),
    lambda: setattr(PidConfig(), "kp", "x"),
])
def test_bad_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_controller_surface():
    pid = PidController()
    assert pid.update(0.5, 0.1) == 0.5
    assert pid.integral == 0.05 and pid.derivative == 0.0
    for name in ("integral", "derivative"):
        with pytest.raises(AttributeError):
            setattr(pid, name, 1.0)
    assert not hasattr(pid, "config") and not hasattr(pid, "prev_error")
    assert PidController.__repr__ is object.__repr__
    assert PidController.__init__.__doc__.startswith(
        f"__init__(self: foundation.PidController, config: foundation.PidConfig = {DEFAULT_TEXT}) -> None")
    assert PidController.update.__doc__.startswith(
        "update(self: foundation.PidController, error: float, dt: float) -> float")


def test_update_call_forms():
    # Floats by position or keyword take the lean entry; the rest goes through pybind11.
    class Number(float):
        pass

    class Controller(PidController):
        pass

    forms = [lambda p: p.update(0.5, 0.1), lambda p: p.update(error=0.5, dt=0.1),
             lambda p: p.update(0.5, dt=0.1), lambda p: p.update(dt=0.1, error=0.5),
             lambda p: PidController.update(p, 0.5, 0.1), lambda p: p.update(Number(0.5), Number(0.1))]
    for form in forms:
        pid = PidController()
        assert form(pid) == 0.5 and pid.integral == 0.05
    assert Controller().update(0.5, 0.1) == 0.5
    assert PidController().update(1, 1) == 1.0  # ints convert


@pytest.mark.parametrize("call", [
    lambda pid: pid.update(0.5),
    lambda pid: pid.update(0.5, 0.1, 0.2),
    lambda pid: pid.update(0.5, error=0.1),
    lambda pid: pid.update(0.5, 0.1, x=1.0),
    lambda pid: pid.update(error=0.5),
    lambda pid: pid.update(None, 0.1),
])
def test_update_refusals_are_pybind11s(call):
    with pytest.raises(TypeError, match=r"^update\(\): incompatible function arguments"):
        call(PidController())


def test_controller_copies_its_config():
    config = PidConfig()
    pid = PidController(config=config)
    config.kp = 100.0
    assert pid.update(1.0, 0.1) == 1.0


class ReferencePid:
    """The controller's arithmetic step by step, in Python floats (IEEE doubles, no fused multiply-add)."""

    def __init__(self, config):
        self.c = [getattr(config, f) for f in FIELDS]
        self.reset()

    def reset(self):
        self.integral, self.prev, self.derivative, self.first = 0.0, 0.0, 0.0, True

    @staticmethod
    def limit(value, low, high):
        return high if value > high else low if value < low else value

    def set_gains(self, kp, ki, kd):
        self.c[0:3] = [kp, ki, kd]

    def update(self, error, dt):
        kp, ki, kd, imax, deadband, alpha, out_min, out_max = self.c
        if dt <= 0 or not math.isfinite(dt) or not math.isfinite(error):
            return 0.0
        if abs(error) > deadband:
            integral = self.limit(self.integral + error * dt, -imax, imax)
            if math.isfinite(integral):
                self.integral = integral
        d = 0.0
        if self.first:
            self.first = False
        else:
            a = self.limit(alpha, 0.0, 1.0)
            raw = (error - self.prev) / dt
            derivative = raw * a + (1.0 - a) * self.derivative
            self.derivative = derivative if math.isfinite(derivative) else 0.0
            d = self.derivative
        u = (ki * self.integral + kp * error) + kd * d
        self.prev = error
        return self.limit(0.0 if math.isnan(u) else u, out_min, out_max)


def same(a, b):
    """Bit for bit."""
    return struct.pack("<d", a) == struct.pack("<d", b)


SPECIAL = [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf, 1e-300, 1e300, -1e300]
SPECIAL_DT = [0.0, -0.1, math.nan, math.inf, 1e-9, 1e-310, 1e300]


@pytest.mark.parametrize("seed", range(40))
def test_bit_exact_with_reference_arithmetic(seed):
    rng = random.Random(seed)
    rate = 0.05 if seed % 2 else 0.3  # how often a value is special: rarely, or often enough to overflow

    def value(low, high, special=SPECIAL):
        return rng.choice(special) if rng.random() < rate else rng.uniform(low, high)

    config = PidConfig(*[rng.uniform(-3, 3) for _ in range(3)], rng.choice([math.inf, rng.uniform(-1, 20)]),
                       rng.uniform(0, 0.5), rng.uniform(-0.5, 1.5), rng.uniform(-30, 5), rng.uniform(-5, 30))
    pid, ref = PidController(config), ReferencePid(config)
    for step in range(300):
        roll = rng.random()
        if roll < 0.02:
            pid.reset(), ref.reset()
        elif roll < 0.04:
            gains = [value(-3, 3) for _ in range(3)]
            pid.set_gains(*gains), ref.set_gains(*gains)
        else:
            error, dt = value(-10, 10), value(0, 0.2, SPECIAL_DT)
            output, expected = pid.update(error, dt), ref.update(error, dt)
            assert same(output, expected), f"step {step}: {output!r} != {expected!r}"
            assert same(pid.integral, ref.integral) and math.isfinite(pid.integral)
            assert same(pid.derivative, ref.derivative) and math.isfinite(pid.derivative)
            assert not math.isnan(output)
