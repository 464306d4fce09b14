import glob
import os
import re
import subprocess

import pytest

import foundation

REGISTRATION_ORDER = [
    # bind_pid
    "PidConfig", "PidController",
    # bind_logging
    "Level", "initialize_logging", "shutdown_logging", "initialize_timer", "set_global_level", "set_file_level",
    "clear_file_level", "clear_filters", "debug", "info", "warn", "error", "set_package_level",
    "clear_package_level", "_log_filtered",
    # bind_feedforward
    "PidGains", "Feedforward", "MotorCalibration", "FeedforwardController",
    # bind_geometry
    "ChassisVelocity", "Pose",
    # bind_speed_mode
    "is_speed_mode_enabled", "set_speed_mode_enabled",
    # bind_transport
    "Subscription", "get_transport", "shutdown_transport",
]


def test_docstring():
    assert foundation.__doc__ == "Python bindings for varnel-foundation"


def test_namespace_holds_exactly_the_registered_names_in_order():
    names = [name for name in vars(foundation) if not name.startswith("__")]
    assert names == REGISTRATION_ORDER


@pytest.mark.parametrize("name", [n for n in REGISTRATION_ORDER
                                  if isinstance(getattr(foundation, n), type) and n != "Level"])
def test_classes_have_no_instance_dict_and_compare_by_identity(name):
    cls = getattr(foundation, name)
    assert cls.__doc__ is None
    assert "__dict__" not in dir(cls)
    assert cls.__eq__ is object.__eq__
    assert cls.__hash__ is object.__hash__


VALUE_CLASSES = ["PidConfig", "PidGains", "Feedforward", "MotorCalibration", "ChassisVelocity", "Pose"]


@pytest.mark.parametrize("name", VALUE_CLASSES)
def test_value_classes_share_one_text_function(name):
    cls = getattr(foundation, name)
    assert vars(cls)["__str__"] is vars(cls)["__repr__"]


# The calls with lean entries (a fast path in front of the pybind11 function): a keyword call with
# the names their signature shows works as the positional call does; another name is refused.
@pytest.mark.parametrize("function, args, result", [
    (lambda: foundation.PidController().update, (0.5, 0.1), 0.5),
    (lambda: foundation._log_filtered, (foundation.Level.info, "/p/a.py", "dropped: logging is off"), None),
])
def test_lean_entries_take_the_keywords_of_their_signature(function, args, result):
    parameters = re.match(r"\w+\((?:self: [\w.]+, )?(.*)\) -> ", function().__doc__).group(1)
    names = [parameter.split(":")[0] for parameter in parameters.split(", ")]
    assert len(names) == len(args)
    assert function()(**dict(zip(names, args))) == result
    assert function()(*args[:1], **dict(zip(names[1:], args[1:]))) == result
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        function()(**dict(zip(names[:-1] + ["other"], args)))


def _other_pythons():
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    found = []
    for series in ("3.11", "3.13"):
        found += sorted(glob.glob(os.path.join(root or os.path.expanduser("~/.pyenv"),
                                               "versions", series + "*", "bin", "python" + series)))[:1]
    return found


LOAD_UNDER_OTHER_PYTHON = r"""
import importlib.machinery, importlib.util, os, sys
sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("foundation", sys.argv[1])
spec = importlib.util.spec_from_file_location("foundation", sys.argv[1], loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(str(error))
    print("left behind:", "foundation" in sys.modules)
    print("version:", sys.version)
else:
    print("imported")
"""


@pytest.mark.parametrize("python", _other_pythons() or [pytest.param(None, marks=pytest.mark.skip("no 3.11/3.13"))])
def test_other_interpreter_series_is_refused(python, tmp_path):
    out = subprocess.run([python, "-c", LOAD_UNDER_OTHER_PYTHON, foundation.__file__],
                         capture_output=True, text=True, timeout=60, cwd=tmp_path)
    lines = out.stdout.splitlines()
    version = out.stdout.split("version: ", 1)[1].rstrip("\n")
    assert lines[0] == ("Python version mismatch: module was compiled for Python 3.12, "
                        f"but the interpreter version is incompatible: {version}.")
    assert lines[1] == "left behind: False"



SUBINTERPRETER_IMPORT = """
import os
try:
    import foundation
    foundation.Pose()
    outcome = "imported"
except ImportError as error:
    outcome = f"ImportError: {error}"
os.write(1, (outcome + "\\n").encode())
"""
MAIN_ONLY = "ImportError: foundation supports the main interpreter only: it cannot be imported in a subinterpreter"


@pytest.mark.parametrize("before, run, expected", [
    ("import foundation", "_testcapi.run_in_subinterp(code)", MAIN_ONLY),
    ("import foundation", "_xxsubinterpreters.run_string(_xxsubinterpreters.create(isolated=False), code)",
     MAIN_ONLY),
    ("", "_xxsubinterpreters.run_string(_xxsubinterpreters.create(isolated=False), code)", MAIN_ONLY),
    ("import foundation", "_xxsubinterpreters.run_string(_xxsubinterpreters.create(), code)",
     "ImportError: module foundation does not support loading in subinterpreters"),
], ids=["legacy", "legacy-xx", "legacy-before-main", "isolated"])
def test_only_the_main_interpreter_imports_it(run_child, before, run, expected):
    result = run_child(f"""
        import _testcapi, _xxsubinterpreters
        {before}
        code = {SUBINTERPRETER_IMPORT!r}
        {run}
        import foundation
        pose = foundation.Pose()
        pose.position = [1, 2, 3]
        print(pose, foundation.PidConfig().kp, foundation.MotorCalibration(1, 2).pid)
    """, timeout=60)
    assert result.stdout.splitlines() == [expected, "Pose(position=[1, 2, 3], heading=0) 1.0 None"]


def test_importing_again_in_the_main_interpreter_gives_the_same_classes(run_child):
    result = run_child("""
        import importlib, sys
        import foundation
        first = foundation.Pose
        del sys.modules["foundation"]
        import foundation
        importlib.reload(foundation)
        print(foundation.Pose is first, foundation.Pose())
    """, timeout=60)
    assert result.stdout.splitlines() == ["True Pose(position=[0, 0, 0], heading=0)"]


# What a use of an instance made by `__new__` alone gives: the default instance's result, or TypeError.
UNINITIALISED = {
    "PidConfig": repr, "PidGains": repr, "Feedforward": repr, "MotorCalibration": repr, "ChassisVelocity": repr,
    "Pose": lambda pose: (repr(pose), pose.position.tolist()),
    "PidController": lambda pid: (pid.update(1.0, 0.1), pid.update(1.0, 0.1), pid.integral),  # pybind11, then lean
    "FeedforwardController": lambda controller: repr(controller.config),
    "Subscription": lambda subscription: subscription.subscription_id,
    "Level": lambda level: foundation._log_filtered(level, "/a.py", "x"),
}


@pytest.mark.parametrize("name", UNINITIALISED)
def test_instances_made_without_init_hold_defaults_or_refuse(name):
    cls, use = getattr(foundation, name), UNINITIALISED[name]
    if name in ("Subscription", "Level"):
        with pytest.raises(TypeError, match=f"^foundation.{name} object was made by __new__ without __init__"):
            use(cls.__new__(cls))
    else:
        assert use(cls.__new__(cls)) == use(cls())
