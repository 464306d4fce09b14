import numpy as np
import pytest

from foundation import is_speed_mode_enabled, set_speed_mode_enabled

SET_DOC = ("Set the process-wide SpeedMode flag. Should only be called by the `SetSpeedMode` step after the "
           "firmware has acknowledged the BEMF-disable command; calling it directly bypasses the firmware "
           "handshake and leaves the library/firmware state inconsistent.")


@pytest.fixture(autouse=True)
def restore_flag():
    """The flag is process-wide: every test leaves it as it found it."""
    before = is_speed_mode_enabled()
    yield
    set_speed_mode_enabled(before)


def test_docstrings():
    assert is_speed_mode_enabled.__doc__ == (
        "is_speed_mode_enabled() -> bool\n\nReturn True if SpeedMode is currently active (BEMF disabled).\n")
    assert set_speed_mode_enabled.__doc__ == f"set_speed_mode_enabled(enabled: bool) -> None\n\n{SET_DOC}\n"


def test_set_and_read_back():
    assert set_speed_mode_enabled(True) is None
    assert is_speed_mode_enabled() is True
    set_speed_mode_enabled(True)
    assert is_speed_mode_enabled() is True
    set_speed_mode_enabled(enabled=False)
    assert is_speed_mode_enabled() is False
    set_speed_mode_enabled(enabled=True)
    assert is_speed_mode_enabled() is True


class Truthy:
    def __bool__(self):
        return True


class BrokenTruth:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize("value, expected", [
    (1, True), (2, True), (0.5, True), (-1, True), (float("nan"), True), (Truthy(), True),
    (0, False), (0.0, False), (-0.0, False), (None, False),
    (np.bool_(True), True), (np.bool_(False), False), (np.int8(3), True), (np.float64(0.0), False),
], ids=repr)
def test_lenient_conversion(value, expected):
    set_speed_mode_enabled(not expected)
    set_speed_mode_enabled(value)
    assert is_speed_mode_enabled() is expected


@pytest.mark.parametrize("value", ["enabled", "", b"1", [], [1], (), {}, BrokenTruth()], ids=repr)
@pytest.mark.parametrize("state", [False, True])
def test_refused_values_leave_the_flag_alone(value, state):
    set_speed_mode_enabled(state)
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        set_speed_mode_enabled(value)
    with pytest.raises(TypeError):
        set_speed_mode_enabled()
    assert is_speed_mode_enabled() is state


def test_starts_disabled_and_survives_a_reimport(run_child):
    result = run_child("""
        import sys
        import foundation
        print(foundation.is_speed_mode_enabled())
        foundation.set_speed_mode_enabled(True)
        del sys.modules["foundation"]
        import foundation as again
        print(again.is_speed_mode_enabled())
    """)
    assert result.stdout.split() == ["False", "True"]

