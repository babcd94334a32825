#!/usr/bin/env python3
"""Run the benchmarks on every CPython 3.6+ the test matrix has.

    python3 bench/run_all.py [--quick] [--instructions] [--only 3.11,...]
                             [--write docs/performance.md]

Each interpreter gets the package built from this checkout in a fresh
environment under .venvs/ (named "bench-LABEL"), then bench/run.py runs
there and prints its table; --instructions runs bench/instructions.py
too (callgrind, one PYTHONHASHSEED; inside a root, valgrind is installed
there first), and from 3.12 once more with a sub-interpreter alive.
Labels are the test runner's: 3.13t is the free-threaded build, 3.14
and 3.15 run in their Debian root, 3.13-win64 under Wine (times only;
of the Windows interpreters a full run measures that one).  Nothing is
made that is not there (tools/test_all.py makes the runtimes).

--write rewrites the table of figures in that page (tools/figures.py):
with --only, the rows of those interpreters alone.
"""
import argparse
import contextlib
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import figures  # noqa: E402
import runtimes  # noqa: E402
import test_all  # noqa: E402

HEADER = ["CPython", "instructions vs floor: one class / 64 in turn",
          "the same, a sub-interpreter alive",
          "time vs floor: one class / 64 in turn", "`Service()` vs plain",
          "`Service(1, key=2)` vs plain", "first instantiation vs plain",
          "failing `__new__()` vs plain", "read a definition vs plain",
          "import vs plain", "memory of the import: this / plain"]


# The Windows interpreter a full run measures.
WINDOWS = "3.13-win64"


def measure(interpreter, vpython, script, args):
    """Run a benchmark script; its figures (JSON), or None if it failed."""
    windows = isinstance(interpreter, test_all.WindowsInterpreter)
    venv = os.path.dirname(vpython) if windows else \
        os.path.dirname(os.path.dirname(vpython))
    path = os.path.join(venv, "figures.json")
    if test_all.run([vpython, os.path.join(HERE, script)] + args +
                    ["--json", path], interpreter) != 0:
        return None
    with open(path) as f:
        return json.load(f)


def minor(label):
    """(3, 11) for "3.11", "3.11-i386" and "3.11t"."""
    return tuple(int(part) for part in
                 re.match(r"(\d+)\.(\d+)", label).groups())


def pair(ratios):
    if not ratios:
        return ""
    return "%.2fx / %.2fx" % (ratios["one"][0], ratios["64 in turn"][0])


def row(label, times, counts, counts_sub):
    """The table's row for one interpreter."""
    ops = times["operations"]

    def vs_plain(name):
        return "%.2fx" % ops[name]["plain/native"]

    def vs_floor(name):
        return 1 / ops[name]["floor/native"]

    return [
        "%s (%s)" % (label, times["interpreter"]),
        pair(counts), pair(counts_sub),
        "%.2fx / %.2fx" % (vs_floor("Service(), instance exists"),
                           vs_floor("64 classes in turn, instances exist")),
        vs_plain("Service(), instance exists"),
        vs_plain("Service(1, key=2), instance exists"),
        vs_plain("first instantiation"),
        vs_plain("failing Singleton.__new__()"),
        vs_plain("read PAGE_MONITOR"),
        "%.2fx" % (times["imports"]["plain"] / times["imports"]["native"]),
        "%.1f / %.1f KiB" % (times["memory"]["native"] / 1024,
                             times["memory"]["plain"] / 1024),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--write", metavar="PAGE")
    args = parser.parse_args()
    only = [label for label in args.only.split(",") if label]
    # Of the Windows interpreters, the newest, unless asked for by name:
    # their times are Wine's as much as the module's.
    found = [interpreter for interpreter in test_all.matrix(False, only)
             if not interpreter.label.startswith("pypy") and
             (only or not interpreter.label.endswith("-win64") or
              interpreter.label == WINDOWS)]
    failed = 0
    rows, versions = [], []
    with contextlib.ExitStack() as stack:
        roots = {i.root for i in found if i.root is not None}
        for root in sorted(roots):
            stack.enter_context(runtimes.chrooted(root))
            if args.instructions:
                runtimes.install_in_root(root, ["valgrind"])
        sid = runtimes.path("sid")
        if sid not in roots and any(isinstance(
                i, test_all.WindowsInterpreter) for i in found):
            stack.enter_context(runtimes.chrooted(sid))
        for interpreter in found:
            windows = isinstance(interpreter, test_all.WindowsInterpreter)
            if windows:
                vpython = test_all.make_windows_env(
                    interpreter, "bench-" + interpreter.label, tools=())
            else:
                vpython = test_all.make_tool_venv(
                    "bench-" + interpreter.label, [test_all.ROOT],
                    python=interpreter)
            print("\n=== CPython %s" % interpreter.label, flush=True)
            times = measure(interpreter, vpython, "run.py",
                            ["--quick"] if args.quick else [])
            # (Where valgrind cannot count, those cells stay empty; it
            # runs no Windows program.)
            counts = counts_sub = None
            if args.instructions and not windows:
                counts = measure(interpreter, vpython, "instructions.py",
                                 ["--hashing", "1"])
                # From 3.12 a call checks its interpreter: the main one's
                # calls with another alive.
                if minor(interpreter.label) >= (3, 12) and \
                        not interpreter.label.endswith("t"):
                    counts_sub = measure(interpreter, vpython,
                                         "instructions.py",
                                         ["--hashing", "1",
                                          "--subinterpreter"])
            if times is None:
                failed += 1
                continue
            rows.append((interpreter.label,
                         row(interpreter.label, times, counts, counts_sub)))
            versions.append(times["interpreter"])
    if not found:
        print("no interpreter found" + (" among " + args.only
                                        if only else ""))
    if args.write and rows and not failed:
        command = "bench/run_all.py " + " ".join(
            arg for arg in sys.argv[1:])
        figures.write(args.write, command, HEADER, rows, versions,
                      only=bool(only))
        print("wrote %d rows into %s" % (len(rows), args.write))
    return 1 if failed or not found else 0


if __name__ == "__main__":
    sys.exit(main())
