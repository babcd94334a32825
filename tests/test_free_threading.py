"""Without the GIL: many threads in the module at once, for real.

Runs on a free-threaded build with the GIL off (and skips elsewhere):
first and cached instantiations racing, failures at every step, every
attribute of Singleton.__new__ read, replaced and deleted meanwhile,
tables replaced under running calls.  Nothing may crash, every call must
return the one instance its class's table holds, and every traceback
entry must name its own step.
"""
import sys
import threading

import pytest

from conftest import FREE_THREADED, module_entries

pytestmark = pytest.mark.skipif(
    not FREE_THREADED or sys._is_gil_enabled(),
    reason="needs a free-threaded build running without the GIL")

THREADS = 8
ROUNDS = 60


def in_threads(work, count=THREADS):
    """Run work(index, barrier) in `count` threads started together; the
    exceptions they leak."""
    barrier = threading.Barrier(count)
    errors = []

    def run(index):
        try:
            work(index, barrier)
        except BaseException as exc:
            errors.append(exc)
    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "hung"
    return errors


def test_first_calls_race_to_one_instance(mod):
    classes = [type("Service%d" % i, (mod.Singleton,), {})
               for i in range(ROUNDS)]
    seen = [[] for _ in classes]

    def work(index, barrier):
        for number, cls in enumerate(classes):
            barrier.wait()
            seen[number].append(cls())
    assert in_threads(work) == []
    table = mod.Singleton._instances
    for cls, instances in zip(classes, seen):
        assert len(instances) == THREADS
        assert all(instance is table[cls] for instance in instances)
        assert type(table[cls]) is cls


def failing_classes(mod):
    fetches = threading.local()

    class Meta(type):
        @property
        def _instances(cls):
            # The entry is gone by the final read (each thread counts its
            # own fetches).
            fetches.count = getattr(fetches, "count", 0) + 1
            return {cls: None} if fetches.count % 2 else {}

    class Vanishing(mod.Singleton, metaclass=Meta):
        pass

    class Fresh(mod.Singleton):
        pass
    new = mod.Singleton.__new__
    return [(TypeError, 5, lambda: new()),
            (AttributeError, 6, lambda: new(5)),
            (TypeError, 7, lambda: Fresh(1)),
            (KeyError, 8, lambda: new(Vanishing))]


def test_failures_at_every_step_keep_their_lines(mod):
    cases = failing_classes(mod)

    def work(index, barrier):
        barrier.wait()
        for round_ in range(ROUNDS):
            exc_type, line, call = cases[(index + round_) % len(cases)]
            try:
                call()
            except exc_type as exc:
                lines = [e[1] for e in module_entries(exc.__traceback__)]
                assert lines == [line], (exc_type, lines)
            else:
                raise AssertionError("no failure at line %d" % line)
    assert in_threads(work) == []


def test_attributes_change_under_calls(mod):
    fn = mod.Singleton.__new__
    saved = {name: getattr(fn, name) for name in (
        "__name__", "__qualname__", "__doc__", "__dict__", "__defaults__",
        "__kwdefaults__", "__annotations__", "__module__")}

    class Service(mod.Singleton):
        pass
    instance = Service()
    stop = threading.Event()

    def churn(index):
        name = "extra%d" % index
        while not stop.is_set():
            fn.__doc__ = "busy %d" % index
            fn.__name__ = "n%d" % index
            fn.__qualname__ = "q%d" % index
            fn.__defaults__ = (index,)
            fn.__kwdefaults__ = {"k": index}
            fn.__annotations__ = {"a": index}
            fn.__dict__ = {"d": index}
            setattr(fn, name, index)
            fn.__name__, fn.__qualname__, fn.__doc__, fn.__dict__
            fn.__annotations__, fn.__defaults__, fn.__globals__, fn.__code__
            repr(fn)
            try:
                delattr(fn, name)
            except AttributeError:
                pass   # another thread's __dict__ replaced ours
            del fn.__doc__, fn.__annotations__, fn.__defaults__
            del fn.__kwdefaults__

    def work(index, barrier):
        barrier.wait()
        if index < 3:
            churn(index)
            return
        try:
            for _ in range(ROUNDS * 20):
                assert Service() is instance
                try:
                    fn()
                except TypeError:
                    pass
        finally:
            stop.set()
    try:
        assert in_threads(work) == []
    finally:
        for name, value in saved.items():
            setattr(fn, name, value)
        fn.__dict__.clear()


def test_tables_replaced_under_calls(mod):
    class Service(mod.Singleton):
        _instances = {}
    stop = threading.Event()

    def work(index, barrier):
        barrier.wait()
        if index == 0:
            for _ in range(ROUNDS * 20):
                Service._instances = {}
            stop.set()
            return
        while not stop.is_set():
            try:
                instance = Service()
            except KeyError as exc:
                # The table was replaced between the store and the final
                # read: the entry has gone, as the steps say.
                lines = [e[1] for e in module_entries(exc.__traceback__)]
                assert lines == [8], lines
            else:
                assert type(instance) is Service
    assert in_threads(work) == []
    assert Service() is Service._instances[Service]
