"""Random calls and attribute changes, checked against a plain-Python
model of the rules.  SYSTEMDEFINE_FUZZ_EXAMPLES sets how many examples
each property runs (default 300)."""
import ctypes
import threading
import os
import traceback
import types

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from conftest import (PYPY,  # noqa: E402
                      VIAS, RaisingStore, class_meeting_collision_once,
                      dying_class, module_entries, roomy_dict)

EXAMPLES = int(os.environ.get("SYSTEMDEFINE_FUZZ_EXAMPLES", "300"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))
COUNT = "__new__() takes at least 1 positional argument (0 given)"
MULTIPLE = "__new__() got multiple values for keyword argument 'class_'"
NOT_TEXT = "__new__() keywords must be strings"


class Failure(Exception):
    def __init__(self, exc, line):
        Exception.__init__(self, exc, line)
        self.exc, self.line = exc, line


def model_new(mod, positional, keywords, keywords_given):
    """Singleton.__new__ as plain Python: the instance, or Failure."""
    class_ = positional[0] if positional else None
    kwargs = {}
    if keywords_given:
        remaining = len(keywords)
        if not positional:
            if "class_" not in keywords:
                raise Failure(TypeError(COUNT), 5)
            class_ = keywords["class_"]
            remaining -= 1
        if remaining:
            for key, value in keywords.items():
                if not isinstance(key, str):
                    raise Failure(TypeError(NOT_TEXT), 5)
                if key == "class_":
                    if positional:
                        raise Failure(TypeError(MULTIPLE), 5)
                    class_ = value
                    continue
                kwargs[key] = value
    elif not positional:
        raise Failure(TypeError(COUNT), 5)
    line = 6
    try:
        present = class_ in class_._instances
        if not present:
            line = 7
            base = vars(mod).get("Singleton")
            instance = super(base, class_).__new__(
                class_, *positional[1:], **kwargs)
            try:
                table = class_._instances
                if type(table) is dict:
                    table.setdefault(class_, instance)
                else:
                    table[class_] = instance
            finally:
                table = instance = None
        line = 8
        return class_._instances[class_]
    except Exception as exc:
        raise Failure(exc, line)


def call_slot(fn, positional, keywords):
    """Through the tuple-and-dict slot; keywords None passes NULL."""
    api = ctypes.pythonapi.PyObject_Call
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    return api(type(fn).__call__, (fn,) + tuple(positional),
               None if keywords is None else id(keywords))


KINDS = ["plain", "permissive", "own_dict", "own_list", "own_none",
         "own_proxy", "raising_table", "meta_property", "meta_flaky",
         "stranger", "number", "text"]


def make_subject(mod, kind, instantiated):
    """A class (or other first argument) of the given kind, fresh."""
    S = mod.Singleton

    class Permissive(object):
        def __new__(cls, *args, **kwargs):
            return object.__new__(cls)

    class RaisingTable(dict):
        def __contains__(self, key):
            raise LookupError("no membership")

    class Meta(type):
        fetches = 0

        @property
        def _instances(cls):
            Meta.fetches += 1
            if kind == "meta_flaky" and Meta.fetches % 3 == 0:
                return {}
            return cls.__dict__["table"]

    bodies = {
        "own_dict": {"_instances": {}},
        "own_list": {"_instances": []},
        "own_none": {"_instances": None},
        "own_proxy": {"_instances": types.MappingProxyType({})},
        "raising_table": {"_instances": RaisingTable()},
        "meta_property": {"table": {}},
        "meta_flaky": {"table": {}},
    }
    if kind == "number":
        return 5
    if kind == "text":
        return "text"
    if kind == "stranger":
        return type("Service", (object,), {"_instances": {}})
    bases = (S, Permissive) if kind == "permissive" else (S,)
    meta = Meta if kind.startswith("meta") else type
    cls = meta("Service", bases, dict(bodies.get(kind, {})))
    if instantiated and kind in ("plain", "permissive", "own_dict"):
        cls.existing = cls._instances[cls] = object.__new__(cls)
    return cls


def outcome(run, subject):
    """What a call did, in terms that compare across two worlds."""
    try:
        result = run()
    except Failure as failure:
        return ("error", type(failure.exc), str(failure.exc), failure.line)
    except Exception as exc:
        lines = [entry[1] for entry in module_entries(exc.__traceback__)]
        return ("error", type(exc), str(exc), lines[0] if lines else None)
    table = getattr(subject, "__dict__", {}).get("_instances")
    if table is None and isinstance(subject, type):
        table = subject.__dict__.get("table", subject._instances)
    stored = isinstance(table, dict) and table.get(subject) is result
    if result is getattr(subject, "existing", None):
        return ("ok", "existing", stored)
    return ("ok", "new" if type(result) is subject else "other", stored)


keys = st.sampled_from(["args", "kwargs", "x", "y"])
odd_keys = st.sampled_from([1, b"class_", (1,)])


@SETTINGS
@given(kind=st.sampled_from(KINDS), instantiated=st.booleans(),
       class_at=st.sampled_from(["positional"] * 4 +
                                ["keyword", "both", "none"]),
       extra=st.lists(st.integers(), max_size=3),
       names=st.lists(keys, max_size=4, unique=True),
       odd=st.lists(odd_keys, max_size=2, unique=True),
       via=st.sampled_from(["direct"] if PYPY else ["direct", "slot"]),
       empty_dict=st.booleans())
def test_calls_follow_the_model(mod, kind, instantiated, class_at, extra,
                                names, odd, via, empty_dict):
    native_subject = make_subject(mod, kind, instantiated)
    model_subject = make_subject(mod, kind, instantiated)

    def arguments(subject):
        positional = [subject] if class_at in ("positional", "both") else []
        if class_at == "none" and extra:
            positional = []
        positional += extra if positional else []
        keywords = {name: index for index, name in enumerate(names)
                    if name != "class_"}
        if class_at in ("keyword", "both"):
            keywords["class_"] = subject
        if via == "slot":
            keywords.update((key, 0) for key in odd)
        return positional, keywords

    fn = mod.Singleton.__new__
    positional, keywords = arguments(native_subject)
    given_keywords = bool(keywords) or (via == "slot" and empty_dict)
    if via == "direct":
        def native():
            return fn(*positional, **keywords)
    else:
        def native():
            return call_slot(fn, positional,
                             keywords if given_keywords else None)
    model_positional, model_keywords = arguments(model_subject)
    try:
        got = outcome(native, native_subject)
        expected = outcome(
            lambda: model_new(mod, model_positional, model_keywords,
                              given_keywords), model_subject)
        hypothesis.event("%s %s line %s" % (
            got[0], getattr(got[1], "__name__", got[1]), got[-1]))
        assert got == expected
    finally:
        for subject in (native_subject, model_subject):
            mod.Singleton._instances.pop(subject, None)


# ---- function object attributes -------------------------------------------

ALIASES = {"func_doc": "__doc__", "func_name": "__name__",
           "func_dict": "__dict__", "func_globals": "__globals__",
           "func_closure": "__closure__", "func_code": "__code__",
           "func_defaults": "__defaults__"}
WRITABLE = ["__name__", "__qualname__", "__doc__", "__dict__", "__defaults__",
            "__kwdefaults__", "__annotations__", "__module__"]
READ_ONLY = ["__globals__", "__closure__", "__code__", "__self__"]
NAMES = WRITABLE + READ_ONLY + sorted(ALIASES) + ["extra"]
VALUES = ["text", 5, None, (), (1,), "dict", "other dict"]
LAZY = object()
RULES = {
    # name: (accepts, message when not, deletion: "none", "lazy" or
    # the message of the TypeError it raises)
    "__name__": (lambda v: isinstance(v, str),
                 "__name__ must be set to a string object",
                 "__name__ must be set to a string object"),
    "__qualname__": (lambda v: isinstance(v, str),
                     "__qualname__ must be set to a string object",
                     "__qualname__ must be set to a string object"),
    "__doc__": (lambda v: True, None, "none"),
    "__module__": (lambda v: True, None, "none"),
    "__dict__": (lambda v: isinstance(v, dict),
                 "setting function's dictionary to a non-dict",
                 "function's dictionary may not be deleted"),
    "__defaults__": (lambda v: v is None or isinstance(v, tuple),
                     "__defaults__ must be set to a tuple object", "none"),
    "__kwdefaults__": (lambda v: v is None or isinstance(v, dict),
                       "__kwdefaults__ must be set to a dict object", "none"),
    "__annotations__": (lambda v: v is None or isinstance(v, dict),
                        "__annotations__ must be set to a dict object",
                        "lazy"),
}


class FunctionModel(object):
    def __init__(self, fn, mod):
        self.state = {"__name__": fn.__name__,
                      "__qualname__": fn.__qualname__, "__doc__": None,
                      "__dict__": fn.__dict__, "__defaults__": None,
                      "__kwdefaults__": None, "__annotations__": LAZY,
                      "__module__": fn.__module__,
                      "__globals__": vars(mod), "__closure__": None,
                      "__code__": fn.__code__, "__self__": None}
        # What __dict__ should hold, kept apart from the dict itself.
        self.extras = dict(fn.__dict__)

    def get(self, name, native):
        if name == "extra":
            if "extra" not in self.extras:
                return native is AttributeError
            return native is self.extras["extra"]
        name = ALIASES.get(name, name)
        expected = self.state[name]
        if name == "__dict__" and native != self.extras:
            return False
        if expected is LAZY:
            self.state[name] = native
            return native == {}
        return native is expected

    def change(self, name, value, delete):
        """The TypeError/AttributeError message expected, or None."""
        if name == "extra":
            if delete:
                if "extra" not in self.extras:
                    return AttributeError
                del self.extras["extra"]
            else:
                self.extras["extra"] = value
            return None
        name = ALIASES.get(name, name)
        if name in READ_ONLY:
            return AttributeError
        accepts, message, deletion = RULES[name]
        if delete:
            if deletion == "none":
                self.state[name] = None
            elif deletion == "lazy":
                self.state[name] = LAZY
            else:
                return deletion
            return None
        if not accepts(value):
            return message
        if name == "__annotations__" and value is None:
            value = LAZY
        if name == "__dict__":
            self.extras = dict(value)
        self.state[name] = value
        return None


@pytest.fixture
def reset_function(mod):
    """Puts the function's attributes back as created (call it)."""
    fn = mod.Singleton.__new__
    saved = {name: getattr(fn, name) for name in WRITABLE}

    def reset():
        for name, value in saved.items():
            setattr(fn, name, value)
        fn.__dict__.clear()
        del fn.__annotations__
    yield reset
    reset()


operations = st.lists(st.tuples(st.sampled_from(["get", "set", "del"]),
                                st.sampled_from(NAMES),
                                st.sampled_from(VALUES)),
                      max_size=30)


@SETTINGS
@given(ops=operations)
def test_attribute_changes_follow_the_model(mod, reset_function, ops):
    reset_function()
    fn = mod.Singleton.__new__
    model = FunctionModel(fn, mod)
    for op, name, value in ops:
        if value == "dict":
            value = {}
        elif value == "other dict":
            value = {"a": 1}
        if op == "get":
            try:
                native = getattr(fn, name)
            except AttributeError:
                native = AttributeError
            assert model.get(name, native), (op, name)
            continue
        expected = model.change(name, value, op == "del")
        try:
            if op == "set":
                setattr(fn, name, value)
            else:
                delattr(fn, name)
        except (TypeError, AttributeError) as exc:
            if expected is AttributeError:
                assert type(exc) is AttributeError, (op, name)
            else:
                assert (type(exc), str(exc)) == (TypeError, expected), \
                    (op, name)
        else:
            assert expected is None, (op, name, value)


# ---- hooks, against the plain-Python module ---------------------------------

# Source lines of the plain module's __new__ and the steps they are.
PLAIN_STEPS = {11: 6, 12: 7, 13: 7, 15: 7, 16: 7, 19: 7, 21: 7, 23: 7, 24: 8}


def plain_lines(plain, exc):
    return [PLAIN_STEPS[tb.lineno] for tb in traceback.extract_tb(
        exc.__traceback__) if tb.filename == plain.__file__]


def make_world(mod, log, table, action, action_at, instantiated, parent,
               store):
    """A fresh subclass of mod.Singleton with the hooks asked for; each
    hook appends to `log` what it saw."""
    S = mod.Singleton
    count = [0]

    def act(cls):
        # The colliding key's __eq__, or the metaclass's fetch, at its
        # action_at-th run.
        count[0] += 1
        log.append("hook %d" % count[0])
        if count[0] != action_at:
            return
        if action == "raise":
            raise LookupError("hook")
        if action == "rebind_table":
            replacement = roomy_dict()
            replacement[cls] = "replacement"
            type.__setattr__(cls, "table", replacement)
        elif action == "rebind_singleton":
            mod.Singleton = type("Unrelated", (object,), {})

    class Key(object):
        armed = False

        def __eq__(self, other):
            if Key.armed:
                act(cls)
            return False

        def __hash__(self):
            return hash(cls)

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "_instances":
                if table == "meta_getattribute":
                    act(cls)
                log.append("fetch")
                return type.__getattribute__(cls, "table")
            return type.__getattribute__(cls, name)

    Dying = dying_class(mod, log)

    class Parent(object):
        def __new__(cls, *args, **kwargs):
            log.append("parent")
            if parent == "raising":
                raise LookupError("parent")
            if parent == "dying":
                return Dying()
            if parent == "reentrant" and log.count("parent") == 1:
                try:
                    log.append(("inner", getattr(cls(), "tag", None)))
                except Exception as exc:
                    log.append(("inner", type(exc).__name__))
            made = object.__new__(cls)
            made.tag = "made %d" % log.count("parent")
            return made

    bases = (S,) if parent == "object" else (S, Parent)

    def make():
        storage = roomy_dict(RaisingStore if store == "raise" else dict)
        return Meta("Service", bases, {"table": storage}), storage
    cls = class_meeting_collision_once(make)
    storage = type.__getattribute__(cls, "table")
    if table == "colliding":
        dict.__setitem__(storage, Key(), "key")
    if instantiated:
        existing = object.__new__(cls)
        existing.tag = "existing"
        dict.__setitem__(storage, cls, existing)
    Key.armed = True
    return cls


@SETTINGS
@given(table=st.sampled_from(["plain", "meta_getattribute"] +
                            # (PyPy's dicts compare colliding keys at will)
                            ([] if PYPY else ["colliding"])),
       action=st.sampled_from(["none", "raise", "rebind_table",
                               "rebind_singleton"]),
       action_at=st.integers(1, 3), instantiated=st.booleans(),
       # A dying parent's finaliser runs when CPython drops the object;
       # PyPy runs it when its collector gets there.
       parent=st.sampled_from(["object", "permissive", "reentrant",
                               "raising"] + ([] if PYPY else ["dying"])),
       store=st.sampled_from(["ok", "raise"]),
       via=st.sampled_from(sorted(VIAS)), calls=st.integers(1, 2))
def test_hooks_follow_the_plain_module(mod, plain, table, action, action_at,
                                       instantiated, parent, store, via,
                                       calls):
    results = []
    for module in (mod, plain):
        saved = module.Singleton
        log = []
        cls = make_world(module, log, table, action, action_at,
                         instantiated, parent, store)
        del log[:]
        outcomes = []
        try:
            for _ in range(calls):
                try:
                    value = VIAS[via](cls)
                except Exception as exc:
                    lines = (plain_lines(plain, exc) if module is plain else
                             [entry[1] for entry in
                              module_entries(exc.__traceback__)])
                    outcomes.append(("raised", type(exc), lines))
                else:
                    outcomes.append(("returned",
                                     getattr(value, "tag",
                                             type(value).__name__)))
        finally:
            module.Singleton = saved
        results.append((outcomes, list(log)))
    hypothesis.event(str(results[0][0])[:60])
    assert results[0] == results[1]


# ---- changes between calls, against the plain-Python module ----------------

class CacheWorld(object):
    """Classes of one module whose calls the module may answer from what
    an earlier call saw, and the changes that must end that: the tables'
    entries, the tables themselves, bases, metaclasses, keys whose __eq__
    runs."""

    def __init__(self, mod, log):
        S = mod.Singleton
        self.log = log

        class Meta(type):
            pass

        class Other(Meta):
            @property
            def _instances(cls):
                log.append("property")
                return type.__getattribute__(cls, "__dict__").get(
                    "table", {})

        class Own(S):
            _instances = {}

        class Spare(S):
            _instances = {}

        class Child(Own):
            pass

        class Shared(S):
            pass

        class Ruled(S, metaclass=Meta):
            _instances = {}
        self.mod, self.meta, self.other = mod, Meta, Other
        self.own, self.spare = Own, Spare
        self.classes = [Own, Child, Shared, Ruled, Spare]
        self.made = 0

    def table(self, cls):
        try:
            return cls._instances
        except Exception:
            return None

    def act(self, action, index):
        cls = self.classes[index % len(self.classes)]
        table = self.table(cls)
        log = self.log
        if action == "replace" and isinstance(table, dict):
            self.made += 1
            table[cls] = "replaced %d" % self.made
        elif action == "delete" and isinstance(table, dict):
            table.pop(cls, None)
        elif action == "clear" and isinstance(table, dict):
            table.clear()
        elif action == "rebind":
            cls._instances = {}
        elif action == "rebind_base":
            self.own._instances = {}
        elif action == "bases" and cls is self.classes[1]:
            cls.__bases__ = ((self.spare,) if cls.__bases__ == (self.own,)
                             else (self.own,))
        elif (action == "collide" and isinstance(table, dict) and
              table is not self.mod.Singleton._instances):
            # A key that stands for the class: every lookup of the class
            # compares with it once, wherever the two worlds' hashes put
            # it (a key that compares unequal may or may not lie on the
            # class's probe path).  Not in the shared table, which
            # outlives the example.
            class Key(object):
                def __hash__(self):
                    return hash(cls)

                def __eq__(self, other):
                    log.append("eq")
                    return other is cls
            entry = table.pop(cls, "key")
            table[Key()] = entry
        elif action == "metaclass" and cls is self.classes[3]:
            cls.__class__ = (self.other if type(cls) is self.meta
                             else self.meta)
        elif action == "meta_attribute":
            if "_instances" in vars(self.meta):
                del self.meta._instances
            else:
                self.meta._instances = property(
                    lambda c: log.append("meta property") or {})
        elif action == "thread" and isinstance(table, dict):
            worker = threading.Thread(target=table.pop, args=(cls, None))
            worker.start()
            worker.join()


def labels_of(values, keep):
    """Objects named by first appearance (kept alive, so that none takes
    another's address); text as it is."""
    named = {}
    out = []
    for value in values:
        if isinstance(value, (str, tuple)):
            out.append(value)
            continue
        keep.append(value)
        out.append(named.setdefault(id(value), "object %d" % len(named)))
    return out


CHANGES = ["replace", "delete", "clear", "rebind", "rebind_base", "bases",
           "metaclass", "meta_attribute", "thread"] + (
    # (PyPy's dicts compare colliding keys at will)
    [] if PYPY else ["collide"])


@SETTINGS
@given(steps=st.lists(st.tuples(
    st.sampled_from(["call"] * 4 + CHANGES), st.integers(0, 4)),
    min_size=1, max_size=25))
def test_changes_between_calls_follow_the_plain_module(mod, plain, steps):
    results = []
    keep = []
    for module in (mod, plain):
        log = []
        shared = dict(module.Singleton._instances)
        world = CacheWorld(module, log)
        seen = []
        for action, index in steps:
            if action != "call":
                try:
                    world.act(action, index)
                    seen.append(action)
                except Exception as exc:
                    seen.append((action, type(exc).__name__))
                continue
            cls = world.classes[index % len(world.classes)]
            try:
                seen.append(cls())
            except Exception as exc:
                lines = [entry[1] for entry in
                         module_entries(exc.__traceback__)]
                seen.append((type(exc).__name__, str(exc),
                             len(lines) if module is mod else 1))
            seen.append(tuple(log))
            del log[:]
        for cls in world.classes:
            module.Singleton._instances.pop(cls, None)
        module.Singleton._instances.update(shared)
        results.append(labels_of(seen, keep))
    assert results[0] == results[1]
