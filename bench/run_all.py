#!/usr/bin/env python3
"""Run the benchmarks on every CPython 3.6+ the test matrix has.

    python3 bench/run_all.py [--quick] [--instructions] [--only 3.11,...]

Each interpreter gets the package built from this checkout in a fresh
environment under .venvs/ (named "bench-LABEL"), then bench/run.py runs
there and prints its table; --instructions runs bench/instructions.py
too (callgrind; inside a root, valgrind is installed there first).
Labels are the test runner's: 3.13t is the free-threaded build, 3.14
and 3.15 run in their Debian root.  Nothing is made that is not there
(tools/test_all.py makes the runtimes).
"""
import argparse
import contextlib
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import runtimes  # noqa: E402
import test_all  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--instructions", action="store_true")
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    only = [label for label in args.only.split(",") if label]
    found = [interpreter for interpreter in test_all.matrix(False, only)
             if not interpreter.label.startswith("pypy")]
    failed = 0
    with contextlib.ExitStack() as stack:
        for root in sorted({i.root for i in found if i.root is not None}):
            stack.enter_context(runtimes.chrooted(root))
            if args.instructions:
                runtimes.install_in_root(root, ["valgrind"])
        for interpreter in found:
            vpython = test_all.make_tool_venv(
                "bench-" + interpreter.label, [test_all.ROOT],
                python=interpreter)
            print("\n=== CPython %s" % interpreter.label, flush=True)
            scripts = [["run.py"] + (["--quick"] if args.quick else [])]
            if args.instructions:
                scripts.append(["instructions.py"])
            for script in scripts:
                cmd = interpreter.command(
                    [vpython, os.path.join(HERE, script[0])] + script[1:])
                failed += subprocess.run(cmd).returncode != 0
    if not found:
        print("no interpreter found" + (" among " + args.only
                                        if only else ""))
    return 1 if failed or not found else 0


if __name__ == "__main__":
    sys.exit(main())
