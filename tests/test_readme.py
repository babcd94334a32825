"""Every Python snippet in the README and the Qt page runs as shown,
each in a fresh interpreter (Qt snippets where a binding is installed,
offscreen); the README and docs/ link to pages that are there."""
import glob
import importlib.util
import os
import re
import sys

import pytest

from conftest import ROOT, run_python

sys.path.insert(0, os.path.join(ROOT, "tools"))
import figures  # noqa: E402


def snippets():
    found = []
    for page in ("README.md", os.path.join("docs", "qt.md")):
        with open(os.path.join(ROOT, page), encoding="utf-8") as f:
            found += re.findall(r"^```python\n(.*?)^```", f.read(),
                                re.M | re.S)
    return found


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


def test_links_resolve_and_tables_of_figures_have_their_markers():
    pages = [os.path.join(ROOT, "README.md")] + sorted(
        glob.glob(os.path.join(ROOT, "docs", "*.md")))
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        for target in re.findall(r"\]\(([^)#\s]+)", text):
            if ":" not in target:
                path = os.path.join(os.path.dirname(page), target)
                assert os.path.exists(path), (page, target)
    for name in ("performance.md", "reliability.md"):
        with open(os.path.join(ROOT, "docs", name), encoding="utf-8") as f:
            text = f.read()
        assert 0 <= text.find(figures.BEGIN) < text.find(figures.END), name
