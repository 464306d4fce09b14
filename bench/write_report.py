"""Writes BENCHMARKS.md from the native results (Google Benchmark JSON) and compare.py's JSON.

Usage: write_report.py --native native.json --compare compare.json --waits waits.json [--reader read_log.json]
                       --command "make bench" --output BENCHMARKS.md
"""

import argparse
import json
import os
import platform


def cpu_model():
    with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def native_medians(native):
    """name -> median record; falls back to the single run when there were no repetitions."""
    medians = {}
    for record in native["benchmarks"]:
        if record.get("aggregate_name") == "median":
            medians[record["run_name"]] = record
        elif record.get("run_type") == "iteration":
            medians.setdefault(record["run_name"], record)
    # In the order the benchmarks are declared (random interleaving shuffles the records).
    return dict(sorted(medians.items(), key=lambda item: (item[1]["family_index"],
                                                          item[1]["per_family_instance_index"])))


FILTER_COUNTS = (0, 10, 100, 1000)
LIMIT_KINDS = {0: "once", 1: "every n-th call", 2: "throttle"}  # BM_LimitedSiteHeldBack's first argument
LIMIT_FILTER_COUNTS = (0, 100, 1000)


def limited_line_costs(ns):
    """VARNEL_LOG's line and a limited site's line written with its count, before the sinks: an
    every-2nd site's pair of calls less the call it holds back (measured at an every 2^62-th site)."""
    pair = ns("BM_LineWithoutSinks/every_2nd:1")
    return ns("BM_LineWithoutSinks/every_2nd:0"), pair - ns("BM_LimitedSiteHeldBack/limit:1/filters_of_each_kind:0")
THREAD_COUNTS = (1, 2, 4)


def verdict(met, aimed=None):
    if not met:
        return "**missed**"
    return "met" if aimed is None or not aimed else "met, and the aim too"


# What each way of reading the log should reach, in records a second of the process's CPU time.
READER_TARGETS = {"read_log": 1_200_000, "python -m foundation_logging": 600_000,
                  "python -m foundation_logging --json": 400_000}


def reader_section(reader):
    lines = [f"## Reading the log (`bench/read_log.py`, best of {reader['runs']} runs)\n",
             f"A full set of log files: {reader['records']:,} records, {reader['mib']:.1f} MiB. The plain loop is "
             "the floor: it reads the files a chunk at a time, joins continuation lines and splits the columns, "
             "checking nothing and making no records. The command line's own work, without the interpreter's "
             "start, output to /dev/null.\n",
             "| Way | CPU time | Records a second (CPU) | Wall time | Target | Result |", "|---|---|---|---|---|---|"]
    for name, run in reader["ways"].items():
        rate = reader["records"] / run["cpu"]
        target = READER_TARGETS.get(name)
        lines.append(f"| {name} | {run['cpu']:.3f} s | {rate:,.0f} | {run['wall']:.3f} s "
                     f"| {f'{target:,}' if target else 'the floor'} | {verdict(rate >= target) if target else ''} |")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", required=True)
    parser.add_argument("--compare", required=True)
    parser.add_argument("--waits", required=True, help="log_waits.py's JSON")
    parser.add_argument("--reader", help="bench/read_log.py's JSON")
    parser.add_argument("--command", required=True)
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    with open(args.native, encoding="utf-8") as file:
        native = json.load(file)
    with open(args.compare, encoding="utf-8") as file:
        compare = json.load(file)
    with open(args.waits, encoding="utf-8") as file:
        waits = json.load(file)

    nat = native_medians(native)
    cases = compare["cases"]

    def side(case, contender):
        return cases[case]["contenders"][contender]["median"]

    def ns(name):
        return nat[name]["real_time"]

    pid_ours, pid_python, pid_simple = (side("pid", c) for c in ("foundation", "python", "simple-pid"))
    filtered_ours, filtered_logging = side("filtered", "foundation"), side("filtered", "logging")
    emitted_ours, emitted_logging = side("emitted", "foundation"), side("emitted", "logging")
    vs_python, vs_simple = pid_python / pid_ours, pid_simple / pid_ours
    filtered_ratio = filtered_ours / filtered_logging
    emitted_ratio = emitted_ours / emitted_logging
    def decision(files, packages, level=1):
        return ns(f"BM_IsEnabledFor/level:{level}/file_filters:{files}/package_filters:{packages}")

    enabled_dropped, enabled_passed = decision(0, 0), decision(0, 0, level=2)
    seen_path = ([decision(n, 0) for n in FILTER_COUNTS] + [decision(0, n) for n in FILTER_COUNTS[1:]]
                 + [decision(100, 100)])
    filtered_both = side("filtered", "foundation-both-100")
    cores = len(os.sched_getaffinity(0))
    def kept_rate(threads, family="BM_IsEnabledFor_Threads"):
        """Each thread's rate with `threads` at once, as a share of one thread's alone."""
        return ns(f"{family}/real_time/threads:1") / (ns(f"{family}/real_time/threads:{threads}") * threads)

    def kept_by_unshared_work(threads):
        return kept_rate(threads, "BM_PidControllerUpdate_Threads")

    file_line, write_syscall = ns("BM_LogFromFile_FileSinkOnly"), ns("BM_WriteSyscall")
    write_ratio = file_line / write_syscall
    latency = compare["latency"]
    # Per process count: foundation, the floor (two bare os.write calls) and logging.
    tails = {count: (side(f"latency-{count}", "foundation")["foundation"], side(f"latency-{count}", "foundation")["floor"],
                     side(f"latency-{count}", "logging")["logging"])
             for count in latency["processes"]}
    floor_ratio = tails[1][0]["p99.9"] / tails[1][1]["p99.9"]
    bound = waits["bound"]
    rounds = compare["rounds"]
    reps = nat["BM_PidControllerUpdate"].get("repetitions", 1)
    load = native["context"].get("load_avg", [])

    out = []
    w = out.append
    w("# Benchmarks\n")
    w(f"Written by `{args.command}` (bench/write_report.py); every figure below comes from that one run.\n")
    w("## Machine\n")
    w(f"- CPU: {cpu_model()}, {len(os.sched_getaffinity(0))} cores (`nproc`), {native['context'].get('mhz_per_cpu', '?')} MHz")
    w(f"- Python: CPython {compare['python']}; native code built Release (`-O3`, no fused multiply-add)")
    if load:
        w(f"- Load average (1, 5, 15 min) when the native run started: {', '.join(f'{x:.2f}' for x in load)}; "
          f"when the Python comparison started: {', '.join(f'{x:.2f}' for x in compare['load_average'])}")
    w("- The machine is shared: other builds ran at the same time, so single figures are noisy. Python "
      f"figures are medians of {rounds} alternating rounds, each contender in a fresh process per round; "
      f"native figures are medians of {reps} repetitions, randomly interleaved.\n")

    w("## Targets\n")
    w("| Target | Measured | Result |")
    w("|---|---|---|")
    w(f"| `PidController.update` ≥ 2× faster than the same arithmetic in pure Python (aim 3×) "
      f"| {vs_python:.2f}× | {verdict(vs_python >= 2, vs_python >= 3)} |")
    w(f"| `PidController.update` ≥ 10× faster than simple-pid | {vs_simple:.2f}× | {verdict(vs_simple >= 10)} |")
    w(f"| An emitted line ≥ 8× the throughput of `logging` with the two handlers (aim 10×) "
      f"| {emitted_ratio:.1f}× | {verdict(emitted_ratio >= 8, emitted_ratio >= 10)} |")
    w(f"| An emitted line from Python, 1 process: p99.9 within 1.5× the floor's (two bare `os.write` calls of "
      f"the same bytes; aim 1.2×) | {tails[1][0]['p99.9']:.1f} µs against {tails[1][1]['p99.9']:.1f} µs: "
      f"{floor_ratio:.2f}× | {verdict(floor_ratio <= 1.5, floor_ratio <= 1.2)} |")
    for count, (ours, _, peer) in tails.items():
        w(f"| An emitted line from Python, {count} process{'es' if count > 1 else ''}: p99.9 no higher than "
          f"`logging`'s median call | {ours['p99.9']:.1f} µs against {peer['p50']:.1f} µs "
          f"| {verdict(ours['p99.9'] <= peer['p50'])} |")
    never = all(run["sleeps"] == 0 and run["blocking locks"] == 0 and run["console waits"] == 0
                for run in waits["waits"])
    w(f"| No log call sleeps or waits for the folder's lock, with " + " and ".join(
        f"{run['processes']}" for run in waits["waits"]) + " processes rotating together (strace) | "
      + "; ".join(f"{run['processes']} processes: {run['sleeps']} sleeps, {run['blocking locks']} blocking locks, "
                  f"{run['locks tried']} tries ({run['locks found held']} found it held), "
                  f"{run['console waits']} console waits" for run in waits["waits"]) + f" | {verdict(never)} |")
    w(f"| With {bound['processes']} writers and a busy loop on one core, no rotated file over 5 MiB + 8 KiB per "
      f"writer ({bound['bound_bytes']:,} bytes) | the largest of {bound['rotated_files']} rotated files: "
      f"{bound['largest_bytes']:,} bytes | {verdict(bound['over_bound'] == 0)} |")
    w(f"| A filtered-out `_log_filtered` no slower than 1.5× a filtered-out `logger.debug` (aim 1×) "
      f"| {filtered_ratio:.2f}× the time | {verdict(filtered_ratio <= 1.5, filtered_ratio <= 1.0)} |")
    w(f"| Native `is_enabled_for`, no filters, < 30 ns | {enabled_dropped:.1f} ns (dropped), "
      f"{enabled_passed:.1f} ns (passing) | {verdict(max(enabled_dropped, enabled_passed) < 30)} |")
    w(f"| Native `is_enabled_for` for a path seen before ≤ 10 ns at 0, 10, 100 and 1,000 filters "
      f"| {min(seen_path):.1f}–{max(seen_path):.1f} ns | {verdict(max(seen_path) <= 10)} |")
    threads = min(cores, 2)
    kept, ceiling = kept_rate(threads), kept_by_unshared_work(threads)
    threads_verdict = verdict(kept >= 0.8)
    if kept < 0.8 <= kept / ceiling:
        threads_verdict += (f" on this machine, whose cores give work that shares nothing (a PID step per thread) "
                            f"only {ceiling:.0%} each: the decisions keep {kept / ceiling:.0%} of that")
    w(f"| Threads deciding at once each keep ≥ 80% of the single-thread rate ({cores} cores: measured with "
      f"{threads}) | {kept:.0%} | {threads_verdict} |")
    w(f"| A filtered-out `_log_filtered` with 100 file and 100 package filters ≤ 1.2× the same call with none "
      f"| {filtered_both / filtered_ours:.2f}× | {verdict(filtered_both / filtered_ours <= 1.2)} |")
    w(f"| Natively, a line to the file ≤ 1.5× a bare `write(2)` of the same bytes (aim 1.3×) "
      f"| {file_line:.0f} ns against {write_syscall:.0f} ns: {write_ratio:.2f}× "
      f"| {verdict(write_ratio <= 1.5, write_ratio <= 1.3)} |")
    held_from_python = {kind: side("limited", kind) for kind in ("once", "every-n", "throttle")}
    below, below_peer = side("limited", "below-threshold"), side("limited", "filtered-plus-caller")
    w(f"| From Python, a call its site holds back (once, every_n, throttle_sec) no slower than a filtered-out "
      f"`logger.debug` | {max(held_from_python.values()):.0f} ns at most against {filtered_logging:.0f} ns "
      f"| {verdict(max(held_from_python.values()) <= filtered_logging)} |")
    w(f"| From Python, a limited call below its threshold no slower than a filtered-out `_log_filtered` plus finding "
      f"the caller (`sys._getframe()`) | {below:.0f} ns against {below_peer:.0f} ns | {verdict(below <= below_peer)} |")
    held_natively = [ns(f"BM_LimitedSiteHeldBack/limit:{kind}/filters_of_each_kind:{n}")
                     for kind in LIMIT_KINDS for n in LIMIT_FILTER_COUNTS]
    w(f"| Natively, a call its site holds back ≤ 20 ns, at 0, 100 and 1,000 filters of each kind "
      f"| {min(held_natively):.1f}–{max(held_natively):.1f} ns | {verdict(max(held_natively) <= 20)} |")
    plain_line, limited_line = limited_line_costs(ns)
    w(f"| Natively, a written line of a limited site ≤ `VARNEL_LOG`'s + 50 ns | {limited_line:.0f} ns against "
      f"{plain_line:.0f} ns before the sinks: +{limited_line - plain_line:.0f} ns "
      f"| {verdict(limited_line - plain_line <= 50)} |\n")

    w(f"## Side by side from Python (`bench/compare.py`, medians of {rounds} rounds)\n")
    w("| Case | foundation | Peer | Peer figure | foundation's advantage |")
    w("|---|---|---|---|---|")
    w(f"| PID step | {pid_ours:.0f} ns | same arithmetic in Python | {pid_python:.0f} ns | {vs_python:.2f}× faster |")
    w(f"| PID step | {pid_ours:.0f} ns | simple-pid 2.0 `PID(...)(x, dt=...)` | {pid_simple:.0f} ns "
      f"| {vs_simple:.2f}× faster |")
    pid_keywords = side("pid", "foundation-keywords")
    w(f"| PID step, `update(error=..., dt=...)` | {pid_keywords:.0f} ns | simple-pid 2.0 | {pid_simple:.0f} ns "
      f"| {pid_simple / pid_keywords:.2f}× faster |")
    w(f"| Filtered-out debug message | {filtered_ours:.0f} ns | `logger.debug` below INFO | {filtered_logging:.0f} ns "
      f"| {1 / filtered_ratio:.2f}× ({filtered_ratio:.2f}× the time) |")
    w(f"| Emitted info line, console + rotating file | {emitted_ours:,.0f} lines/s "
      f"| `logging`, StreamHandler + RotatingFileHandler | {emitted_logging:,.0f} lines/s | {emitted_ratio:.1f}× the throughput |")
    imports = cases["import"]["contenders"]
    w(f"| `import` in a fresh interpreter | {imports['foundation']['median']:.1f} ms | `import logging` / "
      f"`import simple_pid` | {imports['logging']['median']:.1f} / {imports['simple-pid']['median']:.1f} ms | (for scale) |\n")
    w("Per-call figures are net of the timing loop (an empty statement timed the same number of times is "
      f"subtracted). Emitted lines: {compare['emitted_lines']:,} lines per process, standard output on "
      "/dev/null; each line is in the kernel (foundation) or flushed (`logging`) when its call returns.\n")
    w(f"Each emitted line timed alone, the calls back to back ({latency['calls']:,} calls per process; with "
      f"several processes logging into the same folder at once, the calls of all of them). The floor is a "
      "Python loop making the two bare `os.write` calls that any logger writing each line out must make: "
      "the same bytes to standard output and to a file opened for appending (shared by the processes too), "
      "timed call for call beside foundation's, each foundation call followed by a floor call. "
      "p50, p99 and p99.9 are medians over the rounds, the longest call the longest of all rounds:\n")
    w("| Processes | Contender | p50 | p99 | p99.9 | longest |")
    w("|---|---|---|---|---|---|")
    for count, figures in tails.items():
        for name, figure in zip(("foundation", "floor: two bare `os.write`", "`logging`"), figures):
            w(f"| {count} | {name} | " + " | ".join(f"{figure[key]:,.1f} µs" for key in ("p50", "p99", "p99.9", "max"))
              + " |")
    w("")
    w("Like with like: the same message text; the same line layout on both sides (local date and time, "
      "seconds since logging started, level padded to 8, the calling file padded to 30, message; "
      "foundation's source column is its shortened project path, `logging`'s the file name); the same two "
      "sinks (standard output and a file rotating at 5 MiB with 3 backups); the same gains and limits for "
      "the three PID contenders, simple-pid with `sample_time=None` and an explicit `dt` (simple-pid's step "
      "is not quite the same work: it reads the clock on every call and has no deadband or derivative "
      "filter). Both write every line out before the call returns: `logging` flushes both handlers after "
      "every record, foundation makes one `write(2)` per sink.\n")

    w("## Filters: the cost of a decision as filters are added\n")
    w("The filters cover other files and packages, so a decision made afresh searches every layer in full. "
      "\"Seen before\": the path was decided before by the same thread since the last filter change (the "
      "usual case: the same `__file__` or `__FILE__` again and again); \"afresh\": each call passes another "
      "copy of the text, more copies than a thread remembers. From Python: a filtered-out `_log_filtered` "
      f"(medians of {rounds} rounds).\n")
    w("| Filters of the kind | Native, file filters | Native, package filters | Native afresh, both kinds "
      "| From Python, file filters | From Python, package filters |")
    w("|---|---|---|---|---|---|")
    for n in FILTER_COUNTS:
        python_files = side("filtered", f"foundation-files-{n}" if n else "foundation")
        python_packages = side("filtered", f"foundation-packages-{n}" if n else "foundation")
        afresh = ns(f"BM_IsEnabledFor_Uncached/file_filters:{n}/package_filters:{n}")
        w(f"| {n:,} | {decision(n, 0):.1f} ns | {decision(0, n):.1f} ns | {afresh:,.0f} ns (of each kind) "
          f"| {python_files:.0f} ns | {python_packages:.0f} ns |")
    w(f"| 100 of each kind | {decision(100, 100):.1f} ns (both) | | "
      f"{ns('BM_IsEnabledFor_Uncached/file_filters:100/package_filters:100'):,.0f} ns "
      f"| {filtered_both:.0f} ns (both) | |\n")
    w(f"Threads deciding at once on the same path, 100 filters of each kind set ({cores} cores: with more "
      "threads than cores, the threads take turns on them):\n")
    w("| Threads | Wall time per decision, per thread | Each thread's rate, against one thread alone "
      "| CPU time per decision | Each thread's rate, a PID step per thread (shares nothing) |")
    w("|---|---|---|---|---|")
    for count in THREAD_COUNTS:
        record = nat[f"BM_IsEnabledFor_Threads/real_time/threads:{count}"]
        w(f"| {count} | {record['real_time'] * count:.1f} ns | {kept_rate(count):.0%} "
          f"| {record['cpu_time']:.1f} ns | {kept_by_unshared_work(count):.0%} |")
    w("")
    w("A filter change copies the filters (readers never see a filter set being changed): "
      + ", ".join(f"{ns(f'BM_SetFileLevel/filters_of_each_kind:{n}') / 1000:,.1f} µs with {n:,} of each kind"
                  for n in FILTER_COUNTS) + ".\n")

    w("## Limits of a call site: `foundation_logging.log` and the `VARNEL_LOG_*` macros\n")
    w(f"A call at a site that has written before and holds this one back (the threshold passed), and a call below "
      f"its threshold. From Python medians of {rounds} rounds, `logging`'s filtered-out `logger.debug` of the "
      "same run beside them; natively, with filters for other files and packages set:\n")
    w("| Call | From Python | Natively, 0 / 100 / 1,000 filters of each kind |")
    w("|---|---|---|")
    for kind, (label, call) in enumerate((("once=True", "once"), ("every_n=10⁹", "every-n"),
                                          ("throttle_sec=3600", "throttle"))):
        native = " / ".join(f"{ns(f'BM_LimitedSiteHeldBack/limit:{kind}/filters_of_each_kind:{n}'):.1f} ns"
                            for n in LIMIT_FILTER_COUNTS)
        w(f"| Held back by `{label}` | {side('limited', call):.0f} ns | {native} |")
    w(f"| Below its threshold (`every_n=10` at debug) | {below:.0f} ns | |")
    w(f"| For scale: a filtered-out `_log_filtered(Level.debug, sys._getframe().f_code.co_filename, message)` "
      f"| {below_peer:.0f} ns | |")
    w(f"| For scale: a filtered-out `logger.debug` of `logging` | {filtered_logging:.0f} ns | |\n")
    w(f"A written line before the sinks (taken out of the logger; they cost the same for both): `VARNEL_LOG` "
      f"{plain_line:.0f} ns, a line of a `VARNEL_LOG_EVERY_N` site with \" (1 suppressed)\" {limited_line:.0f} ns "
      f"(an every-2nd site's pair of calls, {ns('BM_LineWithoutSinks/every_2nd:1'):.0f} ns, less the call it holds "
      "back). From Python, `log` finds its caller where the interpreter keeps the current frame, without making a "
      "frame object, and keeps each calling code object's sites in the code object's extra slot.\n")

    w("## Native (`bench/native_bench.cpp`, Google Benchmark)\n")
    w("| Benchmark | Time per call | Throughput |")
    w("|---|---|---|")
    for name, record in nat.items():
        rate = record.get("items_per_second")
        w(f"| `{name}` | {record['real_time']:.1f} ns | {f'{rate / 1e6:.2f} M lines/s' if rate else ''} |")
    w("\n`level:1` asks for debug (dropped by the global info level), `level:2` for info (passes). The "
      "filters cover other files and packages. `real_time/threads:N`: N threads at once, time per decision "
      "of them all together. Log lines go to a temporary directory; the console sink writes to /dev/null.\n")

    w("## Reading\n")
    w(f"- PID: natively a step takes {ns('BM_PidControllerUpdate'):.1f} ns, so from Python the "
      f"{pid_ours:.0f} ns are almost all the call itself. It is {vs_python:.1f}× faster than the same "
      f"arithmetic in Python and {vs_simple:.1f}× faster than simple-pid"
      + ("." if vs_simple >= 10 else f", short of the 10× target by {10 / vs_simple:.2f}×: simple-pid "
         f"takes only {pid_simple:.0f} ns per step here, and a call from Python into any extension costs a "
         "few tens of nanoseconds before any work is done."))
    w(f"- Emitted lines: {emitted_ratio:.0f}× the throughput of `logging`. `logging` builds a LogRecord "
      "(with a stack walk for the file name), formats the line three times (once per handler and once more to "
      "check the rotation size), checks the file on disk and flushes both handlers on every record; "
      "foundation formats the line once per sink in C++ and writes it with one `write(2)` per sink.")
    w(f"- The black box: every line reaches the kernel before its call returns, so the file sink costs a "
      f"`write(2)` per line ({write_syscall:.0f} ns here for the bare call) where batches of 16 KiB used to "
      f"cost a fraction of one. A line to the file takes {file_line:.0f} ns, {write_ratio:.2f}× the bare "
      f"`write(2)`: formatting, the logger, and a look at the file every 8 KiB (has another process rotated or "
      f"deleted it?). No log call waits: the folder's lock (rotation alone takes it) is only ever tried, the "
      f"oldest file is deleted by a thread of its own, and a console nobody reads is waited for 20 ms once, "
      f"then not at all until it reads again.")
    w(f"- Several processes rotating one folder (`bench/log_waits.py`, under strace): "
      + "; ".join(f"{run['processes']} processes tried the folder's lock {run['locks tried']} times and found "
                  f"it held {run['locks found held']} times, and made {run['sleeps']} sleeps, "
                  f"{run['blocking locks']} blocking locks and {run['console waits']} console waits"
                  for run in waits["waits"])
      + f". With {bound['processes']} writers and a busy loop pinned to one core the largest of "
      f"{bound['rotated_files']} rotated files had {bound['largest_bytes']:,} bytes, "
      f"{bound['largest_bytes'] - 5 * 1024 * 1024:,} over 5 MiB (the bound allows "
      f"{bound['bound_bytes'] - 5 * 1024 * 1024:,}).")
    w(f"- Filtered-out messages: {filtered_ours:.0f} ns against {filtered_logging:.0f} ns "
      + (f"({1 / filtered_ratio:.1f}× faster than `logging`), of which the native decision "
         f"(`is_enabled_for`) takes {enabled_dropped:.0f} ns and the rest is the call from Python."
         if filtered_ratio <= 1.0 else
         f"({filtered_ratio:.2f}× the time of `logging`"
         + (", within the 1.5× target)." if filtered_ratio <= 1.5 else ", over the 1.5× target).")))
    w("- Where the Python figures come from: `PidController.update` and `_log_filtered` have lean entries "
      "(src/bindings/lean_call.hpp) that serve a call with arguments of the exact types, by position or by "
      "keyword, without pybind11's dispatcher (argument tuple, two passes over the overloads, type-registry "
      "lookups); any other call goes to the pybind11 function unchanged. A keyword call costs more "
      f"({pid_keywords:.0f} ns: the names are compared as text). With pybind11's dispatcher alone, the first "
      "run of this report (commit 3ec020a) measured about 310 ns per update (3.1× simple-pid) and 2.2× the "
      "time of `logging` for a filtered-out message; `is_enabled_for` then also looked up spdlog's default "
      "logger (a mutex and a shared_ptr copy, 42 ns in all), which is now left to `log_from_file`.")
    w(f"- Filter decisions: a path seen before takes {min(seen_path):.1f}–{max(seen_path):.1f} ns whatever the "
      "number of filters: the decision reads the filters' generation number and the thread's own memo of "
      "thresholds, keyed by the address of the path and checked against a copy of its text; no lock, and "
      "nothing that another thread writes, so threads deciding at once do not slow each other: with "
      f"{threads} threads each keeps {kept:.0%} of the single-thread rate, where a PID step per thread, which "
      f"shares nothing at all, keeps {ceiling:.0%}. A path "
      "decided afresh (first seen, or a new address, or after a filter change) searches the filters: "
      f"{ns('BM_IsEnabledFor_Uncached/file_filters:10/package_filters:10'):,.0f} ns with 10 of each kind, "
      f"{ns('BM_IsEnabledFor_Uncached/file_filters:1000/package_filters:1000') / 1000:,.1f} µs with 1,000 "
      "(each package filter is a substring search of the path).")
    w(f"- Native lines: a line costs {ns('BM_LogFromFile_FileSinkOnly'):.0f} ns to the file alone and "
      f"{ns('BM_LogFromFile_BothSinks'):.0f} ns to both sinks; the console sink writes each line with its own "
      "`write(2)`, a system call even on /dev/null.")
    if args.reader:
        with open(args.reader, encoding="utf-8") as file:
            out += reader_section(json.load(file))
    with open(args.output, "w", encoding="utf-8") as report:
        report.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
