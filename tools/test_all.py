#!/usr/bin/env python3
"""Run the test suite on every CPython 3.6+ found on this machine.

Interpreters come from pyenv (when present) and from PATH.  Each gets a
fresh virtual environment under .venvs/, the package built from this
checkout with warnings as errors, and pytest from the package index.

    python3 tools/test_all.py [--require 3.6,3.7,...] [-- pytest args]

--require fails the run when one of the listed versions was not found, so
that the matrix cannot shrink unnoticed.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENVS = os.path.join(ROOT, ".venvs")
PROBE = "import sys; print('%d.%d' % sys.version_info[:2], sys.implementation.name)"


def candidates():
    found = []
    if shutil.which("pyenv"):
        out = subprocess.run(["pyenv", "versions", "--bare"],
                             stdout=subprocess.PIPE, universal_newlines=True)
        for name in out.stdout.split():
            prefix = subprocess.run(["pyenv", "prefix", name],
                                    stdout=subprocess.PIPE,
                                    universal_newlines=True).stdout.strip()
            found.append(os.path.join(prefix, "bin", "python"))
    for minor in range(6, 30):
        path = shutil.which("python3.%d" % minor)
        if path:
            found.append(path)
    path = shutil.which("python3")
    if path:
        found.append(path)
    return found


def interpreters():
    """Map "3.N" to one CPython interpreter of that version."""
    chosen = {}
    for path in candidates():
        try:
            out = subprocess.run([path, "-c", PROBE], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL,
                                 universal_newlines=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            continue
        fields = out.stdout.split()
        if out.returncode != 0 or len(fields) != 2 or fields[1] != "cpython":
            continue
        major, minor = (int(part) for part in fields[0].split("."))
        if (major, minor) >= (3, 6):
            chosen.setdefault(fields[0], path)
    return dict(sorted(chosen.items(),
                       key=lambda item: tuple(map(int, item[0].split(".")))))


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, **kwargs).returncode


def is_36(python):
    """3.6 needs the last releases of pip and pytest that support it."""
    return run([python, "-c", "import sys; sys.exit(sys.version_info < (3, 7))"],
               stdout=subprocess.DEVNULL) != 0


def new_venv(name, python):
    """A fresh virtual environment under .venvs/ with a current pip (the
    last one for 3.6): the pip install command for it, or None."""
    venv = os.path.join(VENVS, name)
    shutil.rmtree(venv, ignore_errors=True)
    if run([python, "-m", "venv", venv]) != 0:
        return None
    vpython = os.path.join(venv, "bin", "python")
    pip = [vpython, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    if run(pip + ["--upgrade", "pip<22" if is_36(vpython) else "pip"]) != 0:
        return None
    return pip


def make_venv(name, python, env=None):
    """A fresh virtual environment under .venvs/ with the test tools and
    the package built from this checkout; its python, or None."""
    pip = new_venv(name, python)
    if pip is None:
        return None
    vpython = pip[0]
    tools = ["pytest<7.1" if is_36(vpython) else "pytest", "hypothesis",
             "mypy"]
    if run(pip + tools) != 0:
        return None
    env = dict(env or os.environ, SYSTEMDEFINE_STRICT="1")
    if run(pip + ["--no-cache-dir", ROOT], env=env,
           cwd=os.path.join(VENVS, name)) != 0:
        return None
    return vpython


def make_tool_venv(name, packages, python=sys.executable):
    """A fresh virtual environment with just `packages` installed."""
    pip = new_venv(name, python)
    if pip is None or run(pip + ["--no-cache-dir"] + list(packages)) != 0:
        raise SystemExit("cannot install %s with %s" % (" ".join(packages),
                                                        python))
    return pip[0]


def test_one(version, python, pytest_args):
    vpython = make_venv(version, python)
    if vpython is None:
        return False
    venv = os.path.dirname(os.path.dirname(vpython))
    cmd = [vpython, "-m", "pytest", "-q", "-p", "no:cacheprovider",
           os.path.join(ROOT, "tests")] + pytest_args
    print("+ " + " ".join(cmd), flush=True)
    proc = subprocess.Popen(cmd, cwd=venv, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True)
    last = ""
    for line in proc.stdout:
        sys.stdout.write(line)
        if line.strip():
            last = line
    sys.stdout.flush()
    for word in ("passed", "failed", "error"):
        found = re.search(r"(\d+) %s" % word, last)
        COUNTS[word] += int(found.group(1)) if found else 0
    return proc.wait() == 0


COUNTS = {"passed": 0, "failed": 0, "error": 0}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--require", default="",
                        help="comma-separated versions that must be tested")
    parser.add_argument("--only", default="",
                        help="comma-separated versions to test (default: all)")
    parser.add_argument("pytest_args", nargs="*")
    args = parser.parse_args()

    found = interpreters()
    missing = [v for v in args.require.split(",") if v and v not in found]
    if args.only:
        found = {v: p for v, p in found.items() if v in args.only.split(",")}
    results = {}
    for version, python in found.items():
        print("=== CPython %s (%s)" % (version, python), flush=True)
        results[version] = test_one(version, python, args.pytest_args)
    print("\n=== Summary")
    for version, ok in results.items():
        print("CPython %-5s %s" % (version, "passed" if ok else "FAILED"))
    for version in missing:
        print("CPython %-5s MISSING" % version)
    if not results:
        print("no CPython 3.6+ found")
    print("Total: %d passed, %d failed" % (
        COUNTS["passed"], COUNTS["failed"] + COUNTS["error"]))
    return 0 if results and all(results.values()) and not missing else 1


if __name__ == "__main__":
    sys.exit(main())
