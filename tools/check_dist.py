#!/usr/bin/env python3
"""Build the sdist and the wheel, check what they hold, and install the
sdist into clean environments on the oldest and the newest CPython found.

    python3 tools/check_dist.py
"""
import fnmatch
import glob
import os
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
SDIST_ALLOWED = SDIST_NEEDED + ["src/*.egg-info/*"]
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


def check_application_build():
    """The README's recipe for an application whose own Windows_QUMA/System
    is a regular package: the module built straight into that package."""
    app = tempfile.mkdtemp(prefix="app-")
    for package in ("Windows_QUMA", os.path.join("Windows_QUMA", "System")):
        os.makedirs(os.path.join(app, package))
        open(os.path.join(app, package, "__init__.py"), "w").close()
    python = test_all.make_tool_venv("rel-app", ["setuptools", "wheel"])
    built = subprocess.run([python, "setup.py", "-q", "build_ext",
                            "--build-lib", app], cwd=ROOT).returncode == 0
    proc = subprocess.run(
        [python, "-c", "from Windows_QUMA.System import systemDefine as sd; "
         "print(sd.__file__.startswith(%r), sd.PAGE_INFO)" % app],
        stdout=subprocess.PIPE, universal_newlines=True, cwd=app)
    ok = built and proc.returncode == 0 and proc.stdout.split() == [
        "True", "info"]
    print("built into an application's package: %s" % (
        "ok" if ok else "FAILED"))
    return [] if ok else ["build into an application's package"]


def main():
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

    found = test_all.interpreters()
    ends = sorted({min(found, key=lambda v: tuple(map(int, v.split(".")))),
                   max(found, key=lambda v: tuple(map(int, v.split("."))))})
    for version in ends:
        vpython = test_all.make_tool_venv("rel-sdist-" + version, [sdist],
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
    problems += check_application_build()
    for problem in problems:
        print("problem: " + problem)
    print("dist: %s" % ("ok" if not problems else "FAILED"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
