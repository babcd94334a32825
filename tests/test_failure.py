"""Traceback entries: where failures are reported and how they read."""
import inspect
import sys
import traceback

import pytest

from conftest import (NEW_NAME, SOURCE_FILE, impl_line, module_entries,
                      needs_refcounts, run_probes)


def failing_call(mod, *args):
    try:
        mod.Singleton.__new__(*args)
    except Exception as exc:
        return exc
    raise AssertionError("no failure")


def innermost(tb):
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


def test_entry_names_file_line_and_place(mod):
    exc = failing_call(mod)
    entries = module_entries(exc.__traceback__)
    assert len(entries) == 1
    filename, lineno, name = entries[0]
    assert (filename, lineno) == (SOURCE_FILE, 5)
    assert name.startswith(NEW_NAME + " (System\\systemDefine:")
    assert impl_line(name) > 0


def test_one_code_object_per_place(mod):
    first = innermost(failing_call(mod).__traceback__)
    again = innermost(failing_call(mod).__traceback__)
    other = innermost(failing_call(mod, 5).__traceback__)
    assert first.tb_frame.f_code is again.tb_frame.f_code
    assert other.tb_frame.f_code is not first.tb_frame.f_code
    assert (impl_line(other.tb_frame.f_code.co_name)
            != impl_line(first.tb_frame.f_code.co_name))
    assert other.tb_lineno == 6


def test_runtime_tools_render_the_entry(mod):
    exc = failing_call(mod)
    tb = innermost(exc.__traceback__)
    assert tb.tb_lineno == 5
    assert tb.tb_frame.f_lineno == 5
    assert tb.tb_frame.f_globals is vars(mod)
    text = "".join(traceback.format_exception(type(exc), exc,
                                              exc.__traceback__))
    assert ('File "%s", line 5, in %s (System\\systemDefine:'
            % (SOURCE_FILE, NEW_NAME)) in text
    assert traceback.extract_tb(exc.__traceback__)[-1][1] == 5
    info = inspect.getinnerframes(exc.__traceback__)[-1]
    assert (info[1], info[2]) == (SOURCE_FILE, 5)


def test_entry_code_objects_raise_when_run():
    outcomes = run_probes("""
        import types
        from Windows_QUMA.System.systemDefine import Singleton
        try:
            Singleton.__new__()
        except TypeError as exc:
            tb = exc.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            code = tb.tb_frame.f_code
    """, ["exec(code, {})", "types.FunctionType(code, {})()"])
    assert "ran" not in outcomes


@needs_refcounts
def test_cache_lookup_insert_and_growth(probe):
    probe.reset()
    assert probe.state() == (0, 0, [])
    assert probe.find(7) is None and probe.position(7) == 0
    objects = {}
    # Keys arrive out of order: before, between and after existing ones.
    keys = [500 + (i * 37) % 131 for i in range(131)]
    for count, key in enumerate(keys, 1):
        obj = objects[key] = object()
        before = sys.getrefcount(obj)
        inserted = probe.insert(key, obj)
        # The cache holds a reference of its own.
        assert inserted and sys.getrefcount(obj) == before + 1
        size, capacity, stored = probe.state()
        assert size == count
        assert capacity == (64 if count <= 64 else 128 if count <= 128
                            else 192)
        assert stored == sorted(stored) and len(set(stored)) == count
    for key, obj in objects.items():
        assert probe.find(key) is obj
    assert probe.find(499) is None and probe.find(10000) is None
    # Past the last key (the shortcut) and within the range.
    assert probe.position(10000) == 131
    assert probe.position(631) == 131
    assert probe.position(630) == 130
    assert probe.position(499) == 0
    assert probe.position(565) == 65
