"""Reference-leak hunt: run under a debug build of CPython.

Every behaviour of drivers.py runs in rounds after a warm-up; a behaviour
leaks when the total reference count or the number of allocated memory
blocks grows in every one of the last rounds (the runtime's own
`regrtest -R` rule).  Prints one line per behaviour and a summary line.
"""
import gc
import sys

import drivers  # noqa: E402

WARMUP = 10
ROUNDS = 4
PER_ROUND = 50


def measure():
    gc.collect()
    sys._clear_type_cache()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def nothing():
    pass


def deltas(behaviour):
    for _ in range(WARMUP):
        behaviour()
    result = []
    before = measure()
    for _ in range(ROUNDS):
        for _ in range(PER_ROUND):
            behaviour()
        after = measure()
        result.append((after[0] - before[0], after[1] - before[1]))
        before = after
    return result


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leaks.py needs a debug build of CPython")
    leaks = 0
    noise = deltas(nothing)
    behaviours = drivers.IMPORT + drivers.NEW + drivers.FUNCTION
    for behaviour in behaviours:
        if behaviour is drivers.NEW[0]:
            drivers.load()
        found = [(d[0] - n[0], d[1] - n[1])
                 for d, n in zip(deltas(behaviour), noise)]
        growing = [all(d[i] > 0 for d in found[1:]) for i in (0, 1)]
        leaked = any(growing)
        leaks += leaked
        print("%-40s refs %-24s blocks %-24s %s" % (
            behaviour.__name__, [d[0] for d in found], [d[1] for d in found],
            "LEAK" if leaked else "ok"))
    print("leaks: %d behaviours checked, %d leaks found"
          % (len(behaviours), leaks))
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
