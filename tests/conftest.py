import ctypes
import importlib.util
import os
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
    """An empty dict with room for many keys.  A lookup follows the same
    probe sequence as the insertion did, and in a small table it may come
    back to the slot of a colliding key and compare with it twice,
    depending on the hash; in a large one that practically never
    happens, so the number of comparisons is the number of lookups."""
    table = kind()
    dict.update(table, dict.fromkeys(range(40000)))
    for key in range(40000):
        dict.__delitem__(table, key)
    return table


def colliding_key(cls, log):
    """A key of the same hash as `cls` whose __eq__ logs "eq" and says
    they differ."""
    class Key(object):
        def __hash__(self):
            return hash(cls)

        def __eq__(self, other):
            log.append("eq")
            return False
    return Key()


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
