"""Instructions a cached Service() call executes, against the floor's,
counted by callgrind in this interpreter: one class called again and
again, and 64 classes called in turn.

    python bench/instructions.py [--hashing 1,2,3]

Timings on a shared machine drift by more than the few percent between
the hot path and the floor; instruction counts do not.  Each count is the
difference between runs of N and 2N calls, so start-up cancels out, and
both contenders run with the same PYTHONHASHSEED, one run per value
given (string hashes steer the runtime's attribute cache and dict
probes, and so the count, by a few dozen instructions).
"""
import argparse
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
loop = {
    "native": lambda: run.hot_path(run.native),
    "floor": run.floor,
    "native, 64 classes": lambda: run.hot_path_round(run.native),
    "floor, 64 classes": run.floor_round,
}[contender]()
loop(calls)
""" % HERE


def collected(script, contender, calls, hashing):
    env = dict(os.environ, PYTHONHASHSEED=str(hashing))
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, script, contender, str(calls)],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
        universal_newlines=True, check=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def per_call(script, contender, hashing):
    return (collected(script, contender, 2 * CALLS, hashing) -
            collected(script, contender, CALLS, hashing)) / CALLS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hashing", default="1,2,3",
                        help="PYTHONHASHSEED values, one run each")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    print("%s %s" % (sys.implementation.name,
                     sys.version.split()[0]))
    print("%-12s %7s %10s %10s %8s" % ("classes", "hashing", "native",
                                       "floor", "ratio"))
    with tempfile.TemporaryDirectory() as tmp:
        script = os.path.join(tmp, "hot.py")
        with open(script, "w") as f:
            f.write(PROGRAM)
        for suffix, label in (("", "one"), (", 64 classes", "64 in turn")):
            for hashing in args.hashing.split(","):
                native = per_call(script, "native" + suffix, hashing)
                floor = per_call(script, "floor" + suffix, hashing)
                print("%-12s %7s %10.0f %10.0f %7.3fx" % (
                    label, hashing, native, floor, native / floor))


if __name__ == "__main__":
    main()
