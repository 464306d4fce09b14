"""foundation side by side with what users would pick instead, in one run on one machine.

Every measurement runs in a fresh interpreter (one child process per contender per round), and the
contenders of a case take turns: round r runs them in order, round r+1 in reverse order. Each
figure is the median over the rounds; each ratio is a ratio of medians.

Cases:
  pid       PidController.update (by position; by keyword) / the same arithmetic in pure
            Python / simple-pid                                                         ns per call
  filtered  _log_filtered at debug / logging's logger.debug, both below the info level  ns per call
            (foundation also with 10, 100 and 1,000 file or package filters for other paths,
            and with 100 of each)
  limited   foundation_logging.log at a call site seen before: held back by once, every_n or
            throttle_sec; below its threshold (debug, every_n); and, for scale, a filtered-out
            _log_filtered given the caller's file found with sys._getframe()        ns per call
            (logging's filtered-out logger.debug is the peer of the case above)
  emitted   _log_filtered at info / logging with a StreamHandler and a RotatingFileHandler,
            both writing one line to standard output (on /dev/null) and to a log file   lines per s
  latency   the same emitted line, each call timed alone, back to back: p50, p99, p99.9 and
            the longest, in one process and in 4 and 8 processes sharing the folder; beside
            foundation's, call for call, the floor: the same two bare os.write calls of the
            same bytes (standard output and an append-mode file)                      µs per call
  import    `import foundation` (and, for scale, `import logging`, `import simple_pid`) ms

Per-call figures are net of the timing loop: the child also times an empty statement the same
number of times and subtracts it.

Usage: compare.py [--rounds N] [--output results.json]
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

MESSAGE = "motor 3 reached its target velocity"
EMITTED_LINES = 30_000
LATENCY_CALLS = 30_000
LATENCY_PROCESSES = (1, 4, 8)
LINE_FORMAT = "%(asctime)s | %(elapsed)9.3fs | %(levelname)-8s | %(filename)-30s | %(message)s"
DATE_FORMAT = "%Y-%m-%d %H:%M:%S"
ROTATE_BYTES = 5 * 1024 * 1024
ROTATE_BACKUPS = 3

# Gains and limits shared by the three PID contenders.
KP, KI, KD = 2.0, 0.5, 0.1
OUTPUT_LIMIT = 10.0


class PythonPid:
    """PidController's arithmetic (deadband, clamped integral, filtered derivative, output limits),
    written as a user would write it in Python."""

    def __init__(self, kp=1.0, ki=0.0, kd=0.0, integral_max=10.0, integral_deadband=0.01,
                 derivative_lpf_alpha=0.1, output_min=-10.0, output_max=10.0):
        self.kp, self.ki, self.kd = kp, ki, kd
        self.integral_max = integral_max
        self.integral_deadband = integral_deadband
        self.derivative_lpf_alpha = derivative_lpf_alpha
        self.output_min, self.output_max = output_min, output_max
        self.integral = 0.0
        self.prev_error = 0.0
        self.derivative = 0.0
        self.first_run = True

    def update(self, error, dt):
        if dt <= 0.0:
            return 0.0
        if abs(error) > self.integral_deadband:
            integral = self.integral + error * dt
            if integral > self.integral_max:
                integral = self.integral_max
            elif integral < -self.integral_max:
                integral = -self.integral_max
            self.integral = integral
        derivative_term = 0.0
        if self.first_run:
            self.first_run = False
        else:
            alpha = min(max(self.derivative_lpf_alpha, 0.0), 1.0)
            raw = (error - self.prev_error) / dt
            self.derivative = raw * alpha + (1.0 - alpha) * self.derivative
            derivative_term = self.derivative
        output = (self.ki * self.integral + self.kp * error) + self.kd * derivative_term
        self.prev_error = error
        if output > self.output_max:
            return self.output_max
        if output < self.output_min:
            return self.output_min
        return output


# --- child side: one contender, one measurement, result as JSON on the original standard output


def per_call_ns(stmt, namespace, number, repeat=3):
    """Median over `repeat` timings of `number` runs of `stmt`, less an empty loop, in ns per run."""
    timer = timeit.Timer(stmt, globals=namespace)
    empty = timeit.Timer("pass", globals=namespace)
    samples = []
    for _ in range(repeat):
        samples.append((timer.timeit(number) - empty.timeit(number)) / number * 1e9)
    return statistics.median(samples)


def pid_setup(contender):
    if contender.startswith("foundation"):
        from foundation import PidConfig, PidController
        pid = PidController(PidConfig(kp=KP, ki=KI, kd=KD, output_min=-OUTPUT_LIMIT, output_max=OUTPUT_LIMIT))
        call = "pid.update(error=error, dt=0.01)" if contender.endswith("keywords") else "pid.update(error, 0.01)"
        return call, {"pid": pid, "error": 0.5}
    if contender == "python":
        pid = PythonPid(kp=KP, ki=KI, kd=KD, output_min=-OUTPUT_LIMIT, output_max=OUTPUT_LIMIT)
        return "pid.update(error, 0.01)", {"pid": pid, "error": 0.5}
    from simple_pid import PID
    pid = PID(KP, KI, KD, sample_time=None, output_limits=(-OUTPUT_LIMIT, OUTPUT_LIMIT))
    return "pid(measurement, dt=0.01)", {"pid": pid, "measurement": 0.5}


def elapsed_formatter():
    """foundation's line layout for logging (imported only here, so that it is not imported early)."""
    import logging

    class ElapsedFormatter(logging.Formatter):
        # Seconds since logging started, truncated to the millisecond like foundation's column.
        def formatMessage(self, record):
            record.elapsed = int(record.relativeCreated) / 1000.0
            return super().formatMessage(record)

    return ElapsedFormatter(LINE_FORMAT, DATE_FORMAT)


def stdlib_logger(with_handlers):
    import logging
    import logging.handlers
    logger = logging.getLogger("varnel.bench")
    logger.setLevel(logging.INFO)
    logger.propagate = False
    if with_handlers:
        os.makedirs("logs", exist_ok=True)
        formatter = elapsed_formatter()
        for handler in (logging.StreamHandler(sys.stdout),
                        logging.handlers.RotatingFileHandler("logs/python.log", maxBytes=ROTATE_BYTES,
                                                             backupCount=ROTATE_BACKUPS, encoding="utf-8")):
            handler.setFormatter(formatter)
            logger.addHandler(handler)
    return logger


# Filters for other files and packages, so that a decision made afresh searches every layer in full.
FILTER_SETS = {"foundation": (0, 0),
               **{f"foundation-files-{n}": (n, 0) for n in (10, 100, 1000)},
               **{f"foundation-packages-{n}": (0, n) for n in (10, 100, 1000)},
               "foundation-both-100": (100, 100)}


def filtered_setup(contender):
    if contender in FILTER_SETS:
        import foundation
        foundation.initialize_logging()
        files, packages = FILTER_SETS[contender]
        for i in range(files):
            foundation.set_file_level(f"module{i}.py", foundation.Level.trace)
        for i in range(packages):
            foundation.set_package_level(f"varnel/package{i}", foundation.Level.trace)
        return "log(level, path, message)", {"log": foundation._log_filtered, "level": foundation.Level.debug,
                                             "path": __file__, "message": MESSAGE}
    logger = stdlib_logger(with_handlers=True)
    return "logger.debug(message)", {"logger": logger, "message": MESSAGE}


# foundation_logging.log's calls, each timed at one call site that has made its first call.
LIMITED_CALLS = {
    "once": "log(info, message, once=True)",
    "every-n": "log(info, message, every_n=1_000_000_000)",
    "throttle": "log(info, message, throttle_sec=3600.0)",
    "below-threshold": "log(debug, message, every_n=10)",
    "filtered-plus-caller": "log_filtered(debug, getframe().f_code.co_filename, message)",
}


def limited_setup(contender):
    import foundation
    import foundation_logging
    foundation.initialize_logging()
    return LIMITED_CALLS[contender], {"log": foundation_logging.log, "log_filtered": foundation._log_filtered,
                                      "getframe": sys._getframe, "info": foundation.Level.info,
                                      "debug": foundation.Level.debug, "message": MESSAGE}


def emitted_lines_per_second(contender):
    # Each line is in the kernel (foundation) or flushed (logging) when its call returns.
    call, arguments = emit_line(contender)
    start = time.perf_counter()
    for _ in range(EMITTED_LINES):
        call(*arguments)
    return EMITTED_LINES / (time.perf_counter() - start)


def emit_line(contender):
    """A function and its arguments that emit one info line through both sinks."""
    if contender == "foundation":
        import foundation
        foundation.initialize_logging()
        return foundation._log_filtered, (foundation.Level.info, __file__, MESSAGE)
    if contender == "floor":
        return two_bare_writes()
    return stdlib_logger(with_handlers=True).info, (MESSAGE,)


def two_bare_writes():
    """The floor under any logger that writes each line out before its call returns: the bytes of
    a foundation line, written with os.write to standard output and to a file opened for appending
    (in the same folder as foundation's, so that several processes share it), and nothing else."""
    line = (f"{time.strftime(DATE_FORMAT)} | {1.234:9.3f}s | {'info':8} | {'b.compare.py':30} | {MESSAGE}\n").encode()
    os.makedirs(".tamblin/logs", exist_ok=True)
    file = os.open(".tamblin/logs/floor.log", os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    write = os.write

    def call(data):
        write(1, data)
        write(file, data)
    return call, (line,)


def latency_samples(contender):
    """The time of each of LATENCY_CALLS emitted lines, back to back, in ns, by name. foundation's
    calls alternate with the floor's, so that both meet the same machine at the same moments (on
    a virtual machine a write that starts a new page of a file now and then takes a hundred times
    its usual time, at random)."""
    call, arguments = emit_line(contender)
    clock = time.perf_counter_ns
    if contender != "foundation":
        samples = []
        for _ in range(LATENCY_CALLS):
            start = clock()
            call(*arguments)
            samples.append(clock() - start)
        return {contender: samples}
    floor, floor_arguments = two_bare_writes()
    ours, floors = [], []
    for _ in range(LATENCY_CALLS):
        start = clock()
        call(*arguments)
        middle = clock()
        floor(*floor_arguments)
        ours.append(middle - start)
        floors.append(clock() - middle)
    return {"foundation": ours, "floor": floors}


def latency_percentiles(contender, processes):
    """By name, p50, p99, p99.9 and the longest call in µs, over the calls of `processes` processes
    logging into the same folder at the same time (this one and its siblings)."""
    siblings = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", "latency-samples", contender],
                                 stdout=subprocess.PIPE, text=True) for _ in range(processes - 1)]
    samples = latency_samples(contender)
    for sibling in siblings:
        for name, more in json.loads(sibling.communicate()[0])["value"].items():
            samples[name] += more

    def percentiles(calls):
        calls.sort()
        def at(share):
            return calls[min(len(calls) - 1, int(share * len(calls)))] / 1000
        return {"p50": at(0.50), "p99": at(0.99), "p99.9": at(0.999), "max": calls[-1] / 1000}
    return {name: percentiles(calls) for name, calls in samples.items()}


IMPORT_SNIPPET = """
import sys, time
start = time.perf_counter()
import {module}
sys.stdout.write(repr((time.perf_counter() - start) * 1e3))
"""


def import_ms(contender):
    """The import alone, timed in an interpreter that has imported nothing else."""
    module = {"foundation": "foundation", "logging": "logging", "simple-pid": "simple_pid"}[contender]
    completed = subprocess.run([sys.executable, "-c", IMPORT_SNIPPET.format(module=module)],
                               capture_output=True, text=True, check=True)
    return float(completed.stdout)


def run_child(case, contender):
    """Measures in a temporary working directory with standard output on /dev/null."""
    result_fd = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    with tempfile.TemporaryDirectory(prefix="varnel_compare_") as directory:
        os.chdir(directory)
        if case == "pid":
            value = per_call_ns(*pid_setup(contender), number=200_000)
        elif case == "filtered":
            value = per_call_ns(*filtered_setup(contender), number=500_000)
        elif case == "limited":
            value = per_call_ns(*limited_setup(contender), number=500_000)
        elif case.startswith("latency-") and case != "latency-samples":
            value = latency_percentiles(contender, int(case.split("-")[1]))
        elif case == "latency-samples":
            value = latency_samples(contender)
        else:
            value = emitted_lines_per_second(contender)
        sys.stdout.flush()
        if "foundation" in sys.modules:  # before the folder goes: at exit the log would make it again
            sys.modules["foundation"].shutdown_logging()
    os.write(result_fd, json.dumps({"value": value}).encode())


# --- parent side: rounds, medians, ratios

CASES = {
    "pid": {"unit": "ns/call", "contenders": ["foundation", "foundation-keywords", "python", "simple-pid"]},
    "filtered": {"unit": "ns/call", "contenders": [*FILTER_SETS, "logging"]},
    "limited": {"unit": "ns/call", "contenders": list(LIMITED_CALLS)},
    "emitted": {"unit": "lines/s", "contenders": ["foundation", "logging"]},
    **{f"latency-{count}": {"unit": "µs/call", "contenders": ["foundation", "logging"]}
       for count in LATENCY_PROCESSES},
    "import": {"unit": "ms", "contenders": ["foundation", "logging", "simple-pid"]},
}


def measure(case, contender):
    if case == "import":
        return import_ms(contender)
    completed = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", case, contender],
                               capture_output=True, text=True, check=False)
    if completed.returncode != 0:
        raise SystemExit(f"{case}/{contender} failed:\n{completed.stderr}")
    return json.loads(completed.stdout)["value"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--output", help="write the results as JSON here")
    parser.add_argument("--child", nargs=2, metavar=("CASE", "CONTENDER"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(*args.child)
        return

    load_average = os.getloadavg()
    samples = {case: {name: [] for name in spec["contenders"]} for case, spec in CASES.items()}
    for round_number in range(args.rounds):
        for case, spec in CASES.items():
            order = spec["contenders"] if round_number % 2 == 0 else spec["contenders"][::-1]
            for contender in order:
                samples[case][contender].append(measure(case, contender))
        print(f"round {round_number + 1}/{args.rounds} done", file=sys.stderr)

    def median(values, key=None):
        """The median of numbers; of tables, the median of each entry (the longest: the worst)."""
        if not isinstance(values[0], dict):
            return (max if key == "max" else statistics.median)(values)
        return {key: median([value[key] for value in values], key) for key in values[0]}

    results = {
        "python": platform.python_version(),
        "rounds": args.rounds,
        "load_average": load_average,
        "emitted_lines": EMITTED_LINES,
        "latency": {"calls": LATENCY_CALLS, "processes": LATENCY_PROCESSES},
        "cases": {case: {"unit": CASES[case]["unit"],
                         "contenders": {name: {"median": median(values), "samples": values}
                                        for name, values in by_contender.items()}}
                  for case, by_contender in samples.items()},
    }
    text = json.dumps(results, indent=2)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text + "\n")
    for case, data in results["cases"].items():
        medians = {name: c["median"] if isinstance(c["median"], dict) else round(c["median"], 1)
                   for name, c in data["contenders"].items()}
        print(f"{case:9} {data['unit']:8} {medians}")


if __name__ == "__main__":
    main()
