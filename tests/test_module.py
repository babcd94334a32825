"""The import sequence: module attributes, registry entry, failures."""
import builtins
import os
import re
import shutil
import struct
import subprocess
import sys
import warnings

import pytest

from conftest import (INIT_NAME, MODULE_NAME, ROOT, SOURCE_FILE,
                      needs_testcapi, run_python)


def test_module_attributes(mod):
    assert mod.__doc__ is None
    assert mod.__builtins__ is builtins
    assert type(mod.__test__) is dict and mod.__test__ == {}
    assert sys.modules[MODULE_NAME] is mod
    key = [name for name in vars(mod) if name == "__builtins__"][0]
    assert key is sys.intern("__builtins__")


PLAIN_IMPORT = """
import importlib.util, os, sys
found = importlib.util.find_spec({name!r})
sys.path.insert(0, os.path.dirname(found.origin))
{setup}
import systemDefine
print(systemDefine.__name__, systemDefine.PAGE_MONITOR,
      sys.modules[{name!r}] is systemDefine)
"""


def test_plain_name_import_registers_full_name():
    proc = run_python(PLAIN_IMPORT.format(name=MODULE_NAME, setup=""))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["systemDefine", "monitor", "True"]


def test_plain_name_import_runs_the_sequence_again():
    if sys.implementation.name == "pypy":
        pytest.skip("PyPy loads a library once and copies the first "
                    "module's dictionary for a second name")
    proc = run_python(PLAIN_IMPORT.format(
        name=MODULE_NAME, setup="import %s as first" % MODULE_NAME) +
        "print(systemDefine.Singleton is first.Singleton)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split()[-1] == "False"


def test_builtin_super_deleted_after_import():
    proc = run_python("""
        import builtins
        import %s as mod
        class Service(mod.Singleton):
            pass
        del builtins.super
        print(type(Service()).__name__)
    """ % MODULE_NAME)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["Service"]


def test_existing_registry_entry_is_left_alone():
    setup = "sentinel = object(); sys.modules[%r] = sentinel" % MODULE_NAME
    code = PLAIN_IMPORT.format(name=MODULE_NAME, setup=setup)
    code += "print(sys.modules[%r] is sentinel)\n" % MODULE_NAME
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["systemDefine", "monitor", "False", "True"]


def test_failed_import_reports_and_leaves_no_entry():
    proc = run_python("""
        import builtins, sys, traceback
        saved = builtins.object
        del builtins.object
        try:
            import %(name)s
        except NameError as exc:
            builtins.object = saved
            print(exc)
            for entry in traceback.extract_tb(exc.__traceback__):
                print(repr((entry[0], entry[1], entry[2])))
        else:
            builtins.object = saved
            print("imported")
        print(%(name)r in sys.modules)
        # A retry runs the whole sequence again, and now succeeds.
        import %(name)s as mod
        print(mod.PAGE_INFO, sys.modules[%(name)r] is mod)
    """ % {"name": MODULE_NAME})
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "name 'object' is not defined"
    ours = [eval(line) for line in lines[1:-2]
            if line.startswith("(%r" % SOURCE_FILE)]
    assert len(ours) == 1
    filename, lineno, name = ours[0]
    assert lineno == 1
    assert name.startswith(INIT_NAME + " (System\\systemDefine:")
    assert lines[-2:] == ["False", "info True"]


def other_interpreters():
    """Interpreters of other minor versions on this machine, found as the
    test runner finds them."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    try:
        import test_all
    finally:
        sys.path.pop(0)
    current = "%d.%d" % sys.version_info[:2]
    return {version: path for version, path in test_all.interpreters().items()
            if version != current}


LOAD_FOREIGN = """
import os, sys, traceback, warnings
# Resolve functions on first call: the binary may name ones this runtime
# lacks, and the version check comes before any of them is called.
sys.setdlopenflags(os.RTLD_LAZY)
sys.path.insert(0, %r)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    try:
        import systemDefine
    except ImportError as exc:
        print(exc)
        print(len([e for e in traceback.extract_tb(exc.__traceback__)
                   if e[0] == %r]))
for warning in caught:
    print(warning.message)
"""


def refusal(built, running):
    """What a runtime of version `running` prints (LOAD_FOREIGN) when it
    loads the module built for `built`."""
    return [
        "module '%s' was built for Python %s and cannot run on Python %s: "
        "install or build it for %s" % (MODULE_NAME, built, running, running),
        "0",
        "compiletime version %s of module '%s' does not match runtime "
        "version %s" % (built, MODULE_NAME, running)]


def test_version_mismatch_refused_with_full_versions(mod, tmp_path):
    # The binary loaded for real into the other runtimes of this machine:
    # a warning, then ImportError, and nothing read in between.
    if sys.implementation.name != "cpython":
        pytest.skip("the binary is built for another runtime's C API")
    if hasattr(sys, "gettotalrefcount"):
        pytest.skip("a debug build's binary loads into no release runtime")
    others = other_interpreters()
    if not others:
        pytest.skip("no interpreter of another version on this machine")
    built = "%d.%d" % sys.version_info[:2]
    shutil.copy(mod.__file__, str(tmp_path / "systemDefine.so"))
    refused = []
    for version, python in sorted(others.items()):
        proc = run_python(LOAD_FOREIGN % (str(tmp_path), SOURCE_FILE),
                          python=python)
        assert proc.returncode == 0, (version, proc.stderr)
        if "undefined symbol" in proc.stdout.split("\n")[0]:
            # The loader refused the binary before the module ran: it
            # needs data this runtime does not export.
            continue
        assert proc.stdout.splitlines() == refusal(built, version), version
        refused.append(version)
    assert refused


def test_version_check_fed_other_versions(probe):
    built = "%d.%d" % sys.version_info[:2]
    assert probe.version(sys.version) is None
    # Only major.minor counts, read up to the second dot.
    assert probe.version(built + ".99+ (a build of its own)") is None
    for version, running in [("3.5.10 (default)", "3.5"),
                             (built + "0.1", built + "0"),
                             ("4.0", "4.0"), ("", "")]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(ImportError) as refused:
                probe.version(version)
        lines = refusal(built, running)
        assert str(refused.value) == lines[0]
        assert [str(warning.message) for warning in caught] == lines[2:]
        assert caught[0].category is RuntimeWarning
        # A caller that turns the warning into an error gets that error.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match=lines[2]):
                probe.version(version)


def test_loaded_from_a_path_of_any_characters(mod, tmp_path):
    # The loader gets the path as the platform's text (on Windows, wide
    # characters for LoadLibraryExW).  Copied by hand: on Wine the
    # runtime's shutil meets a copy function Wine lacks.
    package = tmp_path / "\u00dcberwachung \u76e3\u63a7" / "Windows_QUMA" / "System"
    package.mkdir(parents=True)
    target = package / os.path.basename(mod.__file__)
    with open(mod.__file__, "rb") as source:
        target.write_bytes(source.read())
    proc = run_python("""
        import os, sys
        sys.path.insert(0, %r)
        from Windows_QUMA.System import systemDefine as sd
        print(os.path.samefile(sd.__file__, %r), sd.PAGE_INFO)
    """ % (str(tmp_path / package.parent.parent.name), str(target)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "info"]


def pe_tables(path):
    """The names a Windows DLL exports and the DLLs it imports, read from
    its PE headers."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<xxHxxxxxxxxxxxxH", data,
                                                 pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    table = optional + optional_size
    spans = [struct.unpack_from("<8xIIxxxxI", data, table + 40 * i)
             for i in range(sections)]

    def offset(rva):
        for size, address, raw in spans:
            if address <= rva < address + size:
                return rva - address + raw
        raise AssertionError("RVA %#x outside the sections" % rva)

    def text(rva):
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode("ascii")
    export_rva, import_rva = (struct.unpack_from("<I", data,
                                                 directories + 8 * i)[0]
                              for i in (0, 1))
    exports = []
    if export_rva:
        count, names = struct.unpack_from("<24xI4xI", data, offset(export_rva))
        exports = [text(struct.unpack_from("<I", data, offset(names) + 4 * i)[0])
                   for i in range(count)]
    imports = []
    at = offset(import_rva)
    while True:
        name = struct.unpack_from("<12xI", data, at)[0]
        if name == 0:
            break
        imports.append(text(name))
        at += 20
    return exports, imports


@pytest.mark.skipif(sys.platform != "win32",
                    reason="reads the tables of a Windows DLL")
def test_pyd_exports_its_entry_point_alone(mod):
    exports, imports = pe_tables(mod.__file__)
    assert exports == ["PyInit_systemDefine"]
    python = "python%d%d.dll" % sys.version_info[:2]
    # The Python DLL, the system's, and the C runtime of the compiler
    # (MSVC's or mingw-w64's for the UCRT).
    system = re.compile(r"(kernel32|api-ms-win-crt-[a-z0-9-]+|"
                        r"vcruntime140(_1)?)\.dll$", re.I)
    assert python in [name.lower() for name in imports], imports
    assert [name for name in imports if name.lower() != python and
            not system.match(name)] == []


SUBINTERPRETERS = """
import sys
import _testcapi
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
name = %r
if sys.argv[1] == "legacy":
    # A legacy sub-interpreter loads the module.
    code = ("import %%s as sd, sys; assert sd.PAGE_INFO == 'info' and "
            "sys.modules[%%r] is sd" %% (name, name))
    print(_testcapi.run_in_subinterp(code))
else:
    # An isolated one refuses a single-phase module.
    outcome = interpreters.run_string(interpreters.create(),
                                      "import " + name)
    print(getattr(outcome, "msg", outcome))
print(name in sys.modules)
import Windows_QUMA.System.systemDefine as sd
class Service(sd.Singleton):
    pass
print(sd.__spec__.name, sd.PAGE_INFO, Service() is Service())
"""


@needs_testcapi
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_import_after_a_subinterpreter(kind):
    if sys.version_info < (3, 13) or sys.implementation.name != "cpython":
        pytest.skip("from 3.13 on the runtime runs the import for a "
                    "sub-interpreter in the main one")
    proc = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETERS % MODULE_NAME, kind],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    refused = " does not support loading in subinterpreters"
    if kind == "legacy" and lines[0] == "-1":
        # Without the GIL legacy sub-interpreters refuse it too, with the
        # runtime's message on their stderr.
        assert refused in proc.stderr
    elif kind == "legacy":
        assert lines[0] == "0"
    else:
        assert lines[0].startswith("module ")
        assert lines[0].endswith(refused)
    # Nothing of the sub-interpreter's import in this one's registry, and
    # this one's own import finds the whole module.
    assert lines[1:] == ["False", "%s info True" % MODULE_NAME]
