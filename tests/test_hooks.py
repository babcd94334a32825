"""Python code that runs inside __new__ and the import: colliding keys,
finalisers, metaclass hooks, custom tables, re-entrant parents.  Each
scenario runs against this module and against the same module written in
plain Python; results, exceptions and the hooks' own records must agree,
and this module's traceback entries must name the step that failed."""
import sys

import pytest

from conftest import (MODULE_NAME, NEW_NAME, VIAS,
                      RaisingStore, dying_class,
                      module_entries, needs_cpython_dict, needs_pythonapi,
                      needs_refcounts,
                      py_call, roomy_service, run_python)

def run(call):
    """What a call did: ("returned", value) or ("raised", type, text),
    and this module's entry lines."""
    try:
        value = call()
    except Exception as exc:
        lines = [entry[1] for entry in module_entries(exc.__traceback__)]
        return ("raised", type(exc), str(exc)), lines, exc
    return ("returned", value), [], None


def compare(native_mod, plain_mod, scenario, via="class call"):
    """Run `scenario(mod, log)` -> (class, describe) in both worlds; the
    native outcome, its entry lines and log, after checking that both
    worlds agree."""
    results = []
    for mod in (native_mod, plain_mod):
        log = []
        cls, describe = scenario(mod, log)
        del log[:]
        outcome, lines, exc = run(lambda: VIAS[via](cls))
        if outcome[0] == "returned":
            outcome = ("returned", describe(outcome[1]))
        results.append((outcome, list(log), lines, exc))
    (native, native_log, lines, exc), (model, model_log, _, _) = results
    assert native == model
    assert native_log == model_log
    if exc is not None:
        assert len(lines) == 1, lines
    return native, lines, native_log


def tag(value):
    return getattr(value, "tag", value)


# ---- Keys that collide with the class in its table ------------------------

def colliding(on_eq, instantiated=True, meta=type):
    """A class whose own table holds, before the class itself, a key of
    the same hash whose __eq__ runs on_eq(cls, log)."""
    def scenario(mod, log):
        Service = roomy_service(mod, meta)

        class Key(object):
            armed = False

            def __hash__(self):
                return hash(Service)

            def __eq__(self, other):
                if not Key.armed:
                    return False
                log.append("eq")
                return on_eq(Service, log, mod)
        Service._instances[Key()] = "key"
        if instantiated:
            instance = object.__new__(Service)
            instance.tag = "stored"
            Service._instances[Service] = instance
        Key.armed = True
        return Service, tag
    return scenario


def rebind_table(cls, log, mod):
    # Drops the table being searched: only the lookup still holds it.
    cls._instances = {cls: "replacement"}
    return False


def raise_on(calls):
    def on_eq(cls, log, mod):
        if len(log) in calls:
            raise LookupError("eq %d" % len(log))
        return False
    return on_eq


def rebind_singleton(cls, log, mod):
    if len(log) == 1:
        mod.Other = mod.Singleton
        mod.Singleton = type("Unrelated", (object,), {})
    return False


@needs_cpython_dict
@pytest.mark.parametrize("via", sorted(VIAS))
def test_key_rebinding_the_table_being_searched(mod, plain, via):
    outcome, _, log = compare(mod, plain, colliding(rebind_table), via)
    assert outcome == ("returned", "replacement") and log == ["eq"]


@needs_cpython_dict
@pytest.mark.parametrize("via", sorted(VIAS))
@pytest.mark.parametrize("calls,line", [({1}, 6), ({2}, 8)])
def test_key_comparison_raising(mod, plain, via, calls, line):
    outcome, lines, _ = compare(mod, plain, colliding(raise_on(calls)), via)
    assert outcome[:2] == ("raised", LookupError) and lines == [line]


@needs_cpython_dict
@pytest.mark.parametrize("via", sorted(VIAS))
def test_cached_call_compares_as_often_as_the_steps(mod, plain, via):
    # The membership test and the final read each meet the key once.
    outcome, _, log = compare(mod, plain, colliding(raise_on(())), via)
    assert outcome == ("returned", "stored") and log == ["eq", "eq"]


@needs_cpython_dict
def test_key_rebinding_singleton_before_creation(mod, plain):
    def scenario(mod_, log):
        cls, describe = colliding(rebind_singleton, False)(mod_, log)
        return cls, describe
    try:
        outcome, lines, _ = compare(mod, plain, scenario)
    finally:
        for m in (mod, plain):
            if hasattr(m, "Other"):
                m.Singleton = m.Other
                del m.Other
    assert outcome[:2] == ("raised", TypeError) and lines == [7]


# ---- Finalisers --------------------------------------------------------------

def failing_store_with_reentrant_finaliser(mod, log):
    """The store at line 7 fails; dropping the new object runs a __del__
    that fails inside __new__ at line 5."""
    Dying = dying_class(mod, log)

    class Parent(object):
        def __new__(cls, *args):
            return Dying()

    class Service(mod.Singleton, Parent):
        _instances = RaisingStore()
    return Service, tag


@needs_refcounts
def test_entry_of_a_failure_stays_with_its_call(mod, plain):
    outcome, lines, log = compare(mod, plain,
                                  failing_store_with_reentrant_finaliser)
    assert outcome == ("raised", LookupError, "store") and lines == [7]
    assert log == ["inner failed"]


def dying_tables(mod, log):
    """Each fetch of _instances makes a table that, when dropped, calls
    back into __new__ with a failing argument."""
    class Table(dict):
        def __del__(self):
            try:
                mod.Singleton.__new__(5)
            except AttributeError:
                log.append("table gone")

    class Meta(type):
        @property
        def _instances(cls):
            log.append("fetch")
            table = Table()
            table[cls] = "made"
            return table

    class Service(mod.Singleton, metaclass=Meta):
        pass
    return Service, tag


@needs_refcounts
def test_tables_finalised_between_steps(mod, plain):
    outcome, _, log = compare(mod, plain, dying_tables)
    assert outcome == ("returned", "made")
    assert log == ["fetch", "table gone", "fetch", "table gone"]


# ---- Metaclass hooks and custom tables -----------------------------------

def keyword_thief(mod, log):
    """A metaclass __getattribute__ that changes the caller's keyword
    dictionary while __new__ fetches _instances."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "_instances":
                keywords.clear()
                keywords["stolen"] = 1
            return type.__getattribute__(cls, name)

    class Parent(object):
        def __new__(cls, *args, **kwargs):
            log.append(kwargs)
            return object.__new__(cls)

    class Service(mod.Singleton, Parent, metaclass=Meta):
        _instances = {}
    keywords = {"a": 1}
    Service.keywords = keywords
    return Service, lambda value: type(value).__name__


@needs_pythonapi
def test_parent_receives_the_keywords_as_passed(mod, plain):
    for m in (mod, plain):
        log = []
        cls, _ = keyword_thief(m, log)
        fn = m.Singleton.__new__
        result = py_call(type(fn).__call__, (fn, cls), cls.keywords)
        assert type(result) is cls and log == [{"a": 1}], m


class Recording(object):
    """A table that records each use."""

    def __init__(self, log):
        self.log, self.data = log, {}

    def __contains__(self, key):
        self.log.append("contains")
        return key in self.data

    def __getitem__(self, key):
        self.log.append("getitem")
        return self.data[key]

    def __setitem__(self, key, value):
        self.log.append("setitem")
        self.data[key] = value


def recording_table(mod, log):
    table = Recording(log)

    class Meta(type):
        @property
        def _instances(cls):
            log.append("fetch")
            return table

    class Service(mod.Singleton, metaclass=Meta):
        pass
    return Service, lambda value: type(value).__name__


def test_custom_table_sees_the_steps_in_order(mod, plain):
    outcome, _, log = compare(mod, plain, recording_table)
    assert outcome == ("returned", "Service")
    assert log == ["fetch", "contains", "fetch", "setitem", "fetch",
                   "getitem"]


def reentrant_parent(mod, log):
    """The parent's __new__ instantiates the class again, once."""
    class Parent(object):
        def __new__(cls, *args):
            depth = len(log)
            log.append("parent %d" % depth)
            if depth == 0:
                inner = cls()
                log.append("inner %s" % inner.tag)
            made = object.__new__(cls)
            made.tag = "made %d" % depth
            return made

    class Service(mod.Singleton, Parent):
        _instances = {}
    return Service, tag


def test_reentrant_parent(mod, plain):
    outcome, _, log = compare(mod, plain, reentrant_parent)
    # The inner call stored first; the outer one returns that instance
    # too, and its own object is dropped.
    assert outcome == ("returned", "made 1")
    assert log == ["parent 0", "parent 1", "inner made 1"]


# ---- The metaclass changed between the steps -------------------------------

def meta_gains_table(cls, log):
    type(cls)._instances = property(lambda c: {c: "from meta"})


def meta_gains_hash(cls, log):
    type(cls).__hash__ = lambda c: 12345


def meta_gains_hook(cls, log):
    def hook(c, name):
        log.append("get " + name)
        return type.__getattribute__(c, name)
    type(cls).__getattribute__ = hook


def class_gets_new_meta(cls, log):
    class Other(type):
        _instances = property(lambda c: {c: "from other"})
    cls.__class__ = Other


@pytest.mark.parametrize("change", [
    meta_gains_table, meta_gains_hash, meta_gains_hook, class_gets_new_meta,
], ids=lambda change: change.__name__)
@pytest.mark.parametrize("when", [
    pytest.param("membership test", marks=needs_cpython_dict),
    "parent __new__"])
def test_metaclass_changed_between_the_steps(mod, plain, change, when):
    # Each fetch, and the lookups after it, go by the metaclass as it is
    # at that fetch.
    def scenario(mod_, log):
        class Meta(type):
            pass
        done = []

        def once(cls):
            if not done:
                done.append(True)
                change(cls, log)
        if when == "membership test":
            return colliding(lambda cls, log, m: once(cls), meta=Meta)(
                mod_, log)

        class Parent(object):
            def __new__(cls, *args):
                once(cls)
                made = object.__new__(cls)
                made.tag = "made"
                return made

        class Service(mod_.Singleton, Parent, metaclass=Meta):
            _instances = {}
        return Service, tag
    compare(mod, plain, scenario)


# ---- Names --------------------------------------------------------------------

def test_name_errors_carry_the_name(mod):
    class Fresh(mod.Singleton):
        pass
    saved = mod.Singleton
    del mod.Singleton
    try:
        with pytest.raises(NameError) as info:
            Fresh()
    finally:
        mod.Singleton = saved
    if sys.version_info >= (3, 10):
        assert info.value.name == "Singleton"
    assert module_entries(info.value.__traceback__)[0][1] == 7


def test_suggestion_for_a_missing_singleton(mod):
    if sys.version_info < (3, 12):
        pytest.skip("the traceback module suggests names from 3.12 on")
    proc = run_python("""
        import traceback
        import %s as mod
        class Fresh(mod.Singleton):
            pass
        mod.Singletons = mod.Singleton
        del mod.Singleton
        try:
            Fresh()
        except NameError as exc:
            print("".join(traceback.format_exception(exc)))
    """ % MODULE_NAME)
    assert proc.returncode == 0, proc.stderr
    assert "Did you mean: 'Singletons'?" in proc.stdout


def test_import_without_builtin_object_names_it():
    proc = run_python("""
        import builtins, sys
        saved = builtins.object
        del builtins.object
        try:
            import %s
        except NameError as exc:
            print(getattr(exc, "name", None))
        finally:
            builtins.object = saved
    """ % MODULE_NAME)
    assert proc.returncode == 0, proc.stderr
    expected = "object" if sys.version_info >= (3, 10) else "None"
    assert proc.stdout.split() == [expected]


# ---- Import-time hooks ------------------------------------------------------

IMPORT_WITH_BASE = """
import builtins, sys, traceback
%s
saved = builtins.saved = builtins.object
builtins.object = Base
try:
    import Windows_QUMA.System.systemDefine as mod
except Exception as exc:
    builtins.object = saved
    print("failed", type(exc).__name__, str(exc).replace(" ", "_"),
          [e[1] for e in traceback.extract_tb(exc.__traceback__)
           if e[0].endswith("systemDefine")])
else:
    builtins.object = saved
    %s
"""


def test_metaclass_dropped_during_class_creation():
    # The namespace's item store moves the base to another metaclass and
    # drops every other reference to the one class creation chose.
    proc = run_python(IMPORT_WITH_BASE % ("""
import gc
calls = []
class Namespace(dict):
    def __setitem__(self, key, value):
        dict.__setitem__(self, key, value)
        if key == "__new__":
            Base.__class__ = Other
            del globals()["Meta"]
            gc.collect()
class Meta(type):
    @classmethod
    def __prepare__(meta, name, bases):
        return Namespace()
    def __new__(meta, name, bases, ns):
        calls.append(meta.__name__)
        if name == "Base":
            return type.__new__(meta, name, bases, dict(ns))
        return type.__new__(type, name, bases, dict(ns))
class Other(type):
    pass
class Base(metaclass=Meta):
    pass
del calls[:]
""", "print(calls, type(mod.Singleton).__name__)"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["['Meta']", "Other"]


def test_class_of_a_failed_import_keeps_its_own_globals():
    # Class creation succeeds, binding a definition fails (a colliding
    # key in the module globals); the retry succeeds.  The first run's
    # Singleton still finds itself.
    proc = run_python(IMPORT_WITH_BASE % ("""
made = []
class Key(str):
    def __hash__(self):
        return hash("PAGE_INFO")
    def __eq__(self, other):
        raise LookupError("key")
class Meta(type):
    def __new__(meta, name, bases, ns):
        if name == "Base":
            return type.__new__(meta, name, bases, ns)
        cls = type.__new__(type, name, (builtins.saved,), dict(ns))
        made.append(cls)
        vars(sys.modules["Windows_QUMA.System.systemDefine"])[
            Key("x")] = None
        return cls
class Base(metaclass=Meta):
    pass
""", "") + """
first = made[0]
import Windows_QUMA.System.systemDefine as mod
class Old(first):
    pass
class New(mod.Singleton):
    pass
print(type(Old()).__name__, type(New()).__name__, first is mod.Singleton)
""")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "failed LookupError key [41]"
    assert lines[1].split() == ["Old", "New", "False"]


@needs_pythonapi
def test_no_keyword_consumed_as_class_is_passed_on(mod):
    seen = []

    class Parent(object):
        def __new__(cls, *args, **kwargs):
            seen.append(kwargs)
            return object.__new__(cls)

    class Service(mod.Singleton, Parent):
        _instances = {}

    class Name(str):
        pass
    fn = mod.Singleton.__new__
    slot = type(fn).__call__
    assert type(py_call(slot, (fn,), {Name("class_"): Service})) is Service
    assert seen == [{}]

    class NotText(object):
        def __hash__(self):
            return hash("class_")

        def __eq__(self, other):
            return other == "class_"
    Service._instances.clear()
    with pytest.raises(TypeError) as info:
        py_call(slot, (fn,), {NotText(): Service})
    assert str(info.value) == ("__new__() takes at least 1 positional "
                               "argument (0 given)")
    assert seen == [{}]
    assert [e[2].split(" (")[0]
            for e in module_entries(info.value.__traceback__)] == [NEW_NAME]
