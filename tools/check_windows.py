#!/usr/bin/env python3
"""Cross-build the module for Windows with mingw-w64 and check the .pyd.

    python3 tools/check_windows.py

For 32-bit (i686) and 64-bit (x86_64) Windows, against CPython 3.6's
headers (pyenv's) and 3.13's (the Include directory of Debian's python3.13
source package, which tools/runtimes.py fetches), each with the Windows
pyconfig.h of that source package's PC directory (3.6's own is not on
this machine; the platform settings it makes are the same for both):

1. every source file compiles with warnings as errors;
2. the objects link into systemDefine.pyd against an import library made
   from the Python symbols they use (nothing else of Python is linked);
3. the .pyd exports PyInit_systemDefine and nothing else, and imports
   only the Python DLL and system DLLs.

What this proves: the sources are portable C++17 for a Windows compiler
and ABI (32-bit pointers, LLP64, the DLL import and export rules), and the
entry point is the only export.  What it does not: that MSVC compiles them
(the release is built with MSVC), or that the .pyd runs.
"""
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

ARCHES = ["i686", "x86_64"]
FLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-Wconversion",
         "-Wno-missing-field-initializers", "-fno-exceptions", "-fno-rtti",
         '-DSYSTEMDEFINE_BUILD_ROOT="C:\\\\build\\\\"']
# DLLs a .pyd may import besides the Python DLL: the C runtime and the
# system's own.
SYSTEM_DLLS = re.compile(r"^(kernel32|msvcrt|user32|advapi32|"
                         r"api-ms-win-[a-z0-9-]+)\.dll$", re.I)


def sources():
    with open(os.path.join(ROOT, "setup.py")) as setup:
        return re.findall(r'"(System/[a-z_]+\.cpp)"', setup.read())


def headers():
    """(label, include directory, DLL name) for each header set."""
    tree = runtimes.source_tree()
    found = [("3.6", "/root/.pyenv/versions/3.6.15/include/python3.6m",
              "python36.dll"),
             ("3.13", os.path.join(tree, "Include"), "python313.dll")]
    return tree, [entry for entry in found if os.path.isdir(entry[1])]


def prepare_includes(work, include, tree):
    """The headers with the Windows pyconfig.h in place of this
    machine's (Python.h includes it from its own directory)."""
    target = os.path.join(work, "include")
    shutil.copytree(include, target)
    shutil.copyfile(os.path.join(tree, "PC", "pyconfig.h.in"),
                    os.path.join(target, "pyconfig.h"))
    return target


def tool(arch, name):
    return "%s-w64-mingw32-%s" % (arch, name)


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, universal_newlines=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          **kwargs)


def python_imports(arch, objects):
    """The Python symbols the objects import (names as exported)."""
    out = run([tool(arch, "nm"), "-u"] + objects).stdout
    names = set()
    for line in out.split():
        if line.startswith("__imp_"):
            name = line[len("__imp_"):]
            if arch == "i686":
                name = name[1:]   # C names carry an underscore there
            if name.startswith(("Py", "_Py")):
                names.add(name)
    return sorted(names)


def dll_report(arch, pyd):
    out = run([tool(arch, "objdump"), "-p", pyd]).stdout
    imports = re.findall(r"DLL Name: (\S+)", out)
    exports = []
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            match = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
            if not match:
                break
            exports.append(match.group(1))
    return exports, imports


def check(arch, label, include, dll, tree, work):
    """Problems found building for (arch, headers), or []."""
    includes = prepare_includes(work, include, tree)
    objects = []
    for source in sources():
        obj = os.path.join(work, os.path.basename(source) + ".o")
        proc = run([tool(arch, "g++")] + FLAGS + ["-I", includes, "-I", ROOT,
                                                 "-c", os.path.join(ROOT,
                                                                    source),
                                                 "-o", obj])
        if proc.returncode != 0:
            return ["%s does not compile:\n%s" % (source, proc.stdout)]
        objects.append(obj)
    definition = os.path.join(work, "python.def")
    with open(definition, "w") as out:
        out.write("LIBRARY %s\nEXPORTS\n" % dll)
        for name in python_imports(arch, objects):
            out.write("    %s\n" % name)
    library = os.path.join(work, "libpython.a")
    dlltool = [tool(arch, "dlltool"), "-d", definition, "-l", library]
    if arch == "i686":
        dlltool.append("-U")
    proc = run(dlltool)
    if proc.returncode != 0:
        return ["import library: " + proc.stdout]
    pyd = os.path.join(work, "systemDefine.pyd")
    proc = run([tool(arch, "g++"), "-shared", "-o", pyd] + objects +
               [library, "-static-libgcc", "-static-libstdc++"])
    if proc.returncode != 0:
        return ["link: " + proc.stdout]
    exports, imports = dll_report(arch, pyd)
    problems = []
    if exports != ["PyInit_systemDefine"]:
        problems.append("exports %s" % (exports[:10] +
                                        (["..."] if exports[10:] else [])))
    foreign = [name for name in imports
               if name.lower() != dll and not SYSTEM_DLLS.match(name)]
    if foreign or dll not in [name.lower() for name in imports]:
        problems.append("imports %s" % imports)
    print("%s, %s headers: exports %s, imports %s" % (
        arch, label, exports, imports), flush=True)
    return problems


def main():
    missing = [arch for arch in ARCHES if not shutil.which(tool(arch, "g++"))]
    if missing and runtimes.can_make():
        runtimes.ensure(["host"])
        missing = [a for a in ARCHES if not shutil.which(tool(a, "g++"))]
    if missing:
        print("windows: no mingw-w64 compiler for %s" % ", ".join(missing))
        return 1
    tree, header_sets = headers()
    failed = 0
    for arch in ARCHES:
        for label, include, dll in header_sets:
            with tempfile.TemporaryDirectory() as work:
                problems = check(arch, label, include, dll, tree, work)
            for problem in problems:
                print("windows %s %s: %s" % (arch, label, problem))
            failed += bool(problems)
            print("windows %s, CPython %s headers: %s" % (
                arch, label, "FAILED" if problems else "ok"), flush=True)
    if len(header_sets) < 2:
        print("windows: header sets missing")
        failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
