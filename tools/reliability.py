#!/usr/bin/env python3
"""Reliability checks, each with its figures.

    python3 tools/reliability.py [--examples N] [--require-debug]
                                 [--reuse-venvs]

1. leaks       reference and memory-block growth per behaviour, under a
               debug build of CPython (python3.X-dbg from the distribution)
2. nomemory    each allocation of the import and of __new__ made to fail,
               on every release CPython 3.6+ found
3. sanitizers  the whole test suite with the module built with ASan+UBSan
4. fuzz        the model-checked random calls with N examples (default 3000)
5. threads     the thread test, repeated

Environments are made fresh under .venvs/ (names starting "rel-").  Exits
non-zero when any check fails, or, with --require-debug, when no debug
interpreter is found.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import test_all  # noqa: E402

CHECKS = os.path.join(HERE, "checks")
TESTS = os.path.join(ROOT, "tests")


def output(cmd, env=None, timeout=1800):
    print("+ " + " ".join(cmd), flush=True)
    proc = subprocess.run(cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True,
                          env=env, cwd=CHECKS, timeout=timeout)
    print(proc.stdout, flush=True)
    return proc.returncode, proc.stdout


def last_line(text, prefix=""):
    lines = [line for line in text.splitlines()
             if line.strip() and line.startswith(prefix)]
    return lines[-1].strip() if lines else "(no output)"


def debug_interpreter():
    found = sorted(glob.glob("/usr/bin/python3.*-dbg"), reverse=True)
    return found[0] if found else shutil.which("python3-dbg")


def check_leaks(figures):
    python = debug_interpreter()
    if python is None:
        figures.append(("leaks", "skipped: no debug build of CPython found",
                        None))
        return
    vpython = test_all.make_venv("rel-debug", python)
    if vpython is None:
        figures.append(("leaks", "could not build for %s" % python, False))
        return
    code, out = output([vpython, "leaks.py"])
    figures.append(("leaks", last_line(out, "leaks:") + " (%s)" %
                    os.path.basename(python), code == 0))


def check_nomemory(figures, reuse):
    for version, python in test_all.interpreters().items():
        vpython = os.path.join(test_all.VENVS, version, "bin", "python")
        if not (reuse and os.path.exists(vpython)):
            vpython = test_all.make_venv("rel-" + version, python)
        if vpython is None:
            figures.append(("nomemory " + version, "could not build", False))
            continue
        code, out = output([vpython, "nomemory.py"])
        lines = [line for line in out.splitlines()
                 if ": " in line and "/" in line.split(": ", 1)[1][:12]]
        figures.append(("nomemory " + version, "; ".join(lines), code == 0))


def sanitizer_runtime():
    for name in ("libasan.so", "libasan.so.8", "libasan.so.6"):
        path = subprocess.run(["gcc", "-print-file-name=" + name],
                              stdout=subprocess.PIPE,
                              universal_newlines=True).stdout.strip()
        if os.path.isabs(path) and os.path.exists(path):
            return path
    return None


def check_sanitizers(figures):
    runtime = sanitizer_runtime()
    if runtime is None or not shutil.which("gcc"):
        figures.append(("sanitizers", "skipped: no ASan runtime", None))
        return
    env = dict(os.environ, SYSTEMDEFINE_SANITIZE="1")
    vpython = test_all.make_venv("rel-asan", sys.executable, env=env)
    if vpython is None:
        figures.append(("sanitizers", "could not build", False))
        return
    env = dict(os.environ, LD_PRELOAD=runtime, PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=0:abort_on_error=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    code, out = output([vpython, "-m", "pytest", "-q", "-p",
                        "no:cacheprovider", TESTS], env=env)
    reports = out.count("ERROR: AddressSanitizer") + \
        out.count("runtime error:")
    figures.append(("sanitizers", "%s, %d sanitizer reports (%s)" % (
        last_line(out), reports, "CPython %d.%d" % sys.version_info[:2]),
        code == 0 and reports == 0))


def check_fuzz(figures, vpython, examples):
    env = dict(os.environ, SYSTEMDEFINE_FUZZ_EXAMPLES=str(examples))
    code, out = output([vpython, "-m", "pytest", "-q", "-p",
                        "no:cacheprovider", os.path.join(TESTS,
                                                         "test_fuzz.py")],
                       env=env)
    figures.append(("fuzz", "%s, %d examples each" % (last_line(out),
                                                      examples), code == 0))


def check_threads(figures, vpython, repeat=10):
    clean = 0
    for _ in range(repeat):
        code, _ = output([vpython, "-m", "pytest", "-q", "-p",
                          "no:cacheprovider",
                          os.path.join(TESTS, "test_threads.py")],
                         timeout=300)
        clean += code == 0
    figures.append(("threads", "%d/%d runs clean" % (clean, repeat),
                    clean == repeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--examples", type=int, default=3000)
    parser.add_argument("--require-debug", action="store_true")
    parser.add_argument("--reuse-venvs", action="store_true",
                        help="use the environments tools/test_all.py made "
                        "from this same checkout")
    args = parser.parse_args()

    figures = []
    check_leaks(figures)
    check_nomemory(figures, args.reuse_venvs)
    check_sanitizers(figures)
    here = test_all.make_venv("rel-release", sys.executable)
    check_fuzz(figures, here, args.examples)
    check_threads(figures, here)

    print("\n=== Reliability (CPython %s, %s)" % (
        sysconfig.get_python_version(), sysconfig.get_platform()))
    failed = 0
    for name, text, ok in figures:
        mark = {True: "ok", False: "FAILED", None: "skipped"}[ok]
        print("%-14s %-8s %s" % (name, mark, text))
        failed += ok is False or (ok is None and name == "leaks" and
                                  args.require_debug)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
