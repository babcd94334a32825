#!/usr/bin/env python3
"""Reliability checks, each with its figures.

    python3 tools/reliability.py [--examples N] [--require-debug]
                                 [--reuse-venvs] [--only CHECK,...]
                                 [--write docs/reliability.md]

1. leaks       reference and memory-block growth per behaviour, under the
               debug builds of CPython (python3.X-dbg of this machine's
               distribution, and 3.14's in the Debian unstable root)
2. nomemory    each allocation of the import and of __new__ made to fail,
               on every release CPython 3.6+ found, 3.14 and 3.15 of
               the root among them
3. sanitizers  the whole test suite with the module built with ASan+UBSan
4. fuzz        the model-checked random calls with N examples (default 3000)
5. threads     the thread test, repeated

Environments are made fresh under .venvs/ (names starting "rel-").  Exits
non-zero when any check fails, or, with --require-debug, when no debug
interpreter is found.  --only runs the checks named (as above); --write
rewrites the table of figures in that page (tools/figures.py), with
--only the rows of those checks alone.
"""
import argparse
import contextlib
import glob
import os
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import figures as tables  # noqa: E402
import runtimes  # noqa: E402
import test_all  # noqa: E402

CHECKS = os.path.join(HERE, "checks")
TESTS = os.path.join(ROOT, "tests")


def output(cmd, env=None, timeout=1800, interpreter=None):
    cwd = CHECKS
    if interpreter is not None and interpreter.root is not None:
        cmd, cwd = interpreter.command(cmd, CHECKS), None
    print("+ " + " ".join(cmd), flush=True)
    proc = subprocess.run(cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True,
                          env=env, cwd=cwd, timeout=timeout)
    print(proc.stdout, flush=True)
    return proc.returncode, proc.stdout


CHECK_NAMES = ["leaks", "nomemory", "sanitizers", "fuzz", "threads"]
# The exact interpreters each run measured, for the page it writes.
VERSIONS = []


def note_version(interpreter, vpython):
    out = subprocess.run(interpreter.command(
        [vpython, "-c", "import platform, sys; print(platform."
         "python_version() + ('d' if hasattr(sys, 'gettotalrefcount') "
         "else ''))"]), stdout=subprocess.PIPE, universal_newlines=True)
    version = out.stdout.strip()
    if version and version not in VERSIONS:
        VERSIONS.append(version)


def last_line(text, prefix=""):
    lines = [line for line in text.splitlines()
             if line.strip() and line.startswith(prefix)]
    return lines[-1].strip() if lines else "(no output)"


# Debug builds of CPython in the roots: label -> (root name, path inside).
ROOT_DEBUG = {"3.14-dbg": ("sid", "/usr/bin/python3.14-dbg")}


def debug_interpreters():
    found = sorted(glob.glob("/usr/bin/python3.*-dbg"), reverse=True)
    if not found and shutil.which("python3-dbg"):
        found = [shutil.which("python3-dbg")]
    interpreters = [test_all.Interpreter(os.path.basename(python), python)
                    for python in found[:1]]
    for label, (name, python) in ROOT_DEBUG.items():
        root = runtimes.path(name)
        if os.path.exists(root + python):
            interpreters.append(test_all.Interpreter(label, python, root))
    return interpreters


def check_leaks(figures):
    interpreters = debug_interpreters()
    if not interpreters:
        figures.append(("leaks", "skipped: no debug build of CPython found",
                        None))
    for interpreter in interpreters:
        name = "leaks " + interpreter.label
        vpython = test_all.make_venv("rel-" + interpreter.label, interpreter)
        if vpython is None:
            figures.append((name, "could not build", False))
            continue
        note_version(interpreter, vpython)
        code, out = output([vpython, "leaks.py"], interpreter=interpreter)
        figures.append((name, last_line(out, "leaks:"), code == 0))


def check_nomemory(figures, reuse, interpreters):
    for interpreter in interpreters:
        label = interpreter.label
        vpython = os.path.join(test_all.VENVS, label, "bin", "python")
        if not (reuse and os.path.exists(vpython)):
            vpython = test_all.make_venv("rel-" + label, interpreter)
        if vpython is None:
            figures.append(("nomemory " + label, "could not build", False))
            continue
        note_version(interpreter, vpython)
        code, out = output([vpython, "nomemory.py"], interpreter=interpreter)
        lines = [line for line in out.splitlines()
                 if ": " in line and "/" in line.split(": ", 1)[1][:12]]
        figures.append(("nomemory " + label, "; ".join(lines), code == 0))


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
    note_version(test_all.Interpreter("here", sys.executable), vpython)
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
    parser.add_argument("--only", default="",
                        help="comma-separated checks to run (default: all)")
    parser.add_argument("--write", metavar="PAGE")
    args = parser.parse_args()
    checks = [name for name in args.only.split(",") if name] or CHECK_NAMES
    unknown = set(checks) - set(CHECK_NAMES)
    if unknown:
        parser.error("no check " + ", ".join(sorted(unknown)))

    figures = []
    # The allocation sweep runs on the release CPythons of this machine
    # and of the unstable root.
    release = [i for i in test_all.matrix(make=False)
               if i.label[0].isdigit() and i.label.count(".") == 1 and
               i.label.replace(".", "").isdigit()]
    with contextlib.ExitStack() as stack:
        roots = {i.root for i in release + debug_interpreters()}
        for root in sorted(r for r in roots if r is not None):
            stack.enter_context(runtimes.chrooted(root))
        if "leaks" in checks:
            check_leaks(figures)
        if "nomemory" in checks:
            check_nomemory(figures, args.reuse_venvs, release)
    if "sanitizers" in checks:
        check_sanitizers(figures)
    if "fuzz" in checks or "threads" in checks:
        here = test_all.make_venv("rel-release", sys.executable)
        note_version(test_all.Interpreter("here", sys.executable), here)
        if "fuzz" in checks:
            check_fuzz(figures, here, args.examples)
        if "threads" in checks:
            check_threads(figures, here)

    print("\n=== Reliability (CPython %s, %s)" % (
        sysconfig.get_python_version(), sysconfig.get_platform()))
    failed = 0
    for name, text, ok in figures:
        mark = {True: "ok", False: "FAILED", None: "skipped"}[ok]
        print("%-14s %-8s %s" % (name, mark, text))
        failed += ok is False or (ok is None and name.startswith("leaks")
                                  and args.require_debug)
    if args.write and figures and not failed:
        mark = {True: "ok", False: "failed", None: "skipped"}
        rows = [(name, [name, mark[ok], text]) for name, text, ok in figures]
        command = "tools/reliability.py " + " ".join(sys.argv[1:])
        tables.write(
            args.write, command, ["check", "result", "figures"], rows,
            VERSIONS, only=bool(args.only))
        print("wrote %d rows into %s" % (len(rows), args.write))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
