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

