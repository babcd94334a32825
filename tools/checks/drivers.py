"""Behaviours of the module, shared by the reliability checks.

Each behaviour is a function of no arguments that exercises one path of
the module once and leaves no state behind but what the module keeps by
design.  The import behaviours run the entry point, which the runtime
calls only until an import succeeds: run them before load(), which
imports the module for the others.
"""
import builtins
import ctypes
import importlib.util
import sys

import _imp

MODULE_NAME = "Windows_QUMA.System.systemDefine"
MODULE_SPEC = importlib.util.find_spec(MODULE_NAME)
mod = Singleton = new = Service = None


def load():
    global mod, Singleton, new, Service
    mod = importlib.import_module(MODULE_NAME)
    Singleton = mod.Singleton
    new = Singleton.__new__

    class Service(Singleton):
        def __init__(self, *args, **kwargs):
            pass
    Service()


def expect(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError("%r did not raise %s" % (call, exc_type.__name__))


def call_slot(args, kwargs):
    """Call __new__ through its tuple-and-dict slot with any keys."""
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object] * 3
    return api(type(new).__call__, args, kwargs)


# ---- import ------------------------------------------------------------

def run_import():
    return _imp.create_dynamic(MODULE_SPEC)


def without_builtin(name):
    def behaviour():
        saved = getattr(builtins, name)
        delattr(builtins, name)
        try:
            expect(NameError, run_import)
        finally:
            setattr(builtins, name, saved)
    behaviour.__name__ = "import_without_" + name
    return behaviour


class FailingMeta(type):
    pass


class FailingBase(metaclass=FailingMeta):
    pass


def import_failing_class_creation():
    def fail(*args):
        raise LookupError("class creation")
    saved = builtins.object
    builtins.object = FailingBase
    FailingMeta.__prepare__ = classmethod(fail)
    try:
        expect(LookupError, run_import)
    finally:
        builtins.object = saved
        del FailingMeta.__prepare__


IMPORT = [without_builtin("object"), without_builtin("super"),
          import_failing_class_creation]


# ---- __new__ -------------------------------------------------------------

def cached():
    Service()
    Service(1, key=2)
    new(Service)
    new(class_=Service)
    new(Service, extra=1)


def first_instantiation():
    class Fresh(Singleton):
        pass
    Fresh()
    del Singleton._instances[Fresh]


def first_instantiation_with_arguments():
    class Parent(object):
        def __new__(cls, *args, **kwargs):
            return object.__new__(cls)

    class Fresh(Singleton, Parent):
        _instances = {}
    Fresh(1, 2, args=3, kwargs=4)
    new(class_=Fresh, other=5)


def failures():
    expect(TypeError, new)
    expect(TypeError, new, Service, class_=Service)
    expect(TypeError, type(new).__call__, new)
    expect(TypeError, call_slot, (new, Service), {1: 2})
    expect(AttributeError, new, 5)

    class Fresh(Singleton):
        pass
    expect(TypeError, Fresh, 1)


def failure_without_singleton():
    class Fresh(Singleton):
        pass
    del mod.Singleton
    try:
        expect(NameError, Fresh)
    finally:
        mod.Singleton = Singleton


def keywords_through_the_slot():
    # The keyword dictionary is copied for the call: a few keywords fit
    # on the stack, many take the heap.
    class Parent(object):
        def __new__(cls, *args, **kwargs):
            return object.__new__(cls)

    class Fresh(Singleton, Parent):
        _instances = {}
    few = {"class_": Fresh, "a": 1}
    many = dict(few, **{"k%d" % i: i for i in range(20)})
    for keywords in (few, many, {"class_": Fresh}):
        Fresh._instances.clear()
        call_slot((new,), keywords)
        call_slot((new,), keywords)
    expect(TypeError, call_slot, (new, Fresh), many)


def hooks():
    # A colliding key in the table, and a store that fails while its new
    # object's finaliser fails inside __new__ again.
    class Own(Singleton):
        _instances = {}

    class Key(object):
        def __hash__(self):
            return hash(Own)

        def __eq__(self, other):
            return False
    Own._instances[Key()] = None
    Own()
    Own()

    class Table(dict):
        def __setitem__(self, key, value):
            del value
            raise LookupError("store")

    class Dying(object):
        def __del__(self):
            expect(TypeError, new)

    class Parent(object):
        def __new__(cls, *args):
            return Dying()

    class Failing(Singleton, Parent):
        _instances = Table()
    expect(LookupError, Failing)


NEW = [cached, first_instantiation, first_instantiation_with_arguments,
       failures, failure_without_singleton, keywords_through_the_slot,
       hooks]


# ---- function object -------------------------------------------------------

def properties():
    f = new
    for name in ("__name__", "__qualname__", "__module__", "__doc__",
                 "__globals__", "__closure__", "__self__", "__defaults__",
                 "__kwdefaults__", "__annotations__", "__dict__", "__code__",
                 "func_doc", "func_name", "func_dict", "func_globals",
                 "func_closure", "func_code", "func_defaults"):
        getattr(f, name)
    f.__reduce__()
    f.__reduce__(1, 2)
    repr(f)


def reassignments():
    f = new
    f.__doc__ = "doc"
    del f.__doc__
    f.func_doc = None
    f.__name__ = "renamed"
    f.func_name = "__new__"
    expect(TypeError, setattr, f, "__name__", 1)
    expect(TypeError, delattr, f, "__qualname__")
    f.__qualname__ = "Singleton.__new__"
    saved = f.__dict__
    f.__dict__ = {"a": 1}
    f.func_dict = saved
    expect(TypeError, delattr, f, "__dict__")
    expect(TypeError, setattr, f, "__dict__", 1)
    f.__defaults__ = (1,)
    del f.func_defaults
    expect(TypeError, setattr, f, "__defaults__", 1)
    f.__kwdefaults__ = {"a": 1}
    f.__kwdefaults__ = None
    expect(TypeError, setattr, f, "__kwdefaults__", 1)
    f.__annotations__ = {"a": int}
    f.__annotations__ = None
    f.__annotations__
    del f.__annotations__
    expect(TypeError, setattr, f, "__annotations__", 1)
    f.__module__ = "elsewhere"
    del f.__module__
    f.__module__ = MODULE_NAME
    f.extra = object()
    del f.extra
    for name in ("__globals__", "__closure__", "__code__", "__self__"):
        expect(AttributeError, setattr, f, name, None)
        expect(AttributeError, delattr, f, name)


FUNCTION = [properties, reassignments]
