"""Calls that find their instance are answered without the steps where
no Python code could tell the difference.  Whatever changes between two
calls, the next call must see it as the plain-Python module does: the
same result, the same exception and the same hook calls."""
import gc
import threading

import pytest

from conftest import (colliding_key, module_entries, needs_cpython_dict,
                      needs_refcounts, roomy_service)


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


def agree(mod, plain, scenario):
    """The scenario in both worlds: they must agree, and each failure of
    this module's must carry one entry of its own."""
    native, native_log = after_change(mod, scenario)
    model, model_log = after_change(plain, scenario)

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
    metaclass_gains_instances, metaclass_gains_getattribute,
    metaclass_replaced, changed_in_another_thread,
], ids=lambda scenario: getattr(scenario, "__name__", None))
def test_next_call_sees_the_change(mod, plain, scenario, shared_table):
    agree(mod, plain, scenario)


@needs_cpython_dict
def test_colliding_key_compares_at_every_call(mod, plain):
    # Present from the start: no call may skip the lookups it runs in.
    def scenario(m, log):
        Service = roomy_service(m)
        Service._instances[colliding_key(Service, log)] = "key"
        return Service, lambda: None
    _, log = agree(mod, plain, scenario)
    assert log.count("eq") == 3 + 2 + 2   # the first call stores too


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
