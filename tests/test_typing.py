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


def test_misuse_is_reported(tmp_path):
    proc = run_mypy(tmp_path, BAD)
    assert proc.returncode == 1
    lines = {int(line.split(":")[1]) for line in proc.stdout.splitlines()
             if ": error:" in line}
    assert lines == {3, 4, 5}, proc.stdout
    assert "final" in proc.stdout.lower()


def test_stub_matches_the_module(mod):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest",
                           MODULE_NAME], stdout=subprocess.PIPE,
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
