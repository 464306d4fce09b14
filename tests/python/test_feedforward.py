import gc
import math
import random
import struct
import weakref

import pytest

from foundation import Feedforward, FeedforwardController, MotorCalibration, PidConfig, PidGains

TICKS_TO_RAD = 0.004363323129985824


def fields(obj, names):
    return tuple(getattr(obj, name) for name in names)


@pytest.mark.parametrize("make, names, expected", [
    (lambda: PidGains(), "kp ki kd", (1.0, 0.0, 0.0)),
    (lambda: PidGains(2.0, 0.0, 0.1), "kp ki kd", (2.0, 0.0, 0.1)),
    (lambda: PidGains(kd=3.0, kp=1.0, ki=2.0), "kp ki kd", (1.0, 2.0, 3.0)),
    (lambda: PidGains(1, 2, 3), "kp ki kd", (1.0, 2.0, 3.0)),
    (lambda: Feedforward(), "kS kV kA", (0.0, 0.0, 0.0)),
    (lambda: Feedforward(0.1, kA=0.5, kV=2), "kS kV kA", (0.1, 2.0, 0.5)),
    (lambda: MotorCalibration(), "ticks_to_rad vel_lpf_alpha pid", (TICKS_TO_RAD, 0.5, None)),
    (lambda: MotorCalibration(1, 2), "ticks_to_rad vel_lpf_alpha pid", (1.0, 2.0, None)),
    (lambda: MotorCalibration(1.0, 0.3, None), "ticks_to_rad vel_lpf_alpha pid", (1.0, 0.3, None)),
    (lambda: MotorCalibration(vel_lpf_alpha=0.3, ticks_to_rad=1.0, pid=None), "ticks_to_rad vel_lpf_alpha pid",
     (1.0, 0.3, None)),
])
def test_constructor_forms(make, names, expected):
    values = fields(make(), names.split())
    assert values == expected
    assert all(type(v) is float for v in values if v is not None)


@pytest.mark.parametrize("call", [
    lambda: PidGains(kp=1.0),  # no partial forms
    lambda: PidGains(1.0, 2.0),
    lambda: PidGains("1", 2.0, 3.0),
    lambda: Feedforward(kS=1.0),
    lambda: Feedforward(1.0, 2.0, 3.0, 4.0),
    lambda: MotorCalibration(1.0),
    lambda: MotorCalibration(1.0, 0.3, PidConfig()),  # PidGains and PidConfig do not convert
    lambda: MotorCalibration(1.0, 0.3, "pid"),
    lambda: FeedforwardController(None),
    lambda: FeedforwardController(PidGains()),
    lambda: FeedforwardController().calculate(),
    lambda: FeedforwardController().calculate("1.0"),
    lambda: setattr(MotorCalibration(), "pid", PidConfig()),
    lambda: setattr(FeedforwardController(), "config", None),
    lambda: setattr(Feedforward(), "kS", "0.1"),
])
def test_arguments_that_fit_no_form_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_partial_form_error_lists_the_two_forms():
    with pytest.raises(TypeError) as error:
        PidGains(kp=1.0)
    assert str(error.value) == (
        "__init__(): incompatible constructor arguments. The following argument types are supported:\n"
        "    1. foundation.PidGains()\n"
        "    2. foundation.PidGains(kp: float, ki: float, kd: float)\n"
        "\n"
        "Invoked with: kwargs: kp=1.0")


@pytest.mark.parametrize("cls, signatures", [
    (PidGains, ["(self: foundation.PidGains) -> None",
                "(self: foundation.PidGains, kp: float, ki: float, kd: float) -> None"]),
    (Feedforward, ["(self: foundation.Feedforward) -> None",
                   "(self: foundation.Feedforward, kS: float, kV: float, kA: float) -> None"]),
    (MotorCalibration, [
        "(self: foundation.MotorCalibration) -> None",
        "(self: foundation.MotorCalibration, ticks_to_rad: float, vel_lpf_alpha: float) -> None",
        "(self: foundation.MotorCalibration, ticks_to_rad: float, vel_lpf_alpha: float, "
        "pid: Optional[foundation.PidGains] = None) -> None"]),
])
def test_constructor_help_lists_the_forms_in_order(cls, signatures):
    listed = "\n\n".join(f"{n}. __init__{s}" for n, s in enumerate(signatures, 1))
    assert cls.__init__.__doc__ == f"__init__(*args, **kwargs)\nOverloaded function.\n\n{listed}\n"


def test_controller_help_shows_the_default_config():
    assert FeedforwardController.__init__.__doc__ == (
        "__init__(self: foundation.FeedforwardController, "
        "config: foundation.Feedforward = Feedforward(kS=0, kV=0, kA=0)) -> None\n")
    assert FeedforwardController.calculate.__doc__ == (
        "calculate(self: foundation.FeedforwardController, velocity: float, acceleration: float = 0.0) -> float\n")
    assert MotorCalibration.pid.fget.__doc__.startswith(
        "(self: foundation.MotorCalibration) -> Optional[foundation.PidGains]")


@pytest.mark.parametrize("value, text", [
    (PidGains(), "PidGains(kp=1, ki=0, kd=0)"),
    (Feedforward(), "Feedforward(kS=0, kV=0, kA=0)"),
    (MotorCalibration(), "MotorCalibration(ticks_to_rad=0.00436332, vel_lpf_alpha=0.5, pid=None)"),
    (MotorCalibration(1.0, 0.3, PidGains(2.0, 0.0, 0.1)),
     "MotorCalibration(ticks_to_rad=1, vel_lpf_alpha=0.3, pid=PidGains(kp=2, ki=0, kd=0.1))"),
])
def test_text_forms(value, text):
    assert repr(value) == str(value) == text


def test_controller_has_no_text_form_of_its_own():
    assert FeedforwardController.__repr__ is object.__repr__


def test_pid_view_changes_the_calibration_and_keeps_it_alive():
    calibration = MotorCalibration(1.0, 0.3, PidGains(2.0, 0.0, 0.1))
    view = calibration.pid
    view.kp = 5
    assert str(calibration).endswith("pid=PidGains(kp=5, ki=0, kd=0.1))")
    owner = weakref.ref(calibration)
    del calibration
    gc.collect()
    view.kd = 0.25
    assert str(owner()).endswith("pid=PidGains(kp=5, ki=0, kd=0.25))")
    del view
    gc.collect()
    assert owner() is None  # and lets it go with the last view


def test_pid_is_copied_in_and_none_empties_it():
    gains = PidGains(2.0, 0.0, 0.1)
    calibration = MotorCalibration(1.0, 0.3, gains)
    gains.kp = 9.0
    assert calibration.pid.kp == 2.0
    assert calibration.pid is not gains

    replacement = PidGains(3.0, 4.0, 5.0)
    calibration.pid = replacement
    replacement.ki = 9.0
    assert repr(calibration.pid) == "PidGains(kp=3, ki=4, kd=5)"

    calibration.pid = None
    assert calibration.pid is None
    assert str(calibration) == "MotorCalibration(ticks_to_rad=1, vel_lpf_alpha=0.3, pid=None)"


@pytest.mark.parametrize("use", [
    lambda view: view.kp,
    lambda view: setattr(view, "kd", 99.0),
    repr,
    lambda view: MotorCalibration(1.0, 0.3, view),
    lambda view: setattr(MotorCalibration(), "pid", view),
], ids=["read", "write", "repr", "construct", "assign"])
def test_pid_view_refuses_every_use_while_the_calibration_has_no_gains(use):
    calibration = MotorCalibration(1.0, 0.3, PidGains(2.0, 0.0, 0.1))
    view = calibration.pid
    calibration.pid = None
    with pytest.raises(RuntimeError, match="^MotorCalibration.pid is None$"):
        use(view)
    calibration.pid = PidGains(3.0, 4.0, 5.0)  # gains again: the view shows them
    view.kp = 6.0
    assert repr(view) == "PidGains(kp=6, ki=4, kd=5)" and calibration.pid.kp == 6.0


def test_config_view_changes_the_controller_and_keeps_it_alive():
    passed = Feedforward(0.1, 2.0, 0.5)
    controller = FeedforwardController(passed)
    passed.kV = 100.0  # the controller copied it
    assert controller.calculate(1.0) == pytest.approx(2.1)
    view = controller.config
    view.kV = 3.0
    assert controller.calculate(1.0) == pytest.approx(3.1)
    owner = weakref.ref(controller)
    del controller
    gc.collect()
    view.kS = 1.0
    assert owner().calculate(1.0) == 4.0
    del view
    gc.collect()
    assert owner() is None


def test_config_is_copied_in():
    controller = FeedforwardController()
    assigned = Feedforward(0.0, 2.0, 0.0)
    controller.config = assigned
    assigned.kV = 7.0
    assert controller.calculate(1.0) == 2.0
    assert controller.config is not assigned


def reference_calculate(ff, velocity, acceleration):
    """The feedforward arithmetic step by step, in Python floats."""
    base = velocity * ff.kV + acceleration * ff.kA
    if velocity == 0.0:
        return base
    return math.copysign(1.0, velocity) * ff.kS + base


def bits(x):
    # NaN payloads depend on operand order, which IEEE leaves open: every NaN counts as one value.
    return "nan" if math.isnan(x) else struct.pack("<d", x)


SPECIAL = [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, -1e300]


@pytest.mark.parametrize("seed", range(20))
def test_bit_exact_with_reference_arithmetic(seed):
    rng = random.Random(seed)

    def value():
        return rng.choice(SPECIAL) if rng.random() < 0.2 else rng.uniform(-10.0, 10.0)

    for _ in range(50):
        coefficients = Feedforward(value(), value(), value())
        controller = FeedforwardController(coefficients)
        for _ in range(20):
            velocity, acceleration = value(), value()
            assert bits(controller.calculate(velocity=velocity, acceleration=acceleration)) == bits(
                reference_calculate(coefficients, velocity, acceleration)), (coefficients, velocity, acceleration)
