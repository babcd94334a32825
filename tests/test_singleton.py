"""Singleton: the class, its __new__ function object, binding and body."""
import ctypes
import gc
import inspect
import os
import sys
import weakref

import pytest

from conftest import (MODULE_NAME, NEW_NAME, PYPY, SOURCE_FILE,
                      module_entries, needs_refcounts, run_probes, run_python)


def raises(exc_type, message, line, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    entries = module_entries(info.value.__traceback__)
    assert [(e[1], e[2].split(" (")[0]) for e in entries] == [(line, NEW_NAME)]
    return info.value


# ---- The class -----------------------------------------------------------

def test_class_as_created(mod):
    S = mod.Singleton
    assert type(S) is type and S.__bases__ == (object,)
    assert (S.__module__, S.__qualname__, S.__name__) == (
        MODULE_NAME, "Singleton", "Singleton")
    assert S.__doc__ is None and "__init__" not in vars(S)
    assert list(vars(S))[:3] == ["__module__", "_instances", "__new__"]
    assert type(vars(S)["_instances"]) is dict


# Class creation with the cached `object` swapped for a class whose
# metaclass records what it is asked.
CREATION = """
import builtins, sys, traceback
calls = []

class Namespace(dict):
    def __setitem__(self, key, value):
        calls.append(("set", key))
        dict.__setitem__(self, key, value)
    def __getitem__(self, key):
        calls.append(("get", key))
        return dict.__getitem__(self, key)

%s

saved = builtins.object
builtins.object = Base
try:
    import Windows_QUMA.System.systemDefine as mod
except Exception as exc:
    builtins.object = saved
    print("failed", type(exc).__name__, exc)
    print([e[1] for e in traceback.extract_tb(exc.__traceback__)
           if e[0] == %r])
else:
    builtins.object = saved
    print(calls)
    print(type(mod.Singleton).__name__, mod.Singleton.__bases__[0] is Base)
"""

PREPARING_META = """
class Meta(type):
    @classmethod
    def __prepare__(meta, name, bases):
        calls.append(("prepare", name, bases == (globals().get("Base"),)))
        return Namespace()
    def __new__(meta, name, bases, ns):
        calls.append(("meta", name, type(ns).__name__))
        return type.__new__(meta, name, bases, dict(ns))
class Base(metaclass=Meta):
    pass
del calls[:]
"""


def run_creation(setup):
    proc = run_python(CREATION % (setup, SOURCE_FILE))
    assert proc.returncode == 0, proc.stderr
    return [eval(line) if line.startswith("[") else line
            for line in proc.stdout.splitlines()]


def test_class_creation_steps_in_order():
    calls, result = run_creation(PREPARING_META)
    assert calls == [
        ("prepare", "Singleton", True),
        ("set", "__module__"), ("set", "__qualname__"),
        ("set", "_instances"), ("set", "__new__"),
        ("get", "__metaclass__"),
        ("meta", "Singleton", "Namespace"),
    ]
    assert result == "Meta True"


def test_class_creation_uses_a_metaclass_named_in_the_namespace():
    setup = PREPARING_META.replace(
        "return Namespace()",
        "ns = Namespace(); "
        "dict.__setitem__(ns, '__metaclass__', globals().get('Other')); "
        "return ns") + """
class Other(Meta):
    def __new__(meta, name, bases, ns):
        calls.append(("other", name))
        return type.__new__(meta, name, bases, dict(ns))
"""
    calls, result = run_creation(setup)
    assert calls[-2:] == [("get", "__metaclass__"), ("other", "Singleton")]
    assert result == "Other True"


def test_class_creation_without_prepare_uses_a_dict():
    setup = """
class HidePrepare(type):
    def __getattribute__(cls, name):
        if name == "__prepare__":
            raise AttributeError(name)
        return type.__getattribute__(cls, name)
class Meta(type, metaclass=HidePrepare):
    def __new__(meta, name, bases, ns):
        calls.append(("meta", type(ns).__name__, list(ns)))
        return type.__new__(meta, name, bases, ns)
class Base(metaclass=Meta):
    pass
del calls[:]
"""
    calls, result = run_creation(setup)
    assert calls == [("meta", "dict", ["__module__", "__qualname__",
                                       "_instances", "__new__"])]


@pytest.mark.parametrize("hook", ["__prepare__", "__new__"])
def test_class_creation_failure_is_reported(hook):
    setup = """
class Meta(type):
    pass
class Base(metaclass=Meta):
    pass
def fail(*args):
    raise LookupError("x")
Meta.%s = %s
""" % (hook, "classmethod(fail)" if hook == "__prepare__" else "fail")
    assert run_creation(setup) == ["failed LookupError x", [2]]


# ---- The function object -------------------------------------------------

@pytest.fixture
def fn(mod):
    f = mod.Singleton.__new__
    saved = {name: getattr(f, name) for name in (
        "__name__", "__qualname__", "__doc__", "__dict__", "__defaults__",
        "__kwdefaults__", "__annotations__", "__module__")}
    yield f
    for name, value in saved.items():
        setattr(f, name, value)
    f.__dict__.clear()


def test_function_properties(mod, fn):
    assert fn.__name__ == "__new__" and fn.__name__ is sys.intern("__new__")
    assert fn.__qualname__ == "Singleton.__new__"
    assert fn.__module__ == MODULE_NAME
    assert fn.__globals__ is vars(mod)
    for name in ("__doc__", "__closure__", "__self__", "__defaults__",
                 "__kwdefaults__"):
        assert getattr(fn, name) is None, name
    assert fn.__annotations__ == {} and fn.__dict__ == {}
    for alias, name in [("func_doc", "__doc__"), ("func_name", "__name__"),
                        ("func_dict", "__dict__"),
                        ("func_globals", "__globals__"),
                        ("func_closure", "__closure__"),
                        ("func_code", "__code__"),
                        ("func_defaults", "__defaults__")]:
        assert getattr(fn, alias) is getattr(fn, name), alias
    assert "Singleton.__new__" in repr(fn)
    assert str(inspect.signature(fn)) == "(class_, *args, **kwargs)"


def test_code_fields(fn):
    code = fn.__code__
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_nlocals) == (
        1, 0, 3)
    assert code.co_flags & 0x3F == inspect.CO_VARARGS | inspect.CO_VARKEYWORDS
    assert code.co_varnames == ("class_", "args", "kwargs")
    assert (code.co_name, code.co_firstlineno) == ("__new__", 5)
    assert code.co_consts == code.co_names == ()
    assert code.co_freevars == code.co_cellvars == ()
    assert code.co_filename.endswith(SOURCE_FILE)
    # The build root: an absolute path of the platform that built it, as
    # a Windows build's is (a drive and backslashes).
    root = code.co_filename[:-len(SOURCE_FILE)]
    assert os.path.isabs(root) and root.endswith(os.sep)
    if PYPY:
        # A body that raises: PyPy's evaluator would run off an empty one.
        assert (code.co_code, code.co_stacksize) == (b"\x82\x00", 0)
    elif sys.version_info < (3, 11):
        assert (code.co_code, code.co_stacksize) == (b"", 0)
    if sys.version_info >= (3, 8):
        assert code.co_posonlyargcount == 0


def test_reduce_and_free_attributes(fn):
    assert fn.__reduce__() == "__new__"
    assert fn.__reduce__(1, "two") == "__new__"
    with pytest.raises(TypeError):
        fn.__reduce__(protocol=2)
    fn.extra = 1
    assert fn.__dict__ == {"extra": 1} and fn.func_dict["extra"] == 1
    del fn.extra
    assert not hasattr(fn, "extra")


def test_static_binding_weakref_and_gc(mod):
    S = mod.Singleton
    fn = vars(S)["__new__"]

    class Sub(S):
        pass
    assert S.__new__ is fn and Sub.__new__ is fn and S().__new__ is fn
    assert weakref.ref(fn)() is fn


@needs_refcounts
def test_collector_sees_the_function(mod):
    fn = vars(mod.Singleton)["__new__"]
    assert gc.is_tracked(fn)
    referents = gc.get_referents(fn)
    assert vars(mod) in referents and fn.__code__ in referents


ANY = object()
TEXT = {
    "__name__": "__name__ must be set to a string object",
    "__qualname__": "__qualname__ must be set to a string object",
    "dict": "setting function's dictionary to a non-dict",
    "dict-del": "function's dictionary may not be deleted",
    "__defaults__": "__defaults__ must be set to a tuple object",
    "__kwdefaults__": "__kwdefaults__ must be set to a dict object",
    "__annotations__": "__annotations__ must be set to a dict object",
}

# attribute, accepted values, rejected value and message key, what a
# deletion does ("None": reads None afterwards, "empty": reads a new {},
# or the message key of the TypeError it raises).
REASSIGN = [
    ("__doc__", ["text", 5, None], None, "None"),
    ("func_doc", ["text", ()], None, "None"),
    ("__name__", ["renamed"], "__name__", "__name__"),
    ("func_name", ["renamed"], "__name__", "__name__"),
    ("__qualname__", ["A.b"], "__qualname__", "__qualname__"),
    ("__dict__", [{"k": 1}], "dict", "dict-del"),
    ("func_dict", [{}], "dict", "dict-del"),
    ("__defaults__", [(1,), None], "__defaults__", "None"),
    ("func_defaults", [()], "__defaults__", "None"),
    ("__kwdefaults__", [{"a": 1}, None], "__kwdefaults__", "None"),
    ("__annotations__", [{"a": int}], "__annotations__", "empty"),
    ("__module__", ["elsewhere", 7, None], None, "None"),
]


@pytest.mark.parametrize("name,accepted,rejected,deletion", REASSIGN)
def test_reassignment_rules(fn, name, accepted, rejected, deletion):
    for value in accepted:
        setattr(fn, name, value)
        assert getattr(fn, name) is value
    if rejected is not None:
        with pytest.raises(TypeError) as info:
            setattr(fn, name, 5)
        assert str(info.value) == TEXT[rejected]
    if deletion in TEXT:
        with pytest.raises(TypeError) as info:
            delattr(fn, name)
        assert str(info.value) == TEXT[deletion]
    else:
        delattr(fn, name)
        if deletion == "None":
            assert getattr(fn, name) is None
        else:
            first = getattr(fn, name)
            assert first == {} and getattr(fn, name) is first


def test_annotations_none_empties(fn):
    old = fn.__annotations__ = {"x": 1}
    fn.__annotations__ = None
    assert fn.__annotations__ == {} and fn.__annotations__ is not old


@pytest.mark.parametrize("name", [
    "__globals__", "__closure__", "__code__", "__self__",
    "func_globals", "func_closure", "func_code"])
def test_read_only_properties(fn, name):
    value = getattr(fn, name)
    with pytest.raises(AttributeError):
        setattr(fn, name, value)
    with pytest.raises(AttributeError):
        delattr(fn, name)
    assert getattr(fn, name) is value


def test_probes_do_not_crash_the_interpreter():
    run_probes("""
        import dis, io, types
        from Windows_QUMA.System.systemDefine import Singleton
        code = Singleton.__new__.__code__
    """, ["dis.dis(Singleton.__new__, file=io.StringIO())",
          "exec(code, {})",
          "types.FunctionType(code, {})(object)",
          "types.FunctionType(code, {})()"])


# ---- Calling __new__ -----------------------------------------------------

def direct(fn, *args, **kwargs):
    return fn(*args, **kwargs)


def through_slot(fn, *args, **kwargs):
    # The tuple-and-dict slot, whatever the runtime's fast protocol.
    return type(fn).__call__(fn, *args, **kwargs)


@pytest.fixture(params=[direct, through_slot], ids=["direct", "slot"])
def call(request, mod):
    fn = mod.Singleton.__new__
    return lambda *args, **kwargs: request.param(fn, *args, **kwargs)


@pytest.fixture
def recording(mod):
    """A fresh subclass whose parent __new__ records its arguments."""
    seen = []

    class Parent(object):
        def __new__(cls, *args, **kwargs):
            seen.append((args, kwargs))
            return object.__new__(cls)

    class Service(mod.Singleton, Parent):
        def __init__(self, *args, **kwargs):
            pass
    Service.seen = seen
    return Service


def test_argument_count_error(call):
    message = "__new__() takes at least 1 positional argument (0 given)"
    raises(TypeError, message, 5, call)
    raises(TypeError, message, 5, call, **{})
    raises(TypeError, message, 5, call, other=1)


def test_class_as_keyword(call, recording):
    instance = call(class_=recording, a=1)
    assert type(instance) is recording
    assert recording.seen == [((), {"a": 1})]
    assert call(class_=recording) is instance


def test_multiple_values_for_class(call, recording):
    raises(TypeError,
           "__new__() got multiple values for keyword argument 'class_'",
           5, call, recording, class_=recording)
    assert recording not in recording._instances


def test_args_and_kwargs_are_ordinary_keywords(call, recording):
    call(recording, 1, 2, args=3, kwargs=4)
    assert recording.seen == [((1, 2), {"args": 3, "kwargs": 4})]


def PyObject_Call(fn, args, kwargs):
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object] * 3
    return api(fn, args, kwargs)


def test_keywords_that_are_not_text(mod, recording):
    fn = mod.Singleton.__new__
    slot = type(fn).__call__
    if PYPY:
        # PyPy's call machinery refuses them before the module is called.
        def runtime(*args, **kwargs):
            pass
        with pytest.raises(TypeError) as expected:
            runtime(**{1: 2})
        with pytest.raises(TypeError) as info:
            slot(fn, recording, **{1: 2})
        # The message names the callee, which differs.
        assert (str(info.value).split(" keywords ", 1)[1] ==
                str(expected.value).split(" keywords ", 1)[1])
        assert module_entries(info.value.__traceback__) == []
        return
    for args, kwargs in [((fn, recording), {1: 2}),
                         ((fn, recording), {"x": 1, 1: 2}),
                         ((fn,), {"class_": recording, 1: 2})]:
        raises(TypeError, "__new__() keywords must be strings", 5,
               PyObject_Call, slot, args, kwargs)
    # Without a positional argument the missing class_ is reported first.
    raises(TypeError,
           "__new__() takes at least 1 positional argument (0 given)", 5,
           PyObject_Call, slot, (fn,), {1: 2})
    assert recording not in recording._instances


# ---- The body --------------------------------------------------------------

def test_one_instance_per_class_and_init_every_call(mod):
    inits = []

    class A(mod.Singleton):
        def __init__(self, *args):
            inits.append(args)

    class B(mod.Singleton):
        pass
    a = A()
    assert A(1, 2) is a and A() is a
    assert inits == [(), (1, 2), ()]
    b = B()
    assert b is not a and type(b) is B
    table = mod.Singleton._instances
    assert table[A] is a and table[B] is b
    assert mod.Singleton() is table[mod.Singleton]


def test_own_table(mod):
    class Own(mod.Singleton):
        _instances = {}
    own = Own()
    assert Own._instances == {Own: own}
    assert Own not in mod.Singleton._instances


def test_arguments_to_a_fresh_class_fail_in_object(mod):
    class Service(mod.Singleton):
        def __init__(self, *args):
            pass
    raises(TypeError, None, 7, Service, 1)
    assert Service not in mod.Singleton._instances
    first = Service()
    assert Service(1) is first


def test_class_without_table(call):
    raises(AttributeError, None, 6, call, 5)


@pytest.fixture
def observed(mod):
    """A subclass whose metaclass serves `_instances` through a property
    that returns the dicts queued in `tables` and counts the fetches."""
    class Meta(type):
        fetches = 0
        tables = []

        @property
        def _instances(cls):
            Meta.fetches += 1
            return Meta.tables.pop(0) if Meta.tables else real
    real = {}

    class Service(mod.Singleton, metaclass=Meta):
        pass
    Service.meta = Meta
    Service.real = real
    return Service


def test_two_fetches_on_the_cached_path(observed):
    first = observed()
    assert observed.meta.fetches == 3
    assert observed() is first and observed.meta.fetches == 5


def test_entry_gone_before_the_final_read(observed):
    observed.meta.tables[:] = [{observed: 1}, {}]
    raises(KeyError, None, 8, observed)


def test_membership_test_failure(observed):
    observed.meta.tables[:] = [5]
    raises(TypeError, None, 6, observed)


def test_failed_store_leaves_no_entry(observed):
    import types
    observed.meta.tables[:] = [{}, types.MappingProxyType({})]
    raises(TypeError, None, 7, observed)
    assert observed not in observed.real


def test_class_outside_the_hierarchy(call):
    class Stranger(object):
        _instances = {}
    raises(TypeError, None, 7, call, Stranger)
    assert Stranger._instances == {}


def test_rebinding_of_the_module_name(mod):
    import builtins

    class Made(mod.Singleton):
        pass

    class Fresh(mod.Singleton):
        pass
    made = Made()
    saved = mod.Singleton
    del mod.Singleton
    try:
        raises(NameError, "name 'Singleton' is not defined", 7, Fresh)
        assert Made() is made
        builtins.Singleton = saved
        try:
            assert type(Fresh()) is Fresh
        finally:
            del builtins.Singleton
    finally:
        mod.Singleton = saved


@pytest.mark.skipif(PYPY, reason="PyPy's C API does not count native "
                    "recursion (Py_EnterRecursiveCall): the C stack overflows")
def test_runaway_recursion_is_an_error(mod):
    class Parent(object):
        def __new__(cls, *args):
            return Looping()

    class Looping(mod.Singleton, Parent):
        pass
    with pytest.raises(RecursionError):
        Looping()
    assert Looping not in mod.Singleton._instances


@pytest.mark.skipif(PYPY, reason="PyPy's C API does not count native "
                    "recursion (Py_EnterRecursiveCall): the C stack overflows")
def test_runaway_recursion_in_a_thread_is_an_error():
    # A thread's stack is the platform's default for threads (on Windows
    # a fraction of the main thread's): the error must come before it
    # runs out.  In a child, where running out kills only the child.
    proc = run_python("""
        import threading
        import %s as mod

        class Parent(object):
            def __new__(cls, *args):
                return Looping()

        class Looping(mod.Singleton, Parent):
            pass

        def run():
            try:
                Looping()
            except RecursionError:
                print("RecursionError", Looping in mod.Singleton._instances)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    """ % MODULE_NAME)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["RecursionError", "False"]
