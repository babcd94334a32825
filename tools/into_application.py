#!/usr/bin/env python3
"""Put the module, its type stub and py.typed into an application whose own
Windows_QUMA/System is a regular package (one with an __init__.py, which
hides the installed module).

    python tools/into_application.py APP [--wheel WHEEL]

The files come from a wheel: WHEEL, such as a release's
quma_systemdefine-X.Y.Z-cp36-cp36m-win32.whl (no compiler needed), or
else one that pip builds from this checkout for the running interpreter
(pip fetches what the build needs).  They go to
APP/Windows_QUMA/System/, beside the package's __init__.py.  Only the
standard library and pip are used, on 3.6 too.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "Windows_QUMA/System/"


def built_wheel(directory):
    """A wheel of this checkout for the running interpreter."""
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps",
                    "--disable-pip-version-check", "-q", "-w", directory,
                    ROOT], check=True)
    return glob.glob(os.path.join(directory, "*.whl"))[0]


def module_files(wheel):
    """The names in `wheel` that go into the application's package."""
    with zipfile.ZipFile(wheel) as archive:
        names = [name for name in archive.namelist()
                 if name.startswith(PACKAGE) and "/" not in
                 name[len(PACKAGE):]]
    if not any(name[len(PACKAGE):].startswith("systemDefine.") and
               name.endswith((".so", ".pyd")) for name in names):
        raise SystemExit("%s holds no binary of the module" % wheel)
    return names


def put(wheel, app):
    target = os.path.join(app, *PACKAGE.split("/"))
    if not os.path.isfile(os.path.join(target, "__init__.py")):
        raise SystemExit("%s is no package of the application's" % target)
    written = []
    with zipfile.ZipFile(wheel) as archive:
        for name in module_files(wheel):
            path = os.path.join(target, name[len(PACKAGE):])
            with archive.open(name) as source, open(path, "wb") as out:
                shutil.copyfileobj(source, out)
            written.append(path)
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("app", help="the application's top directory")
    parser.add_argument("--wheel", help="take the files from this wheel")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as directory:
        wheel = args.wheel or built_wheel(directory)
        for path in put(wheel, args.app):
            print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
