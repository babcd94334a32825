"""Many threads at once: no crash, no deadlock, one entry per class."""
import sys
import threading
import time


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
        assert all(type(instance) is cls for cls, instance in seen)
    assert fn.__doc__ is None
    assert not {"extra0", "extra1"} & set(fn.__dict__)
