"""foundation_logging.log(): the filtered road from the calling file, within the limits of the call site."""

from collections import Counter

import pytest

from foundation import Level
from foundation_logging import log
from test_logging_lifecycle import fields

SCENARIO = """
import threading, time
import foundation as f
from foundation import Level
from foundation_logging import log
f.initialize_logging()
{body}
f.shutdown_logging()
"""

# Each case runs at sites of its own, all in one process; its messages start with its name.
# Expected: the number of lines with each message, the name left out.
CASES = {
    "no limit, a Level made afresh": ("for _ in range(3): log(Level(2), case)", {"": 3}),
    "once": ("for _ in range(1000): log(Level.info, case, once=True)", {"": 1}),
    "every_n": ("for _ in range(1000): log(Level.info, case, every_n=10)", {"": 1, " (9 suppressed)": 99}),
    "skip_first": ("for _ in range(1000): log(Level.info, case, skip_first=True)", {" (1 suppressed)": 1, "": 998}),
    "throttle": ("for _ in range(1000): log(Level.info, case, throttle_sec=3600)", {"": 1}),
    "throttle 0 limits nothing": ("for _ in range(3): log(Level.info, case, throttle_sec=0)", {"": 3}),
    # Two calls on one line are one site: the second comes well within the period, the first of
    # the next round after it.
    "throttle, after the period": ("for _ in range(2):\n"
                                   "    log(Level.info, case, throttle_sec=0.5); log(Level.info, case, throttle_sec=0.5)\n"
                                   "    time.sleep(0.5)", {"": 1, " (1 suppressed)": 1}),
    "skip_first, then every_n": ("for _ in range(7): log(Level.info, case, skip_first=True, every_n=3)",
                                 {" (1 suppressed)": 1, " (2 suppressed)": 1}),
    # Only the calls at warn pass the threshold (0, 3, 6, 9), and only they count.
    "thresholds first": ("f.set_global_level(Level.warn)\n"
                         "for i in range(10): log(Level.warn if i % 3 == 0 else Level.info, f'{case}: {i}', every_n=2)\n"
                         "f.set_global_level(Level.info)", {": 0": 1, ": 6 (1 suppressed)": 1}),
    "once, below the threshold first": ("for level in (Level.debug, Level.debug, Level.info, Level.info):\n"
                                        "    log(level, f'{case}: {level.name}', once=True)", {": info": 1}),
    "two lines, two sites": ("for _ in range(3):\n"
                             "    log(Level.info, case + ': a', once=True)\n"
                             "    log(Level.info, case + ': b', once=True)", {": a": 1, ": b": 1}),
    "one line, one site": ("for _ in range(3): log(Level.info, case + ': a', once=True); log(Level.info, case + ': b', once=True)",
                           {": a": 1}),
    "threads share a site": ("def work():\n"
                             "    for _ in range(250): log(Level.info, case, every_n=10)\n"
                             "threads = [threading.Thread(target=work) for _ in range(4)]\n"
                             "for thread in threads: thread.start()\n"
                             "for thread in threads: thread.join()", {"": 1, " (9 suppressed)": 99}),
}


def test_limits(run_child):
    body = "".join(f"case = {name!r}\n{code}\n" for name, (code, _) in CASES.items())
    result = run_child(SCENARIO.format(body=body))
    lines = Counter(fields(line)[4] for line in result.log_lines()[1:])
    for name, (_, expected) in CASES.items():
        assert {message.removeprefix(name): count for message, count in lines.items()
                if message == name or message.startswith((f"{name}: ", f"{name} ("))} == expected, name


def test_the_callers_file_is_the_path(run_child, tmp_path):
    (tmp_path / "varnel" / "step" / "motion").mkdir(parents=True)
    (tmp_path / "varnel" / "step" / "motion" / "wheel.py").write_text(
        "from foundation import Level\nfrom foundation_logging import log\n"
        "def slip(): log(Level.warn, 'wheel slipping', every_n=2)\n")
    result = run_child("""
        import foundation as f
        from foundation import Level
        from varnel.step.motion import wheel
        f.initialize_logging()
        f.set_file_level("wheel.py", Level.error)
        wheel.slip()  # below its file's threshold: not counted
        f.clear_file_level("wheel.py")
        for _ in range(3):
            wheel.slip()
        f.shutdown_logging()
    """)
    assert [(fields(line)[3].rstrip(), fields(line)[4]) for line in result.log_lines()[1:]] == [
        ("s.m.wheel.py", "wheel slipping"), ("s.m.wheel.py", "wheel slipping (1 suppressed)")]


def test_silent_and_counting_nothing_while_logging_is_not_running(run_child):
    result = run_child("""
        import foundation as f
        from foundation import Level
        from foundation_logging import log
        def warn_once(message):
            log(Level.warn, message, once=True)
        warn_once("before initialize_logging")
        f.initialize_logging()
        warn_once("first while running")
        f.shutdown_logging()
        log(Level.warn, "after shutdown_logging", throttle_sec=1)
        print("done")
    """)
    assert result.stdout.splitlines()[-1] == "done"
    assert [fields(line)[4] for line in result.log_lines()[1:]] == ["first while running"]


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((3, "x"), {}, TypeError, "log(): level must be foundation.Level, not int"),
    ((Level.info, None), {}, TypeError, "log(): message must be str, not None"),
    ((Level.info, "x"), {"once": 1}, TypeError, "log(): once must be bool, not int"),
    ((Level.info, "x"), {"skip_first": None}, TypeError, "log(): skip_first must be bool, not None"),
    ((Level.info, "x"), {"every_n": 0}, ValueError, "log(): every_n must be at least 1, not 0"),
    ((Level.info, "x"), {"every_n": 2.0}, TypeError, "log(): every_n must be int or None, not float"),
    ((Level.info, "x"), {"every_n": True}, TypeError, "log(): every_n must be int or None, not bool"),
    ((Level.info, "x"), {"throttle_sec": -0.5}, ValueError, "log(): throttle_sec must be finite and at least 0, not -0.5"),
    ((Level.info, "x"), {"throttle_sec": float("nan")}, ValueError, "log(): throttle_sec must be finite and at least 0, not nan"),
    ((Level.info, "x"), {"throttle_sec": "1"}, TypeError, "log(): throttle_sec must be a number of seconds or None, not str"),
    ((Level.info, "x", True), {}, TypeError, "log() takes 2 positional arguments but 3 were given"),
    ((Level.info,), {}, TypeError, "log() missing required argument 'message'"),
    ((Level.info, "x"), {"every": 2}, TypeError, "log() got an unexpected keyword argument 'every'"),
])
def test_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error) as raised:
        log(*args, **kwargs)
    assert str(raised.value) == message
