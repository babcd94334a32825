"""Many threads at once: no crash, no deadlock, one instance per class."""
import sys
import threading
import time


def test_racing_first_calls_get_one_instance(mod, plain):
    # The parent's __new__ lets every other thread in before it returns,
    # so all of them are past the membership test when the first stores.
    for module in (mod, plain):
        class Slow(object):
            def __new__(cls):
                time.sleep(0.01)
                return object.__new__(cls)

        class Service(module.Singleton, Slow):
            pass
        barrier = threading.Barrier(8)
        got = []

        def first_call():
            barrier.wait()
            got.append(Service())
        threads = [threading.Thread(target=first_call) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        assert len(got) == 8
        assert all(instance is Service._instances[Service]
                   for instance in got), module


def test_concurrent_instantiation_and_attribute_traffic(mod):
    S = mod.Singleton
    fn = S.__new__

    class Yielding(object):
        # Lets other threads run between the membership test and the store.
        def __new__(cls, *args):
            time.sleep(0)
            return object.__new__(cls)

    classes = [type("Service%d" % i, (S, Yielding), {}) for i in range(40)]
    shared = type("Shared", (S, Yielding), {})
    errors = []
    results = []
    stop = threading.Event()

    def instantiate(offset):
        try:
            seen = []
            for i in range(len(classes)):
                cls = classes[(i + offset) % len(classes)]
                seen.append((cls, cls()))
                seen.append((shared, shared()))
            results.append(seen)
        except BaseException as exc:
            errors.append(exc)

    def churn(name):
        try:
            while not stop.is_set():
                fn.__doc__ = "busy"
                setattr(fn, name, object())
                fn.__annotations__ = {"x": int}
                delattr(fn, name)
                del fn.__doc__, fn.__annotations__
                fn.__name__, fn.__qualname__, fn.__dict__
        except BaseException as exc:
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=instantiate, args=(i * 5,))
                   for i in range(8)]
        churners = [threading.Thread(target=churn, args=("extra%d" % i,))
                    for i in range(2)]
        for thread in workers + churners:
            thread.start()
        for thread in workers:
            thread.join(60)
        stop.set()
        for thread in churners:
            thread.join(60)
        assert not any(t.is_alive() for t in workers + churners), "hung"
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert len(results) == 8
    table = S._instances
    for cls in classes + [shared]:
        assert type(table[cls]) is cls
        assert cls() is table[cls]
    for seen in results:
        assert all(instance is table[cls] for cls, instance in seen)
    assert fn.__doc__ is None
    assert not {"extra0", "extra1"} & set(fn.__dict__)
