#!/usr/bin/env python3
"""Build the sdist and the wheel, check what they hold, install the sdist
into clean environments on the oldest and the newest CPython found and
run the sdist's own tests there, put the module into an application's
own package from a wheel built there and from the wheel built here, and
run the Qt example on Xvfb and frozen by PyInstaller.

    python3 tools/check_dist.py
"""
import argparse
import fnmatch
import glob
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import test_all  # noqa: E402

SDIST_NEEDED = ["README.md", "LICENSE", "CHANGELOG.md", "pyproject.toml",
                "MANIFEST.in",
                "setup.py", "setup.cfg", "PKG-INFO",
                "src/Windows_QUMA/System/systemDefine.pyi",
                "src/Windows_QUMA/System/py.typed"] + [
    os.path.relpath(path, ROOT)
    for path in glob.glob(os.path.join(ROOT, "System", "*"))]
# The test suite and what it reads, for distributions that build from
# the sdist and run its tests.
SDIST_TESTS = ["tests/conftest.py", "tests/cache_probe.cpp",
               "bench/systemDefine_plain.py", "docs/performance.md",
               "tools/test_all.py"]
SDIST_NEEDED += SDIST_TESTS
SDIST_ALLOWED = SDIST_NEEDED + [
    "src/*.egg-info/*", "tests/test_*.py", "tests/*.txt", "docs/*.md",
    "examples/*.py", "examples/*.png", "tools/figures.py",
    "tools/runtimes.py", "tools/windows.py"]
WHEEL_NEEDED = ["Windows_QUMA/System/systemDefine.*.so",
                "Windows_QUMA/System/systemDefine.pyi",
                "Windows_QUMA/System/py.typed"]
WHEEL_ALLOWED = WHEEL_NEEDED + ["*.dist-info/*"]


def check_members(kind, names, needed, allowed):
    problems = []
    for pattern in needed:
        if not fnmatch.filter(names, pattern):
            problems.append("%s lacks %s" % (kind, pattern))
    for name in names:
        if not any(fnmatch.fnmatch(name, pattern) for pattern in allowed):
            problems.append("%s holds %s" % (kind, name))
    return problems


def application():
    """An application's top directory whose Windows_QUMA/System is a
    regular package of its own."""
    app = tempfile.mkdtemp(prefix="app-")
    for package in ("Windows_QUMA", os.path.join("Windows_QUMA", "System")):
        os.makedirs(os.path.join(app, package))
        open(os.path.join(app, package, "__init__.py"), "w").close()
    return app


IMPORTED_FROM_APP = (
    "import os; from Windows_QUMA.System import systemDefine as sd; "
    "here = os.path.dirname(sd.__file__); "
    "print(here == os.path.join(%r, 'Windows_QUMA', 'System'), sd.PAGE_INFO, "
    "sorted(n for n in os.listdir(here) if not n.startswith('systemDefine.c')"
    " and n != '__pycache__'))")
IN_APP = "True info ['__init__.py', 'py.typed', 'systemDefine.pyi']"


def check_into_application(label, python, wheel=None):
    """The README's recipe for such an application: tools/into_application.py
    puts the module, its stub and py.typed into the application's package,
    built here (pip fetches what the build needs) or taken from `wheel`."""
    app = application()
    cmd = [python, os.path.join(HERE, "into_application.py"), app]
    done = subprocess.run(cmd + (["--wheel", wheel] if wheel else []),
                          stdout=subprocess.DEVNULL).returncode == 0
    proc = subprocess.run([python, "-c", IMPORTED_FROM_APP % app],
                          stdout=subprocess.PIPE, universal_newlines=True,
                          cwd=app)
    ok = done and proc.returncode == 0 and proc.stdout.strip() == IN_APP
    print("into an application's package, %s: %s" % (
        label, "ok" if ok else "FAILED " + proc.stdout.strip()))
    return [] if ok else ["into an application's package, " + label]


# The test runner's environments that have a Qt binding (QT_BINDINGS).
QT_VENVS = {label: os.path.join(test_all.VENVS, label, "bin", "python")
            for label in test_all.QT_BINDINGS}


def check_qt_example():
    """The Qt example on a real X server (Xvfb), on each binding whose
    test environment is there, and frozen into one file by PyInstaller
    (PySide6's), run offscreen and on Xvfb."""
    problems = []
    pythons = {label: python for label, python in QT_VENVS.items()
               if os.path.exists(python)}
    if not pythons or shutil.which("xvfb-run") is None:
        print("Qt example: skipped (no Qt environment or no xvfb-run)")
        return problems
    example = os.path.join(ROOT, "examples", "qt_monitor.py")
    out = tempfile.mkdtemp(prefix="qt-")

    def shows(label, cmd, env=None):
        shot = os.path.join(out, label.replace(" ", "-") + ".png")
        proc = subprocess.run(cmd + ["--screenshot", shot], env=env,
                              stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=300,
                              universal_newlines=True)
        ok = proc.returncode == 0 and os.path.exists(shot) and \
            os.path.getsize(shot) > 0
        print("Qt example, %s: %s" % (label, "ok" if ok else
                                      "FAILED " + proc.stderr[-300:]))
        return [] if ok else ["Qt example, " + label]

    xvfb = ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24"]
    for label, python in sorted(pythons.items()):
        problems += shows("on Xvfb with CPython " + label,
                          xvfb + [python, example])
    python = pythons.get(max(pythons, key=lambda v: tuple(
        map(int, v.split(".")))))
    if subprocess.run([python, "-m", "pip", "install", "-q",
                       "--disable-pip-version-check", "pyinstaller"]
                      ).returncode != 0:
        return problems + ["PyInstaller install"]
    frozen = os.path.join(out, "dist", "qt_monitor")
    if subprocess.run([python, "-m", "PyInstaller", "--onefile",
                       "--noconfirm", "--log-level", "WARN", "--distpath",
                       os.path.join(out, "dist"), "--workpath",
                       os.path.join(out, "work"), "--specpath", out,
                       example], cwd=out).returncode != 0:
        return problems + ["PyInstaller build"]
    problems += shows("frozen, offscreen", [frozen],
                      env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    problems += shows("frozen, on Xvfb", xvfb + [frozen])
    return problems


def main():
    argparse.ArgumentParser(description=__doc__.splitlines()[0]).parse_args()
    out = tempfile.mkdtemp(prefix="dist-")
    python = test_all.make_tool_venv("rel-dist", ["build"])
    subprocess.run([python, "-m", "build", "--outdir", out, ROOT],
                   check=True)
    sdist = glob.glob(os.path.join(out, "*.tar.gz"))[0]
    wheel = glob.glob(os.path.join(out, "*.whl"))[0]
    with tarfile.open(sdist) as archive:
        names = [member.name.split("/", 1)[1] for member in archive
                 if member.isfile()]
    problems = check_members("sdist", names, SDIST_NEEDED, SDIST_ALLOWED)
    with zipfile.ZipFile(wheel) as archive:
        wheel_names = archive.namelist()
    problems += check_members("wheel", wheel_names, WHEEL_NEEDED,
                              WHEEL_ALLOWED)
    print("sdist: %d files; wheel: %d files" % (len(names), len(wheel_names)))

    problems += check_into_application(
        "from the wheel built here", python, wheel)

    found = test_all.interpreters()
    ends = sorted({min(found, key=lambda v: tuple(map(int, v.split(".")))),
                   max(found, key=lambda v: tuple(map(int, v.split("."))))})
    for version in ends:
        # A bare environment: pip alone (no setuptools from 3.12 on).
        bare = test_all.new_venv("rel-app-" + version, found[version])[0]
        problems += check_into_application("built on CPython " + version,
                                           bare)
        pytest = "pytest<7.1" if version == "3.6" else "pytest"
        vpython = test_all.make_tool_venv(
            "rel-sdist-" + version, [sdist, pytest, "hypothesis"],
            python=found[version])
        proc = subprocess.run(
            [vpython, "-c", "from Windows_QUMA.System import systemDefine "
             "as sd; print(sd.PAGE_INFO, sd.Singleton.__name__)"],
            stdout=subprocess.PIPE, universal_newlines=True, cwd=out)
        ok = proc.returncode == 0 and proc.stdout.split() == [
            "info", "Singleton"]
        print("sdist installed and imported on CPython %s: %s" % (
            version, "ok" if ok else "FAILED"))
        if not ok:
            problems.append("sdist on %s" % version)
        # Its own tests, from the unpacked sdist, against that install.
        unpacked = tempfile.mkdtemp(prefix="sdist-")
        with tarfile.open(sdist) as archive:
            archive.extractall(unpacked)
        tests = glob.glob(os.path.join(unpacked, "*", "tests"))[0]
        proc = subprocess.run([vpython, "-m", "pytest", "-q", "-p",
                               "no:cacheprovider", tests], cwd=out,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        summary = (proc.stdout.strip().splitlines() or ["no output"])[-1]
        print("sdist's own tests on CPython %s: %s" % (version, summary))
        if proc.returncode != 0:
            print(proc.stdout[-3000:])
            problems.append("sdist's tests on %s" % version)
    problems += check_qt_example()
    for problem in problems:
        print("problem: " + problem)
    print("dist: %s" % ("ok" if not problems else "FAILED"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
