"""Calls that find their instance are answered without the steps where
no Python code could tell the difference.  Whatever changes between two
calls, the next call must see it as the plain-Python module does: the
same result, the same exception and the same hook calls."""
import gc
import os
import subprocess
import sys
import textwrap
import threading
import types

import pytest

from conftest import (FREE_THREADED, MODULE_NAME as MODULE, PYPY, ROOT,
                      class_meeting_collision_once, colliding_key,
                      module_entries, needs_cpython_dict, needs_pythonapi,
                      needs_refcounts, needs_testcapi, roomy_service,
                      run_python, type_tag)


def labelled(value, labels):
    """Objects named by the order they were first seen in one world (and
    kept, so that no other object takes a name's address)."""
    if isinstance(value, (str, type(None))):
        return value
    return labels.setdefault(id(value), (value, "object %d" % len(labels)))[1]


def after_change(mod, scenario, calls=3):
    """Build the scenario, call its class twice (the second call finds the
    instance, so later ones may be answered from what it saw), apply the
    change, call again; what every call gave and what the hooks logged."""
    log = []
    labels = {}
    cls, change = scenario(mod, log)
    seen = []
    for number in range(calls):
        if number == 2:
            change()
        try:
            seen.append(labelled(cls(), labels))
        except Exception as exc:
            lines = [entry[1] for entry in module_entries(exc.__traceback__)]
            seen.append((type(exc).__name__, str(exc), lines))
    return seen, log


def agree(mod, plain, scenario, calls=3):
    """The scenario in both worlds: they must agree, and each failure of
    this module's must carry one entry of its own."""
    native, native_log = after_change(mod, scenario, calls)
    model, model_log = after_change(plain, scenario, calls)

    def without_lines(outcome):
        return outcome[:2] if isinstance(outcome, tuple) else outcome
    assert list(map(without_lines, native)) == list(map(without_lines, model))
    assert native_log == model_log
    for outcome in native:
        assert not isinstance(outcome, tuple) or len(outcome[2]) == 1
    return native, native_log


# ---- Changes between two calls --------------------------------------------

def own_table(mod, log):
    class Service(mod.Singleton):
        _instances = {}
    return Service


def entry_replaced(mod, log):
    cls = own_table(mod, log)
    return cls, lambda: cls._instances.__setitem__(cls, object.__new__(cls))


def entry_deleted(mod, log):
    cls = own_table(mod, log)
    return cls, lambda: cls._instances.pop(cls)


def shared_table_cleared(mod, log):
    # The module's own shared table, restored afterwards by the fixture.
    class Service(mod.Singleton):
        pass
    return Service, mod.Singleton._instances.clear


def table_rebound(mod, log):
    cls = own_table(mod, log)

    def change():
        cls._instances = {cls: "rebound"}
    return cls, change


def base_table_rebound(mod, log):
    class Base(mod.Singleton):
        _instances = {}

    class Service(Base):
        pass

    def change():
        Base._instances = {Service: "base rebound"}
    return Service, change


def bases_changed(mod, log):
    class First(mod.Singleton):
        _instances = {}

    class Second(mod.Singleton):
        _instances = {}

    class Service(First):
        pass
    Second._instances[Service] = "second's"

    def change():
        Service.__bases__ = (Second,)
    return Service, change


def colliding_key_added(mod, log):
    cls = roomy_service(mod)

    def change():
        # The key goes in the slot the class's probe meets first.
        entry = cls._instances.pop(cls)
        cls._instances[colliding_key(cls, log)] = "key"
        cls._instances[cls] = entry
    return cls, change


def key_class_gains_eq(mod, log):
    # The key went in under the class's hash, by a __hash__ its class has
    # since lost: an __eq__ the class gains later runs at every lookup of
    # the class, though the table never changed.
    cls = roomy_service(mod)

    class Key(object):
        def __hash__(self):
            return hash(cls)
    cls._instances[Key()] = "key"
    del Key.__hash__

    def change():
        def eq(self, other):
            log.append("eq")
            return False
        Key.__eq__ = eq
    return cls, change


def module_key_gains_eq(mod, log):
    # A module may move between ModuleType and its subclasses: stored
    # under the class's hash by one, a plain module when the entry was
    # made, it gains an __eq__ by its class, the table unchanged.
    cls = roomy_service(mod)

    class Hashing(types.ModuleType):
        def __hash__(self):
            return hash(cls)

    class Logging(Hashing):
        def __eq__(self, other):
            log.append("eq")
            return False
    key = types.ModuleType("key")
    key.__class__ = Hashing
    cls._instances[key] = "key"
    key.__class__ = types.ModuleType

    def change():
        key.__class__ = Logging
    return cls, change


def key_then_first_store(mod, log):
    # A colliding key comes into a table the module has looked through,
    # and another class's first store into it follows.
    cls = roomy_service(mod)

    class Other(cls):
        pass

    def change():
        entry = cls._instances.pop(cls)
        cls._instances[colliding_key(cls, log)] = "key"
        cls._instances[cls] = entry
        Other()
    return cls, change


class Meta(type):
    pass


def metaclass_gains_instances(mod, log):
    class Local(Meta):
        pass

    class Service(mod.Singleton, metaclass=Local):
        _instances = {}

    def change():
        def table(cls):
            log.append("property")
            return {cls: "from the metaclass"}
        Local._instances = property(table)
    return Service, change


def metaclass_gains_getattribute(mod, log):
    class Local(Meta):
        pass

    class Service(mod.Singleton, metaclass=Local):
        _instances = {}

    def change():
        def getattribute(cls, name):
            if name == "_instances":
                log.append("fetch")
            return type.__getattribute__(cls, name)
        Local.__getattribute__ = getattribute
    return Service, change


def metaclass_replaced(mod, log):
    class Before(Meta):
        pass

    class After(Meta):
        @property
        def _instances(cls):
            log.append("property")
            return {cls: "after"}

    class Service(mod.Singleton, metaclass=Before):
        _instances = {}

    def change():
        Service.__class__ = After
    return Service, change


def changed_in_another_thread(mod, log):
    cls = own_table(mod, log)

    def change():
        thread = threading.Thread(target=cls._instances.clear)
        thread.start()
        thread.join()
    return cls, change


@pytest.fixture
def shared_table(mod, plain):
    saved = [dict(m.Singleton._instances) for m in (mod, plain)]
    yield
    for m, table in zip((mod, plain), saved):
        m.Singleton._instances.update(table)


@pytest.mark.parametrize("scenario", [
    entry_replaced, entry_deleted, shared_table_cleared, table_rebound,
    base_table_rebound, bases_changed,
    pytest.param(colliding_key_added, marks=needs_cpython_dict),
    pytest.param(key_class_gains_eq, marks=needs_cpython_dict),
    pytest.param(module_key_gains_eq, marks=needs_cpython_dict),
    metaclass_gains_instances, metaclass_gains_getattribute,
    metaclass_replaced, changed_in_another_thread,
], ids=lambda scenario: getattr(scenario, "__name__", None))
def test_next_call_sees_the_change(mod, plain, scenario, shared_table):
    agree(mod, plain, scenario)


@needs_cpython_dict
def test_key_before_a_first_store_compares_at_every_call(mod, plain):
    _, log = agree(mod, plain, key_then_first_store, calls=4)
    assert log.count("eq") == 1 + 2 + 2   # the class put back compares too


@needs_cpython_dict
def test_colliding_key_compares_at_every_call(mod, plain):
    # Present from the start: no call may skip the lookups it runs in.
    def scenario(m, log):
        Service = roomy_service(m)
        Service._instances[colliding_key(Service, log)] = "key"
        return Service, lambda: None
    _, log = agree(mod, plain, scenario)
    assert log.count("eq") == 3 + 2 + 2   # the first call stores too


# ---- The table as each call finds it ---------------------------------------

def freed_slot(filler):
    # A table holding `filler` ints (an index of 1-, 2-, 4-byte slots).  A
    # key of the class's hash goes in, the class behind it; the key goes,
    # and its freed slot takes a colliding key (armed once in: how often
    # going in compares it is the hashes' affair).
    def scenario(mod, log):
        def make():
            class Service(mod.Singleton):
                _instances = dict.fromkeys(range(filler))
            return Service, Service._instances
        cls = class_meeting_collision_once(make)
        first = colliding_key(cls, None)
        cls._instances[first] = "first"
        cls()
        del cls._instances[first]

        def change():
            key = colliding_key(cls, None)
            cls._instances[key] = "key"
            key.log = log
        return cls, change
    return scenario


def rebuilt(contents):
    # The table cleared and updated; a small table again, so the class is
    # one that meets a colliding key once in a small one.
    def scenario(mod, log):
        def make():
            class Service(mod.Singleton):
                _instances = {}
            return Service, {}
        cls = class_meeting_collision_once(make)
        table = cls._instances

        def change():
            saved = list(table.items())
            key = colliding_key(cls, None)
            # Keys of str only, one in the class's first slot, with the
            # class as its value.
            name = next(name for name in map(str, range(1000))
                        if hash(name) % 8 == hash(cls) % 8)
            table.clear()
            table.update({"the same items": saved,
                          "str keys, the class a value": [(name, cls)],
                          "a colliding key first": [(key, "k")] + saved,
                          }[contents])
            key.log = log
        return cls, change
    return scenario


without_freed_slots = pytest.mark.skipif(
    FREE_THREADED, reason="dicts without the GIL put a new key into an "
    "empty slot, never a freed one")


@needs_cpython_dict
@pytest.mark.parametrize("scenario, compares", [
    pytest.param(freed_slot(0), 2, marks=without_freed_slots, id="1-byte"),
    pytest.param(freed_slot(1000), 2, marks=without_freed_slots, id="2"),
    pytest.param(freed_slot(70000), 2, marks=without_freed_slots, id="4"),
    pytest.param(rebuilt("the same items"), 0, id="rebuilt"),
    pytest.param(rebuilt("str keys, the class a value"), 0, id="names"),
    pytest.param(rebuilt("a colliding key first"), 2, id="colliding"),
])
def test_table_histories(mod, plain, scenario, compares):
    _, log = agree(mod, plain, scenario)
    assert log.count("eq") == compares


def test_a_mirror_of_the_dict_layout_that_does_not_hold(probe):
    # The check at import takes the runtime's own layout and turns down
    # one wrong in a single fact; with one turned down the cache is off.
    class Service(object):
        _instances = {}
    instance = Service._instances[Service] = object()
    holds, answer = probe.mirror("nothing", Service)
    assert holds is not PYPY
    assert answer is (None if PYPY or FREE_THREADED else instance)
    # Up to 3.10 every kind of keys is laid out alike, and a table that
    # held a class never turns split.
    wrong = ["index", "width", "shift", "hash"]
    wrong += ["kind"] if sys.version_info >= (3, 11) else []
    assert [name for name in wrong if not PYPY and
            probe.mirror(name, Service) != (False, None)] == []


# ---- Classes that come and go ---------------------------------------------

@needs_refcounts
def test_class_made_where_a_freed_one_was(mod):
    # A class freed while its entry is kept, and a new one made at its
    # address: the new class must get an instance of its own.
    freed = set()
    for attempt in range(500):
        cls = type("Service", (mod.Singleton,), {"_instances": {}})
        first = cls()
        assert type(first) is cls and cls() is first
        if id(cls) in freed:
            break
        freed.add(id(cls))
        del cls, first
        gc.collect()
    else:
        pytest.skip("no class was made at a freed one's address")


def test_many_classes_called_in_turn(mod, plain):
    for m in (mod, plain):
        classes = [type("Service%d" % i, (m.Singleton,), {})
                   for i in range(100)]
        try:
            instances = [cls() for cls in classes]
            for _ in range(3):
                assert [cls() for cls in classes] == instances
            # One entry replaced in the middle of the round.
            replacement = object.__new__(classes[50])
            m.Singleton._instances[classes[50]] = replacement
            instances[50] = replacement
            assert [cls() for cls in classes] == instances
        finally:
            for cls in classes:
                m.Singleton._instances.pop(cls, None)


# ---- Numbers the runtime hands out again -----------------------------------

# Each world runs in a child of its own: an answer from a stale entry
# would hand out a freed object.
WORLD = """
import gc, sys, _testcapi
sys.path[:0] = [%r, %r]
import importlib
sd = importlib.import_module("Windows_QUMA.System.systemDefine")
world = importlib.import_module(%r)
from conftest import colliding_key, roomy_service, type_tag
results = []
"""


def in_both_worlds(code):
    """What `code`, run after WORLD, put in `results` in either world:
    they must agree.  None where a legacy sub-interpreter refused the
    module (builds without the GIL)."""
    outcomes = []
    for world in (MODULE, "systemDefine_plain"):
        proc = run_python(WORLD % (os.path.join(ROOT, "tests"),
                                   os.path.join(ROOT, "bench"), world) +
                          textwrap.dedent(code) + "\nprint(results)")
        assert proc.returncode == 0, proc.stderr
        outcomes.append(proc.stdout.strip())
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


@needs_pythonapi
@needs_testcapi
@pytest.mark.parametrize("restart", [
    "sys._clear_type_cache()",
    # On 3.10 the end of a sub-interpreter restarts the tags too.
    "_testcapi.run_in_subinterp('pass')",
])
def test_tags_handed_out_again(restart):
    # Once the runtime restarts its tags, a class changed often enough is
    # given back the tag an entry kept, while its table is another.
    outcome = in_both_worlds(r"""
        class Table(dict):
            pass

        class Service(world.Singleton):
            _instances = {}
        Service()
        Service()
        kept = type_tag(Service)
        Service._instances = Table({Service: "rebound"})
        gc.collect()   # the first table and its instance are gone
        %s
        # Given its tag back by lookups alone, then called.
        for i in range(10**6 if kept is not None else 0):
            Service.dummy = i
            Service._instances
            if type_tag(Service) >= kept:
                break
        results.append(Service())
        seen = set()
        for i in range(3000):
            Service.dummy = i
            seen.add(Service())
        results.append(sorted(seen))
        """ % restart)
    assert outcome == "['rebound', ['rebound']]"


@needs_pythonapi
@pytest.mark.skipif(sys.version_info >= (3, 11) or sys.maxsize < 2**32,
                    reason="tags restart up to 3.10 (read on 64-bit builds)")
def test_tags_handed_out_again_inside_a_call(mod, plain):
    # A key compared while the call searches the table restarts the tags,
    # rebinds the table and has the class changed until the runtime gives
    # it back the tag it had: the call's next fetch is the new table.
    def outcome(m):
        cls = roomy_service(m)

        class Nested(m.Singleton):
            pass

        class Restarting(object):
            armed = False

            def __hash__(self):
                return hash(cls)

            def __eq__(self, other):
                if not Restarting.armed:
                    return False
                Restarting.armed = False
                target = type_tag(cls)
                sys._clear_type_cache()
                cls._instances = {cls: "rebound"}
                Nested()   # a call of the module's own in between
                for i in range(10**6):
                    cls.dummy = i
                    cls._instances
                    if type_tag(cls) == target:
                        return False
                pytest.skip("the class never got its tag back")
        cls()
        entry = cls._instances.pop(cls)
        cls._instances[Restarting()] = "key"
        cls._instances[cls] = entry
        Restarting.armed = True
        cls._instances   # the class has its tag before the call
        return cls()
    assert outcome(mod) == outcome(plain) == "rebound"


@needs_pythonapi
@needs_testcapi
def test_changes_the_runtime_forgets_its_own_answers_for():
    # The runtime's attribute cache also answers stale values for a while
    # here, until other lookups (and, from 3.12, calls of other classes
    # that undo the plain __new__'s specialisation) have it forget them.
    outcome = in_both_worlds(r"""
        others = [type("X%d" % i, (), {}) for i in range(10000)]

        class D(world.Singleton):
            pass

        def forget():
            for other in others:
                getattr(other, "_instances", None)
            if sys.version_info >= (3, 11):
                sys._clear_type_cache()
            for _ in range(2000):
                D()

        # A metaclass whose mro() puts a class that is no base there: a
        # change of that class leaves the class's tag as it was.
        class Holder(object):
            _instances = {}

        class Meta(type):
            def mro(cls):
                return [cls, Holder] + type.mro(cls)[1:]

        class C(world.Singleton, metaclass=Meta):
            pass
        first = C()
        C()
        kept = Holder._instances   # alive: an answer from it is a wrong one
        Holder._instances = {C: "rebound"}
        forget()
        results.append(C())

        # Finalisers run while the table is replaced, before the class
        # is marked changed (up to 3.12): the class's own instance's, and
        # another value's, after the instance is gone.
        class Dying(world.Singleton):
            _instances = {}

            def __del__(self):
                forget()
                results.append(Dying() is self)

        class Later(object):
            def __del__(self):
                forget()
                results.append(type(Dying()).__name__)
        Dying()
        Dying()
        Dying._instances = {}
        Dying()
        Dying._instances["later"] = Later()
        Dying._instances = {}
        """)
    assert outcome == "['rebound', False, False, 'Dying']"


# A cached call against the steps in one interpreter: a table of a dict
# subclass is never answered from an entry.  Each scenario yields what
# its calls give; then the runtime's attribute cache, which such changes
# can leave stale, forgets its answers, and the class is called twice
# more.  In a child, since an answer from a freed table may crash it.
MRO_CHANGES = r"""
import sys
from %s import Singleton

others = [type("Other%%d" %% i, (), {}) for i in range(10000)]

def forget():
    for other in others:
        getattr(other, "_instances", None)
    if sys.version_info >= (3, 11):
        sys._clear_type_cache()

class Steps(dict):
    pass

def no_base(table, keep):
    # X, no base of A, in A's MRO: put there by a mro() that is gone by
    # the time the runtime asks whether A's metaclass has one of its own.
    class X(object):
        _instances = table()
    class Meta(type):
        def mro(cls):
            del Meta.mro
            return [cls, X] + type.mro(cls)[1:]
    class A(Singleton, metaclass=Meta):
        pass
    yield A()
    yield A()
    keep.append(X._instances)
    X._instances = table({A: "rebound"})

def bases_undone(table, keep):
    # A's new bases stand while C's mro() calls A, then fails: the
    # runtime puts A's old MRO back.
    class First(Singleton):
        _instances = table()
    class Second(Singleton):
        _instances = table()
    class A(First):
        pass
    armed = []
    class Failing(type):
        def mro(cls):
            if armed:
                A()
                raise RuntimeError("mro")
            return type.mro(cls)
    class C(A, metaclass=Failing):
        pass
    Second._instances[A] = "second's"
    yield A()
    yield A()
    armed.append(True)
    try:
        A.__bases__ = (Second,)
    except RuntimeError:
        pass
    keep.append(Second._instances)
    Second._instances = table()

def base_loses_its_tag_alone(table, keep):
    # A, whose metaclass gained an mro() of its own, loses its tag alone
    # when its bases are assigned; D's mro() then fails, D keeps its tag,
    # and a later change of Base stops at A.
    armed = []
    class Meta(type):
        pass
    class Base(Singleton):
        _instances = table()
    class A(Base, metaclass=Meta):
        pass
    class D(A):
        pass
    def mro(cls):
        if armed and cls is D:
            raise RuntimeError("mro")
        return [c for c in type.mro(cls) if c is not Extra]
    class Extra(object):
        pass
    Meta.mro = mro
    yield D()
    yield D()
    armed.append(True)
    try:
        A.__bases__ = (Base, Extra)
    except RuntimeError:
        pass
    keep.append(Base._instances)
    Base._instances = table({D: "rebound"})

def tag_under_new_bases(table, keep, meta=False):
    # A (or, with `meta`, A's metaclass) is given a tag while it has its
    # new bases, and keeps it when the old ones, which have none, are
    # put back.
    armed = []
    class P(type if meta else Singleton):
        pass
    class Q(type if meta else Singleton):
        pass
    class M(type):
        def mro(cls):
            if armed:
                del armed[:]
                getattr(A, "anything", None)
                raise RuntimeError("mro")
            return type.mro(cls)
    class A(P):
        pass
    class D(A, metaclass=M):
        pass
    if meta:
        class Service(Singleton, metaclass=A):
            _instances = table()
    else:
        P._instances, Q._instances, Service = table(), table({A: "q's"}), A
    yield Service()
    P.anything = 1
    armed.append(True)
    try:
        A.__bases__ = (Q,)
    except RuntimeError:
        pass
    forget()
    yield Service()
    yield Service()
    if meta:
        P._instances = property(lambda cls: table({cls: "from P"}))
    else:
        keep.append(A._instances)   # (through P, a lookup would tag it)
        P._instances = table({A: "rebound"})

def key_that_runs_code(table, keep):
    # A key of a class's dict that a lookup of `_instances` compares,
    # and that rebinds the metaclass's bases when it does.
    armed = []
    class Key(str):
        def __hash__(self):
            return hash("_instances")
        def __eq__(self, other):
            if armed:
                del armed[:]
                Meta.__bases__ = (type,)
            return False
    class MP(type):
        pass
    class Meta(MP):
        pass
    class Base(Singleton, metaclass=Meta):
        _instances = table()
    D = Meta("D", (Base,), {Key("k"): None})
    yield D()
    armed.append(True)
    yield D()

def holder_changed_during_the_test(table, keep):
    # A colliding key's __eq__, met by the test, rebinds the table of X,
    # which A's MRO holds though X is no base of A: A keeps its tag.
    class X(object):
        _instances = table()
    class Meta(type):
        def mro(cls):
            return [cls, X] + type.mro(cls)[1:]
    class A(Singleton, metaclass=Meta):
        pass
    yield A()
    class Key(object):
        live = False
        def __hash__(self):
            return hash(A)
        def __eq__(self, other):
            if Key.live:
                Key.live = False
                X._instances = table({A: "rebound"})
                forget()
            return False
    found = vars(X)["_instances"]
    instance = found.pop(A)
    found[Key()] = "key"   # where A was, and A behind it
    found[A] = instance
    forget()
    Key.live = True
    yield A()

def metaclass_tag_under_new_bases(table, keep):
    return tag_under_new_bases(table, keep, meta=True)

def label(found, labels):
    if isinstance(found, str):
        return found
    return labels.setdefault(id(found), ("object %%d" %% len(labels), found))[0]

def calls(scenario, table, free):
    keep, labels, seen = [], {}, []
    for found in scenario(table, keep):
        cls = type(found) if not isinstance(found, str) else cls
        seen.append(label(found, labels))
    if free:
        forget()
        del keep[:]   # a table an entry may still name is freed
        junk = [{cls: "junk"} for _ in range(1000)]
    forget()
    seen += [label(cls(), labels) for _ in range(2)]
    return seen

for scenario in (no_base, bases_undone, base_loses_its_tag_alone,
                 tag_under_new_bases, metaclass_tag_under_new_bases,
                 key_that_runs_code, holder_changed_during_the_test):
    for free in (False, True):
        print(scenario.__name__, free,
              calls(scenario, dict, free) == calls(scenario, Steps, free))
"""


SCENARIOS = ["no_base", "bases_undone", "base_loses_its_tag_alone",
             "tag_under_new_bases", "metaclass_tag_under_new_bases",
             "key_that_runs_code", "holder_changed_during_the_test"]


@needs_pythonapi
def test_mro_changes_the_tag_does_not_follow():
    proc = run_python(MRO_CHANGES % MODULE)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [
        word for scenario in SCENARIOS for free in ("False", "True")
        for word in (scenario, free, "True")]


# Restarts of the tags the cache must not miss (up to 3.10): one before
# its first call, which a class's tag survives below a base without one,
# and one after which code looks the module's witness up (it is among
# `object`'s subclasses), which must not hide it.  A new start of the
# counter then gives the class its old tag again after changes.
RESTART = r"""
import sys
from %s import Singleton
clear_type_cache = getattr(sys, "_clear_type_cache", lambda: None)  # PyPy

class Table(dict):   # never answered from an entry
    pass

class P(Singleton):
    _instances = {}
class A(P):
    pass
if sys.argv[1] == "before":
    armed = []
    class Q(Singleton):
        _instances = {}
    class Meta(type):
        def mro(cls):
            if armed:
                del armed[:]
                getattr(A, "_instances")   # A tagged under its new bases
                raise RuntimeError("mro")
            return type.mro(cls)
    class D(A, metaclass=Meta):
        pass
    P.anything = 1
    armed.append(True)
    try:
        A.__bases__ = (Q,)
    except RuntimeError:
        pass
    clear_type_cache()
    getattr(P, "_instances")
first = A()
A()
if sys.argv[1] == "after":
    clear_type_cache()
    witness = [cls for cls in object.__subclasses__()
               if cls.__name__ == "cache_witness"]
    [hasattr(cls, "anything") for cls in witness]
A._instances = Table({A: "rebound"})
for i in range(20000):
    A.dummy = i
    getattr(A, "_instances")
    if A() is first:
        break
print(A())
"""


@pytest.mark.parametrize("when", ["before", "after"])
def test_restart_of_the_tags_is_never_missed(when):
    proc = subprocess.run([sys.executable, "-c", RESTART % MODULE, when],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["rebound"]


SUBINTERPRETER = r"""
    import functools
    carrier = sd.__test__   # one dict, shared with every sub-interpreter
    carrier.update(Singleton=world.Singleton, out=[], log=[],
                   plain=getattr(world, "__file__", None)
                   if world is not sd else None)

    def in_sub(code):
        # A legacy sub-interpreter: it shares this one's objects, and
        # finds them through the module's own dict.  It runs no function
        # of this one's written in Python: it calls a class through
        # `call`, and the plain module's __new__ there is its own copy.
        status = _testcapi.run_in_subinterp(
            "import sys, Windows_QUMA.System.systemDefine as sd\n"
            "globals().update(sd.__test__)\n"
            "if plain is None:\n"
            "    call = lambda cls: cls()\n"
            "else:\n"
            "    names = {}\n"
            "    exec(compile(open(plain).read(), plain, 'exec'), names)\n"
            "    new = type(lambda: None)(\n"
            "        names['Singleton'].__new__.__code__,\n"
            "        {'Singleton': Singleton, '__builtins__': __builtins__},\n"
            "        None, None, (lambda c: (lambda: c).__closure__)(Singleton))\n"
            "    call = lambda cls: new(cls)\n" + code)
        if status != 0:
            print(None)
            sys.exit(0)

    class Key(int):
        # Hashed and compared by built-ins alone; its __eq__ is set later.
        __hash__ = int.__hash__

    def key_ahead(cls):
        # There, a key of the class's hash where the class's lookup meets
        # it first.
        carrier.update(cls=cls, key=Key(hash(cls)))
        assert hash(carrier["key"]) == hash(cls)
        in_sub("table = cls._instances\n"
               "entry = table.pop(cls)\n"
               "table[key] = 'key'\n"
               "table[cls] = entry")
"""


@pytest.mark.skipif(PYPY, reason="PyPy has no sub-interpreters")
@needs_testcapi
def test_subinterpreters_see_each_others_changes():
    outcome = in_both_worlds(textwrap.dedent(SUBINTERPRETER) + textwrap.dedent(r"""
        # What one makes of the table or the class, the main one sees.
        class Service(world.Singleton):
            pass
        first = Service()
        Service()
        carrier["Service"] = Service
        in_sub("Singleton._instances.pop(Service)")
        results.append(Service() is first)
        in_sub("Service._instances = {Service: 'rebound'}")
        results.append(Service())
        in_sub("table = Service._instances\n"
               "table.clear()\n"
               "table.update([('name', Service), (Service, 'updated')])")
        results.append(Service())

        # A key put ahead of the class there; the main one compares it.
        log = carrier["log"]
        Roomy = roomy_service(world)
        Roomy()
        Roomy()
        key_ahead(Roomy)
        Key.__eq__ = staticmethod(log.append)
        Roomy()
        Roomy()
        results.append(len(log))
        del Key.__eq__

        # Such a key rebinds the table that the main one is searching.
        Rebound = roomy_service(world)
        Rebound()
        Rebound()
        key_ahead(Rebound)
        Key.__eq__ = staticmethod(
            functools.partial(setattr, Rebound, "_instances"))
        try:
            results.append(Rebound())
        except TypeError:
            results.append("TypeError")
        del Key.__eq__

        # Two fresh sub-interpreters running the same code draw the same
        # tags: each rebinds the table of a class and calls it.  A class
        # given its tag in a sub-interpreter may share it with another of
        # this one, whose attribute cache then answers for both (from
        # 3.12): each class is looked up here first.
        for name in ("Fresh", "Rebinding"):
            cls = type(name, (world.Singleton,), {"_instances": {}})
            cls._instances
            carrier[name] = cls
        for _ in range(2):
            in_sub("marker = Fresh._instances[Fresh] = object()\n"
                   "out.append(call(Fresh) is marker and "
                   "call(Fresh) is marker)")
        for _ in range(2):
            in_sub("marker = object()\n"
                   "Rebinding._instances = {Rebinding: marker}\n"
                   "out.append(call(Rebinding) is marker and "
                   "call(Rebinding) is marker)")
        results.append(list(carrier["out"]))

        # First called in a sub-interpreter that is gone by now.
        class Early(world.Singleton):
            pass
        Early._instances
        world.Singleton._instances[Early] = "made here"
        carrier["Early"] = Early
        in_sub("call(Early)\ncall(Early)")
        Early()
        world.Singleton._instances[Early] = "replaced"
        results.append(Early())
        """))
    if outcome == "None":
        pytest.skip("legacy sub-interpreters refuse a single-phase module "
                    "without the GIL")
    assert outcome == "[False, 'rebound', 'updated', 4, 'TypeError', " \
        "[True, True, True, True], 'replaced']"
