#!/usr/bin/env python3
"""ThreadSanitizer over the free-threaded stress suite.

    python3 tools/check_tsan.py [--repeat N]

Builds (once, cached: tools/runtimes.py --only tsan, which takes long) the
free-threaded CPython 3.13 with --with-thread-sanitizer, builds the module
with -fsanitize=thread against it, and runs tests/test_free_threading.py
and tests/test_threads.py there with the GIL off.  Every report is put
with the module when a frame of its stack lies in the module's code, else
with the runtime; the runtime's own are listed apart with their first
frames.  Fails when the module has any.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import runtimes  # noqa: E402
import test_all  # noqa: E402

SUITES = [os.path.join(ROOT, "tests", name)
          for name in ("test_free_threading.py", "test_threads.py")]


def reports(directory):
    """Each ThreadSanitizer report (its text) written under `directory`."""
    found = []
    for path in sorted(glob.glob(os.path.join(directory, "tsan.*"))):
        with open(path, errors="replace") as log:
            text = log.read()
        found += [block for block in text.split("=" * 18) if
                  "WARNING: ThreadSanitizer" in block]
    return found


OUR_CODE = re.compile(r"sd::|systemDefine\.|/System/[a-z_]+\.(cpp|h)")


def ours(report):
    """Whether one of the racing accesses is made by the module's own code
    (the innermost frame of an access's stack), not merely by the runtime
    on a call that passes through it."""
    accesses = re.split(r"\n  (?=(?:Previous )?(?:[Aa]tomic )?(?:[Rr]ead|"
                        r"[Ww]rite) of size)", report)[1:]
    for access in accesses:
        frames = re.findall(r"#0 .*", access)
        if frames and OUR_CODE.search(frames[0]):
            return True
    return False


def first_frames(report, count=4):
    frames = re.findall(r"#\d+ (\S+) (\S+)", report)
    return ["%s %s" % frame for frame in frames[:count]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if runtimes.can_make():
        runtimes.ensure(["host", "tsan"])
    found = [python for label, python in runtimes.ft_interpreters()
             if label.endswith("-tsan")]
    if not found:
        raise SystemExit("tsan: no ThreadSanitizer build of CPython")
    interpreter = test_all.Interpreter("3.13t-tsan", found[0])
    # Making the environment and building run the instrumented interpreter
    # too: their reports are no concern here.
    os.environ["TSAN_OPTIONS"] = "report_bugs=0 exitcode=0"
    vpython = test_all.make_tool_venv("tsan", ["pytest"], interpreter)
    env = dict(os.environ, SYSTEMDEFINE_SANITIZE="thread",
               SYSTEMDEFINE_STRICT="1")
    if test_all.run([vpython, "-m", "pip", "install", "-q",
                     "--no-cache-dir", ROOT], env=env,
                    cwd=test_all.VENVS) != 0:
        raise SystemExit("tsan: the module does not build")
    logs = tempfile.mkdtemp(prefix="tsan-")
    env = dict(os.environ, PYTHON_GIL="0",
               TSAN_OPTIONS="halt_on_error=0 report_signal_unsafe=0 exitcode=0 "
               "second_deadlock_stack=1 log_path=%s" %
               os.path.join(logs, "tsan"))
    passed = True
    for _ in range(args.repeat):
        proc = subprocess.run([vpython, "-m", "pytest", "-q", "-p",
                               "no:cacheprovider"] + SUITES,
                              cwd=test_all.VENVS, env=env,
                              stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT,
                              universal_newlines=True, timeout=3600)
        print(proc.stdout.strip().splitlines()[-1], flush=True)
        passed = passed and proc.returncode == 0
    found = reports(logs)
    mine = [report for report in found if ours(report)]
    theirs = [report for report in found if not ours(report)]
    for report in mine:
        print("--- in the module:\n" + report.strip())
    kinds = {}
    for report in theirs:
        key = " / ".join(first_frames(report))
        kinds[key] = kinds.get(key, 0) + 1
    for key, count in sorted(kinds.items(), key=lambda item: -item[1]):
        print("runtime's own (%dx): %s" % (count, key))
    print("tsan: %d runs, %d reports in the module's code, %d in the "
          "runtime's own (%d kinds)" % (args.repeat, len(mine), len(theirs),
                                        len(kinds)))
    shutil.rmtree(logs, ignore_errors=True)
    return 0 if passed and not mine else 1


if __name__ == "__main__":
    sys.exit(main())
