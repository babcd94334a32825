#!/usr/bin/env python3
"""Run the test suite on every interpreter the project supports.

Interpreters come from pyenv (when present) and from PATH, and from the
cache that tools/runtimes.py makes (it is run first, where this machine
can: as root with apt-get): CPython 3.14 and 3.15 in a Debian unstable
root and a 32-bit CPython 3.11 in a Debian i386 root, both run with
chroot, a free-threaded CPython 3.13 built from Debian's source package,
Debian's PyPy 3, and CPython 3.8 to 3.13 for Windows x64, run by Wine
(tools/windows.py).  Each interpreter gets a fresh virtual environment
under .venvs/ (for Windows, a fresh copy of the interpreter), the package
built from this checkout with warnings as errors (for Windows, a wheel
cross-built with mingw-w64 and installed by the interpreter's own pip),
and pytest from the package index; the suite runs from outside the
source tree.

    python3 tools/test_all.py [--require 3.6,...] [--only 3.11,...]
                              [--no-make] [-- pytest args]

--require fails the run when one of the listed labels was not found, so
that the matrix cannot shrink unnoticed.
"""
import argparse
import contextlib
import glob
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VENVS = os.path.join(ROOT, ".venvs")
sys.path.insert(0, HERE)
import runtimes  # noqa: E402
import windows  # noqa: E402

# What tools/runtimes.py makes for the matrix.
MADE = ["host", "sid", "i386", "ft", "win"]
PYPY_PROBE = "import sys; print('pypy%d.%d' % sys.version_info[:2])"


def pypy_interpreters():
    """PyPy 3 on PATH (Debian's pypy3), as Interpreters."""
    python = shutil.which("pypy3")
    if python is None:
        return []
    out = subprocess.run([python, "-c", PYPY_PROBE], stdout=subprocess.PIPE,
                         universal_newlines=True)
    return [Interpreter(out.stdout.strip(), python)] if out.returncode == 0 \
        else []


class Interpreter(object):
    """A Python to test on: its label, its path, and the root it runs in
    (None: this machine).  Inside a root the checkout lies at the same
    path as here, so paths under it mean the same on both sides."""

    def __init__(self, label, python, root=None):
        self.label, self.python, self.root = label, python, root

    def command(self, argv, cwd=None):
        if self.root is None:
            return list(argv)
        return ["chroot", self.root, "/usr/bin/env", "-C", cwd or ROOT] + \
            list(argv)

    def __repr__(self):
        where = "" if self.root is None else " in " + self.root
        return "%s (%s%s)" % (self.label, self.python, where)


class WindowsInterpreter(Interpreter):
    """A CPython for Windows, run by Wine on this machine.  Its standard
    streams must be pipes: run() passes its output through."""

    def command(self, argv, cwd=None):
        env = windows.environment({})
        return ["env"] + ["%s=%s" % item for item in sorted(env.items())] + \
            windows.command(argv[0], argv[1:])

    def __repr__(self):
        return "%s (%s under Wine)" % (self.label, self.python)


def as_interpreter(python):
    if isinstance(python, Interpreter):
        return python
    return Interpreter(os.path.basename(python), python)
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


def run(cmd, interpreter=None, cwd=None, **kwargs):
    """Run `cmd` (with `interpreter`'s root, if it has one); its exit
    status."""
    if interpreter is not None and interpreter.root is not None:
        cmd = interpreter.command(cmd, cwd)
        cwd = None
    elif isinstance(interpreter, WindowsInterpreter):
        cmd = interpreter.command(cmd)
        if "stdout" not in kwargs:
            kwargs.update(stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            print("+ " + " ".join(cmd), flush=True)
            proc = subprocess.run(cmd, cwd=cwd, **kwargs)
            sys.stdout.buffer.write(proc.stdout)
            sys.stdout.flush()
            return proc.returncode
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, cwd=cwd, **kwargs).returncode


def is_36(interpreter, python=None):
    """3.6 needs the last releases of pip and pytest that support it."""
    return run([python or interpreter.python, "-c",
                "import sys; sys.exit(sys.version_info < (3, 7))"],
               interpreter, stdout=subprocess.DEVNULL) != 0


def new_venv(name, python):
    """A fresh virtual environment under .venvs/ with a current pip (the
    last one for 3.6): the pip install command for it, or None."""
    interpreter = as_interpreter(python)
    venv = os.path.join(VENVS, name)
    shutil.rmtree(venv, ignore_errors=True)
    if run([interpreter.python, "-m", "venv", venv], interpreter) != 0:
        return None
    vpython = os.path.join(venv, "bin", "python")
    pip = [vpython, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    old = is_36(interpreter, vpython)
    if run(pip + ["--upgrade", "pip<22" if old else "pip"], interpreter) != 0:
        return None
    return pip


# The Qt bindings the application is built on, each on the interpreters
# whose runs test the module with it (their wheels weigh some 100-300 MB,
# too much for every interpreter): PyQt5 on the application's own 3.6,
# PySide6 (from 3.9) on 3.12.  Elsewhere the Qt tests skip.
QT_BINDINGS = {"3.6": "PyQt5", "3.12": "PySide6-Essentials"}
# pyright (with the Node.js it runs on, some 100 MB) where the Qt tests use
# PySide6: the second checker of the stub.
PYRIGHT = ("3.12",)


def make_windows_env(interpreter, name=None, tools=("pytest",
                                                    "hypothesis")):
    """A fresh copy of a Windows interpreter under .venvs/ (in `name`,
    by default its label) with `tools` and the module's wheel for it,
    built from this checkout (the unstable root mounted); its python.exe,
    or None."""
    target = os.path.join(VENVS, name or interpreter.label)
    vpython = windows.make_env(interpreter.label, target)
    pip = [vpython, "-m", "pip", "install", "-q",
           "--disable-pip-version-check", "--no-warn-script-location"]
    windows_interpreter = WindowsInterpreter(interpreter.label, vpython)
    if tools and run(pip + ["--prefer-binary"] + list(tools),
                     windows_interpreter, cwd=target) != 0:
        return None
    try:
        wheel = windows.build_wheel(interpreter.label,
                                    os.path.join(target, "wheel"))
    except subprocess.CalledProcessError:
        return None
    if run(pip + [windows.windows_path(wheel)], windows_interpreter,
           cwd=target) != 0:
        return None
    return vpython


def make_venv(name, python, env=None):
    """A fresh virtual environment under .venvs/ with the test tools and
    the package built from this checkout; its python, or None."""
    interpreter = as_interpreter(python)
    if isinstance(interpreter, WindowsInterpreter):
        return make_windows_env(interpreter)
    pip = new_venv(name, interpreter)
    if pip is None:
        return None
    vpython = pip[0]
    # Older releases where a newer one would have to be built from source
    # (some have no wheel for a free-threaded build or PyPy yet).  mypy
    # is optional: the typing tests skip without it.
    pip_binary = pip + ["--prefer-binary"]
    tools = ["pytest<7.1" if is_36(interpreter, vpython) else "pytest",
             "hypothesis"]
    if run(pip_binary + tools, interpreter) != 0:
        return None
    if run(pip_binary + ["mypy"], interpreter) != 0:
        print("(no mypy for %s: its typing tests skip)" % interpreter.label)
    if interpreter.label in PYRIGHT and \
            run(pip_binary + ["pyright[nodejs]"], interpreter) != 0:
        print("(no pyright for %s: its typing tests skip)" %
              interpreter.label)
    binding = QT_BINDINGS.get(interpreter.label)
    if binding and run(pip_binary + [binding], interpreter) != 0:
        return None
    # The wheel that pip builds from the checkout, kept beside the
    # environment for tools/check_release.py, and installed from there.
    env = dict(env or os.environ, SYSTEMDEFINE_STRICT="1")
    venv = os.path.join(VENVS, name)
    wheels = os.path.join(venv, "wheel")
    wheel = [vpython, "-m", "pip", "wheel", "-q", "--no-deps",
             "--disable-pip-version-check", "--no-cache-dir", "-w", wheels]
    if run(wheel + [ROOT], interpreter, env=env, cwd=venv) != 0:
        return None
    built = glob.glob(os.path.join(wheels, "*.whl"))
    if len(built) != 1 or run(pip + built, interpreter, cwd=venv) != 0:
        return None
    return vpython


def make_tool_venv(name, packages, python=sys.executable):
    """A fresh virtual environment with just `packages` installed."""
    interpreter = as_interpreter(python)
    pip = new_venv(name, interpreter)
    if pip is None or run(pip + ["--no-cache-dir"] + list(packages),
                          interpreter) != 0:
        raise SystemExit("cannot install %s with %s" % (" ".join(packages),
                                                        python))
    return pip[0]


def test_one(interpreter, pytest_args):
    vpython = make_venv(interpreter.label, interpreter)
    if vpython is None:
        return False
    tests = os.path.join(ROOT, "tests")
    if isinstance(interpreter, WindowsInterpreter):
        venv = os.path.dirname(vpython)
        tests = windows.windows_path(tests)
    else:
        venv = os.path.dirname(os.path.dirname(vpython))
    cmd = interpreter.command(
        [vpython, "-m", "pytest", "-q", "-p", "no:cacheprovider", tests] +
        pytest_args, venv)
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


def matrix(make=True, only=()):
    """Every interpreter to test on, in order: this machine's CPythons,
    then those of the runtimes' cache (made first when `make`)."""
    if make and runtimes.can_make():
        runtimes.ensure(MADE)
    found = [Interpreter(version, python)
             for version, python in interpreters().items()]
    found += [Interpreter(label, python, root) for label, root, python in
              runtimes.chroot_interpreters()
              if runtimes.root_name(root) in MADE]
    found += [Interpreter(label, python)
              for label, python in runtimes.ft_interpreters()
              if label == runtimes.FT_BUILDS["ft"][1]]
    found += pypy_interpreters()
    found += [WindowsInterpreter(label, windows.python(label))
              for label in windows.ready()]
    if only:
        found = [interpreter for interpreter in found
                 if interpreter.label in only]
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--require", default="",
                        help="comma-separated labels that must be tested")
    parser.add_argument("--only", default="",
                        help="comma-separated labels to test (default: all)")
    parser.add_argument("--no-make", action="store_true",
                        help="use only what is there; make no runtime")
    parser.add_argument("pytest_args", nargs="*")
    args = parser.parse_args()

    only = [label for label in args.only.split(",") if label]
    found = matrix(not args.no_make, only)
    labels = [interpreter.label for interpreter in found]
    missing = [label for label in args.require.split(",")
               if label and label not in labels and
               (not only or label in only)]
    results = {}
    with contextlib.ExitStack() as stack:
        roots = {i.root for i in found if i.root is not None}
        if any(isinstance(i, WindowsInterpreter) for i in found):
            roots.add(runtimes.path("sid"))   # its compiler builds for them
        for root in sorted(roots):
            stack.enter_context(runtimes.chrooted(root))
        for interpreter in found:
            print("=== %r" % interpreter, flush=True)
            results[interpreter.label] = test_one(interpreter,
                                                  args.pytest_args)
    print("\n=== Summary")
    for label, ok in results.items():
        print("%-10s %s" % (label, "passed" if ok else "FAILED"))
    for label in missing:
        print("%-10s MISSING" % label)
    if not results:
        print("no interpreter found")
    print("Total: %d passed, %d failed" % (
        COUNTS["passed"], COUNTS["failed"] + COUNTS["error"]))
    return 0 if results and all(results.values()) and not missing else 1


if __name__ == "__main__":
    sys.exit(main())
