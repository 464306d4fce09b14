import gc
import weakref

import numpy as np
import pytest

from foundation import ChassisVelocity, Pose

VECTOR_TYPE = "numpy.ndarray[numpy.float32[3, 1]]"


class Floaty:
    def __float__(self):
        return 2.5


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("make, expected", [
    (lambda: ChassisVelocity(), (0.0, 0.0, 0.0)),
    (lambda: ChassisVelocity(1.5, -0.25, 3), (1.5, -0.25, 3.0)),
    (lambda: ChassisVelocity(wz=3.0, vx=1.0, vy=2.0), (1.0, 2.0, 3.0)),
    (lambda: ChassisVelocity(Floaty(), Index(), True), (2.5, 7.0, 1.0)),
])
def test_velocity_constructor_forms(make, expected):
    velocity = make()
    assert (velocity.vx, velocity.vy, velocity.wz) == expected


@pytest.mark.parametrize("call", [
    lambda: ChassisVelocity(vx=1.0),  # the full form has no defaults
    lambda: ChassisVelocity(1.0, 2.0),
    lambda: ChassisVelocity("1", 2.0, 3.0),
    lambda: Pose([1, 2, 3]),
    lambda: Pose(heading=1.0),
])
def test_constructor_refusals(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("value, text", [
    (ChassisVelocity(), "ChassisVelocity(vx=0, vy=0, wz=0)"),
    (ChassisVelocity(1.5, -0.25, 3), "ChassisVelocity(vx=1.5, vy=-0.25, wz=3)"),
    (Pose(), "Pose(position=[0, 0, 0], heading=0)"),
])
def test_text_forms(value, text):
    assert repr(value) == str(value) == text


@pytest.mark.parametrize("make, name", [(ChassisVelocity, "vx"), (ChassisVelocity, "wz"), (Pose, "heading")])
def test_scalar_fields_convert_numbers_and_refuse_the_rest(make, name):
    value = make()
    setattr(value, name, 0.5)
    for accepted, stored in [(3, 3.0), (Floaty(), 2.5), (Index(), 7.0)]:
        setattr(value, name, accepted)
        assert getattr(value, name) == stored
    for refused in ["1.0", None, [1.0]]:
        with pytest.raises(TypeError):
            setattr(value, name, refused)
        assert getattr(value, name) == 7.0


def test_velocity_is_double_and_heading_single_precision():
    velocity = ChassisVelocity()
    velocity.vx = 0.1
    assert velocity.vx == 0.1
    pose = Pose()
    pose.heading = 0.1
    assert pose.heading == 0.10000000149011612
    assert str(pose) == "Pose(position=[0, 0, 0], heading=0.1)"


def test_position_reads_as_a_read_only_float32_view_of_the_pose():
    pose = Pose()
    array = pose.position
    assert (array.dtype, array.shape, array.strides) == (np.float32, (3,), (4,))
    assert array.base is pose
    assert not array.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        array[0] = 1.0
    copy = array.copy()
    copy[0] = 1.0  # a copy is the writable way
    assert pose.position[0] == 0.0

    pose.position = [4, 5, 6]
    assert array.tolist() == [4.0, 5.0, 6.0]  # the earlier view sees the assignment
    assert str(pose) == "Pose(position=[4, 5, 6], heading=0)"


def test_position_view_keeps_the_pose_alive():
    pose = Pose()
    pose.position = (1.5, 2.5, 3.5)
    owner = weakref.ref(pose)
    array = pose.position
    del pose
    gc.collect()
    assert owner() is not None
    assert array.tolist() == [1.5, 2.5, 3.5]
    del array
    gc.collect()
    assert owner() is None


@pytest.mark.parametrize("value, expected", [
    ([1, 2, 3], [1.0, 2.0, 3.0]),
    ((1.5, -2, 3), [1.5, -2.0, 3.0]),
    (np.array([1, 2, 3], dtype=np.int64), [1.0, 2.0, 3.0]),
    (np.array([7, 8, 9], dtype=np.float32), [7.0, 8.0, 9.0]),
    (np.array([[0.1], [0.2], [0.3]]), np.array([0.1, 0.2, 0.3], dtype=np.float32).tolist()),  # rounded
    (np.arange(6.0)[::2], [0.0, 2.0, 4.0]),  # strided
    (np.array([True, False, True]), [1.0, 0.0, 1.0]),
    ([True, np.uint16(2), 3.5], [1.0, 2.0, 3.5]),
    ([[1], [2], [3]], [1.0, 2.0, 3.0]),
])
def test_position_accepts_three_vectors_and_three_by_one(value, expected):
    pose = Pose()
    pose.position = value
    assert pose.position.tolist() == expected
    assert pose.position.dtype == np.float32


@pytest.mark.parametrize("value", [
    np.zeros((1, 3)), [[1, 2, 3]], [1, 2], np.zeros(4), 5.0, np.float32(1.0), np.zeros((3, 1, 1)),
    ["a", "b", "c"], "abc", None, {}, np.zeros((3, 2)),
    # real numbers only, as for heading: no None, text, complex values or other objects
    [None] * 3, ["1.0"] * 3, np.array(["1", "2", "3"]), [1j, 0, 0], np.ones(3, dtype=complex),
    [Floaty()] * 3, np.array([1, 2, 3], dtype=object),
], ids=repr)
def test_position_refuses_other_shapes_and_values_and_leaves_the_pose_unchanged(value):
    pose = Pose()
    pose.position = [1, 2, 3]
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pose.position = value
    assert pose.position.tolist() == [1.0, 2.0, 3.0]


def test_position_signatures_name_the_vector_type():
    assert Pose.position.fget.__doc__ == f"(self: foundation.Pose) -> {VECTOR_TYPE}\n"
    assert Pose.position.fset.__doc__ == f"(self: foundation.Pose, arg0: {VECTOR_TYPE}) -> None\n"


def test_numpy_is_loaded_at_the_first_position_access(run_child):
    result = run_child("""
        import sys
        import foundation
        pose = foundation.Pose()
        pose.heading = 1.0
        print("numpy" in sys.modules, str(pose))
        pose.position
        print("numpy" in sys.modules)
    """)
    assert result.stdout.splitlines() == ["False Pose(position=[0, 0, 0], heading=1)", "True"]


def test_position_without_numpy_raises_module_not_found_every_time(run_child):
    result = run_child("""
        import sys
        sys.modules["numpy"] = None  # numpy missing
        import foundation
        pose = foundation.Pose()

        def attempt(action):
            try:
                action()
            except ModuleNotFoundError as error:
                return "ModuleNotFoundError: " + error.name
            return "ok"

        def write():
            pose.position = [1, 2, 3]

        print(attempt(lambda: pose.position), attempt(lambda: pose.position), attempt(write), str(pose))
        del sys.modules["numpy"]  # numpy there after all
        print(attempt(write), attempt(lambda: pose.position), str(pose))
    """)
    assert result.stdout.splitlines() == [
        "ModuleNotFoundError: numpy ModuleNotFoundError: numpy ModuleNotFoundError: numpy "
        "Pose(position=[0, 0, 0], heading=0)",
        "ok ok Pose(position=[1, 2, 3], heading=0)",
    ]
