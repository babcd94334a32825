import ctypes
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import traceback

import pytest

MODULE_NAME = "Windows_QUMA.System.systemDefine"
# A build without the GIL, where a class's first instance stored stays.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PYPY = sys.implementation.name == "pypy"

# Tests of CPython's own bookkeeping, or of a path only its C API opens.
needs_refcounts = pytest.mark.skipif(
    PYPY, reason="PyPy frees unreachable objects when its collector runs, "
    "not when the last reference goes, and keeps no reference counts")
needs_pythonapi = pytest.mark.skipif(
    PYPY, reason="PyPy has no ctypes.pythonapi: no dictionary reaches the "
    "call slot unchanged")
# How often a lookup compares a colliding key is the runtime's own: CPython
# once per visit of its slot, PyPy's dicts at times more.
needs_cpython_dict = pytest.mark.skipif(
    PYPY, reason="PyPy's dict may compare a colliding key more than once "
    "in one lookup")
# The runtime's test module, which Windows installs leave out unless
# asked for (the embedded interpreters the matrix runs under Wine have
# none).
needs_testcapi = pytest.mark.skipif(
    importlib.util.find_spec("_testcapi") is None,
    reason="this CPython has no _testcapi: its Windows installer leaves "
    "the test suite's modules out unless asked")
SOURCE_FILE = "Windows_QUMA\\System\\systemDefine"
INIT_NAME = "init " + MODULE_NAME
NEW_NAME = MODULE_NAME + ".Singleton.__new__"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="session")
def mod():
    import importlib
    return importlib.import_module(MODULE_NAME)


@pytest.fixture(scope="session")
def plain():
    """The same module written in plain Python: the reference for what
    Python code run by the module's steps sees."""
    path = os.path.join(ROOT, "bench", "systemDefine_plain.py")
    found = importlib.util.spec_from_file_location("systemDefine_plain",
                                                   path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    """The module's caches compiled on their own into a small test
    module (tests/cache_probe.cpp)."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or sys.platform == "win32":
        pytest.skip("the probe is compiled with g++ or c++ at test time, "
                    "which this machine lacks")
    out = tmp_path_factory.mktemp("probe")
    target = str(out / ("_cache_probe" + sysconfig.get_config_var(
        "EXT_SUFFIX")))
    sources = [os.path.join(ROOT, "tests", "cache_probe.cpp")]
    # On macOS the runtime's symbols are found when the module loads.
    lookup = ["-undefined", "dynamic_lookup"] if sys.platform == "darwin" \
        else []
    subprocess.check_call(
        [compiler, "-std=c++17", "-shared", "-fPIC", "-fvisibility=hidden",
         "-I" + sysconfig.get_paths()["include"], "-I" + ROOT,
         "-o", target] + lookup + sources)
    sys.path.insert(0, str(out))
    try:
        import _cache_probe
    finally:
        sys.path.remove(str(out))
    return _cache_probe


def py_call(fn, args, kwargs):
    """PyObject_Call(fn, args, kwargs): the dictionary itself, no copy."""
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object] * 3
    return api(fn, args, kwargs)


# The ways a class reaches its __new__: the runtime's class call, a call
# of the function, and its tuple-and-dict slot whatever the protocol.
VIAS = {
    "class call": lambda cls: cls(),
    "direct": lambda cls: cls.__new__(cls),
    "slot": lambda cls: py_call(type(cls.__new__).__call__,
                                (cls.__new__, cls), {}),
}
if PYPY:
    VIAS["slot"] = lambda cls: type(cls.__new__).__call__(cls.__new__, cls)


class RaisingStore(dict):
    """A table whose store fails."""

    def __setitem__(self, key, value):
        del value   # the traceback keeps this frame
        raise LookupError("store")


def dying_class(mod, log):
    """A class whose instances, when dropped, fail inside __new__ (at the
    argument check) and log that they did."""
    class Dying(object):
        def __del__(self):
            try:
                mod.Singleton.__new__()
            except TypeError:
                log.append("inner failed")
    return Dying


def roomy_dict(kind=dict):
    """An empty dict with room for many keys, where a lookup of a key
    missing from it seldom walks far."""
    table = kind()
    dict.update(table, dict.fromkeys(range(40000)))
    for key in range(40000):
        dict.__delitem__(table, key)
    return table


def meets_collision_once(table, cls):
    """Whether every lookup of `cls` in `table`, once a key of the same
    hash goes in before it, compares with that key exactly once.

    A lookup walks the probe sequence of the class's hash.  For a few
    hashes the sequence comes back to the colliding key's slot before it
    reaches the class's slot (or, for a missing class, an empty one), and
    the key is compared twice; the two worlds of a test have classes of
    different hashes, so such a class is made again.  The slots filled
    here are emptied the way the test fills them: the colliding key's,
    then the class's."""
    compares = []

    class Probe(object):
        def __hash__(self):
            return hash(cls)

        def __eq__(self, other):
            compares.append(other)
            return False
    probe = Probe()
    dict.__setitem__(table, probe, None)
    dict.__setitem__(table, cls, None)
    del compares[:]
    dict.__contains__(table, cls)
    present = len(compares)
    dict.__delitem__(table, cls)
    del compares[:]
    dict.__contains__(table, cls)
    absent = len(compares)
    dict.__delitem__(table, probe)
    return present == absent == 1


def class_meeting_collision_once(make):
    """make() -> (cls, table), called until meets_collision_once holds."""
    for _ in range(100):
        cls, table = make()
        if meets_collision_once(table, cls):
            return cls
    raise AssertionError("no class of a hash that compares once")


def roomy_service(mod, meta=type):
    """A subclass of mod.Singleton with a roomy table of its own, ready
    for a colliding key (class_meeting_collision_once)."""
    def make():
        class Service(mod.Singleton, metaclass=meta):
            _instances = roomy_dict()
        return Service, Service._instances
    return class_meeting_collision_once(make)


def colliding_key(cls, log):
    """A key of the same hash as `cls` whose __eq__ logs "eq" to its
    `log`, when that is not None, and says they differ."""
    class Key(object):
        def __hash__(self):
            return hash(cls)

        def __eq__(self, other):
            if self.log is not None:
                self.log.append("eq")
            return False
    key = Key()
    key.log = log
    return key


def type_tag(cls):
    """cls's version tag where tags restart (CPython up to 3.10), read on a
    64-bit build 216 bytes past tp_flags; None elsewhere."""
    if PYPY or sys.version_info >= (3, 11) or sys.maxsize < 2**32:
        return None
    address = id(cls)
    for offset in range(0, 512, 8):
        if ctypes.c_ulong.from_address(address + offset).value == \
                cls.__flags__:
            return ctypes.c_uint.from_address(address + offset + 216).value
    raise AssertionError("no tp_flags")


def run_python(code, python=sys.executable, args=(), env=None, timeout=120,
               cwd=None):
    """Run `code` in a fresh interpreter; return the completed process."""
    return subprocess.run(
        [python] + list(args) + ["-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, env=env, timeout=timeout, cwd=cwd)


def run_probes(setup, probes):
    """Run each probe expression after `setup` in one fresh interpreter,
    which must survive them all; the name of the exception each raised,
    or "ran"."""
    lines = [textwrap.dedent(setup), "for probe in ["]
    lines += ["    lambda: %s," % probe for probe in probes]
    lines += ["]:",
              "    try:",
              "        probe()",
              "    except BaseException as exc:",
              "        print(type(exc).__name__)",
              "    else:",
              "        print('ran')"]
    proc = run_python("\n".join(lines))
    assert proc.returncode == 0, proc.stderr
    outcomes = proc.stdout.split()
    assert len(outcomes) == len(probes), proc.stdout
    return outcomes


def module_entries(tb):
    """(file, line, name) of the traceback entries the module added."""
    return [(entry[0], entry[1], entry[2])
            for entry in traceback.extract_tb(tb)
            if entry[0] == SOURCE_FILE]


def code_name(function, impl_line):
    return "%s (System\\systemDefine:%d)" % (function, impl_line)


def impl_line(name):
    """The implementation place named in a traceback code name."""
    assert name.endswith(")")
    return int(name.rsplit(":", 1)[1][:-1])
