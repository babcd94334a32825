"""Every Python snippet in the README runs as shown, each in a fresh
interpreter (Qt snippets where a binding is installed, offscreen)."""
import importlib.util
import os
import re

import pytest

from conftest import ROOT, run_python


def snippets():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)


def has_qt():
    return any(importlib.util.find_spec(name) is not None
               for name in ("PyQt5", "PySide6"))


@pytest.mark.parametrize("code", snippets(),
                         ids=lambda code: code.splitlines()[0][:40])
def test_snippet_runs_as_shown(code, tmp_path):
    if ("PySide6" in code or "PyQt5" in code) and not has_qt():
        pytest.skip("needs PyQt5 or PySide6")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    proc = run_python(code, env=env, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
