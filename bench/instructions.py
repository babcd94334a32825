"""Instructions a cached Service() call executes, against the floor's,
counted by callgrind in this interpreter: one class called again and
again, and 64 classes called in turn.

    python bench/instructions.py [--hashing 1,2,3] [--subinterpreter]
                                 [--json PATH]

--subinterpreter keeps a legacy sub-interpreter alive (in a thread of its
own, blocked on a pipe) while the calls run in the main interpreter.

Timings on a shared machine drift by more than the few percent between
the hot path and the floor; instruction counts do not.  Each count is the
difference between runs of N and 2N calls, so start-up cancels out, and
both contenders run with the same PYTHONHASHSEED, one run per value
given (string hashes steer the runtime's attribute cache and dict
probes, and so the count, by a few dozen instructions).
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

CALLS = 100000

HERE = os.path.dirname(os.path.abspath(__file__))

# The contenders as bench/run.py makes them.
PROGRAM = """
import sys
sys.path.insert(0, %r)
import run
contender, calls = sys.argv[1], int(sys.argv[2])
sub = None
if sys.argv[3:] == ["--subinterpreter"]:
    import _testcapi, os, threading
    ready, alive = os.pipe(), os.pipe()
    sub = threading.Thread(target=_testcapi.run_in_subinterp, args=(
        "import os; os.write(%%d, b'.'); os.read(%%d, 1)" %% (
            ready[1], alive[0]),))
    sub.start()
    os.read(ready[0], 1)   # alive until the calls are done
loop = {
    "native": lambda: run.hot_path(run.native),
    "floor": run.floor,
    "native, 64 classes": lambda: run.hot_path_round(run.native),
    "floor, 64 classes": run.floor_round,
}[contender]()
loop(calls)
if sub is not None:
    os.write(alive[1], b".")
    sub.join()
""" % HERE


def collected(script, contender, calls, hashing, extra):
    env = dict(os.environ, PYTHONHASHSEED=str(hashing))
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, script, contender, str(calls)] + extra,
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
        universal_newlines=True, check=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def per_call(script, contender, hashing, extra):
    return (collected(script, contender, 2 * CALLS, hashing, extra) -
            collected(script, contender, CALLS, hashing, extra)) / CALLS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hashing", default="1,2,3",
                        help="PYTHONHASHSEED values, one run each")
    parser.add_argument("--subinterpreter", action="store_true",
                        help="with a legacy sub-interpreter alive")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the ratios there")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    extra = ["--subinterpreter"] if args.subinterpreter else []
    print("%s %s%s" % (sys.implementation.name, sys.version.split()[0],
                       ", a sub-interpreter alive" if extra else ""))
    print("%-12s %7s %10s %10s %8s" % ("classes", "hashing", "native",
                                       "floor", "ratio"))
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "hot.py")
        with open(script, "w") as f:
            f.write(PROGRAM)
        ratios = {}
        for suffix, label in (("", "one"), (", 64 classes", "64 in turn")):
            for hashing in args.hashing.split(","):
                native = per_call(script, "native" + suffix, hashing, extra)
                floor = per_call(script, "floor" + suffix, hashing, extra)
                print("%-12s %7s %10.0f %10.0f %7.3fx" % (
                    label, hashing, native, floor, native / floor))
                ratios.setdefault(label, []).append(native / floor)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(ratios, f)


if __name__ == "__main__":
    main()
