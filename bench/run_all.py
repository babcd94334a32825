#!/usr/bin/env python3
"""Run the benchmarks on every CPython 3.6+ found.

    python3 bench/run_all.py [--quick] [--only 3.11,...]

Each interpreter gets the package built from this checkout in a fresh
environment under .venvs/ (named "bench-3.N"), then bench/run.py runs
there and prints its table.
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
import test_all  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    found = test_all.interpreters()
    if args.only:
        found = {v: p for v, p in found.items() if v in args.only.split(",")}
    failed = 0
    for version, python in found.items():
        vpython = test_all.make_tool_venv("bench-" + version, [
            test_all.ROOT], python=python)
        print("\n=== CPython %s" % version, flush=True)
        failed += subprocess.run(
            [vpython, os.path.join(HERE, "run.py")] +
            (["--quick"] if args.quick else [])).returncode != 0
    return 1 if failed or not found else 0


if __name__ == "__main__":
    sys.exit(main())
