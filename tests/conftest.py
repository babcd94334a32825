import os
import subprocess
import sys
import textwrap
import traceback

import pytest

MODULE_NAME = "Windows_QUMA.System.systemDefine"
SOURCE_FILE = "Windows_QUMA\\System\\systemDefine"
INIT_NAME = "init " + MODULE_NAME
NEW_NAME = MODULE_NAME + ".Singleton.__new__"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="session")
def mod():
    import importlib
    return importlib.import_module(MODULE_NAME)


def run_python(code, python=sys.executable, args=(), env=None, timeout=120):
    """Run `code` in a fresh interpreter; return the completed process."""
    return subprocess.run(
        [python] + list(args) + ["-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, env=env, timeout=timeout)


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
