"""The stub: type checkers see the module as it is."""
import ast
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import MODULE_NAME

# mypy.main, not just the package: on some runtimes a release installs
# without the compiled helpers it needs.
mypy = pytest.importorskip("mypy.main")

GOOD = """
from typing_extensions import Literal
from Windows_QUMA.System import systemDefine as sd

class Monitor(sd.Singleton):
    def __init__(self) -> None:
        self.capacity = 87

page: Literal["monitor"] = sd.PAGE_MONITOR
interval: Literal[3] = sd.DEVICE_MONITOR_INTERVAL
line: str = sd.sideBarLabel_batteryCapacityStr + ": 87" + sd.percentageStr
monitor: Monitor = Monitor()
print(monitor.capacity + sd.DEVICE_MONITOR_INTERVAL, line, page, interval)
print(len(sd.Singleton._instances))
"""

# First calls as the application makes them: a class whose arguments reach
# a __new__ of its own or a Qt base's __init__ checks clean; one whose
# arguments would reach object's __new__ does not (the numbers: the lines
# each checker reports).
FIRST_CALLS = """
from typing import Any
from Windows_QUMA.System import systemDefine as sd

class Service(sd.Singleton):
    pass

class Settings(sd.Singleton):
    def __new__(cls, *args: Any, **kwargs: Any) -> "Settings":
        return super().__new__(cls)

    def __init__(self, path: str = "quma.ini") -> None:
        self.path = path

class Needs(sd.Singleton):
    def __init__(self, path: str) -> None:
        self.path = path

service: Service = Service()
settings: Settings = Settings("a.ini")
Service(1)
Service(key=2)
Needs("x")
"""
FLAGGED = {"mypy": {21, 22}, "pyright": {21, 22, 23}}

BAD = """
from Windows_QUMA.System import systemDefine as sd
sd.chargingStr = 5
sd.DEVICE_MONITOR_INTERVAL = 4
sd.noSuchStr()
"""


def stub_path():
    origin = importlib.util.find_spec(MODULE_NAME).origin
    return os.path.join(os.path.dirname(origin), "systemDefine.pyi")


def run_mypy(tmp_path, source):
    path = tmp_path / "consumer.py"
    path.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), "--strict", str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, cwd=str(tmp_path))


def test_installed_beside_the_module():
    directory = os.path.dirname(stub_path())
    assert os.path.isfile(stub_path())
    assert os.path.isfile(os.path.join(directory, "py.typed"))
    for package in (directory, os.path.dirname(directory)):
        assert not os.path.exists(os.path.join(package, "__init__.py"))


def test_correct_use_checks_clean(tmp_path):
    pytest.importorskip("typing_extensions")
    proc = run_mypy(tmp_path, GOOD)
    assert proc.returncode == 0, proc.stdout


def run_pyright(tmp_path, source):
    path = tmp_path / "consumer.py"
    path.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath",
         sys.executable, str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, cwd=str(tmp_path))


# The Qt classes of the README: their bindings take the arguments.
QT_CALLS = """
from %(binding)s.QtCore import QObject
from %(binding)s.QtWidgets import QMainWindow
from Windows_QUMA.System import systemDefine as sd

class MainWindow(sd.Singleton, QMainWindow):
    pass

class DeviceMonitor(sd.Singleton, QObject):
    def __init__(self) -> None:
        if "ready" in vars(self):
            return
        QObject.__init__(self)
        self.ready = True

window: MainWindow = MainWindow()
monitor: DeviceMonitor = DeviceMonitor()
"""


def flagged_lines(checker, tmp_path, source=FIRST_CALLS):
    if checker == "mypy":
        out = run_mypy(tmp_path, source).stdout
        return {int(line.split(":")[1]) for line in out.splitlines()
                if ": error:" in line}
    pytest.importorskip("pyright")
    import json
    proc = run_pyright(tmp_path, source)
    report = json.loads(proc.stdout)
    return {d["range"]["start"]["line"] + 1
            for d in report["generalDiagnostics"] if d["severity"] == "error"}


@pytest.mark.parametrize("checker", sorted(FLAGGED))
def test_first_calls_that_fail_are_flagged(checker, tmp_path):
    # mypy takes the signature of a class's __init__ where the class
    # defines one and not __new__ (Needs), pyright checks both.
    assert flagged_lines(checker, tmp_path) == FLAGGED[checker]


@pytest.mark.parametrize("checker", sorted(FLAGGED))
def test_qt_singletons_check_clean(checker, tmp_path):
    bindings = [name for name in ("PySide6", "PyQt5")
                if importlib.util.find_spec(name) is not None]
    if not bindings:
        pytest.skip("needs PyQt5 or PySide6")
    source = QT_CALLS % {"binding": bindings[0]}
    assert flagged_lines(checker, tmp_path, source) == set()


def test_misuse_is_reported(tmp_path):
    proc = run_mypy(tmp_path, BAD)
    assert proc.returncode == 1
    lines = {int(line.split(":")[1]) for line in proc.stdout.splitlines()
             if ": error:" in line}
    assert lines == {3, 4, 5}, proc.stdout
    assert "final" in proc.stdout.lower()


def test_stub_matches_the_module(mod):
    allowlist = os.path.join(os.path.dirname(__file__),
                             "stubtest_allowlist.txt")
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest",
                           "--allowlist", allowlist, MODULE_NAME],
                          stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    assert proc.returncode == 0, proc.stdout
    # And the values, which the checker reads from the stub alone.
    with open(stub_path(), encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    values = {node.target.id: ast.literal_eval(node.value)
              for node in tree.body
              if isinstance(node, ast.AnnAssign) and node.value is not None}
    assert len(values) == 24
    for name, value in values.items():
        runtime = getattr(mod, name)
        assert type(runtime) is type(value) and runtime == value, name
