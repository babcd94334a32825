"""Allocation failures: make each allocation in turn fail.

    python nomemory.py            # the import, then the calls of __new__

The import runs in a fresh interpreter per allocation point; __new__'s
paths run in this one.  A point survives when the interpreter does not
crash or hang, the failure surfaces as an exception (never as a wrong
result), nothing half-made is left behind (no registry entry after a
failed import, no table entry after a failed creation) and a retry with
memory back succeeds.  Prints one figure per path.

A crash is the runtime's own failure to survive the allocation failure
when the allocation that was made to fail (its stack under gdb) was not
made while this module ran (the runtime's bookkeeping after the module
returned), or was made inside a runtime function that this interpreter is
seen to report as successful after such a failure (3.13.0's dict
setdefault, which leaves the dict corrupt).  Such points are counted
apart and their allocation numbers printed.  Every run fixes
PYTHONHASHSEED, so a point is the same allocation in a run and in its
replay under gdb.
Run this on release builds: debug builds assert in their own frame
clean-up when an allocation fails there.
"""
import os
import shutil
import subprocess
import sys
import textwrap

import _testcapi

MODULE_NAME = "Windows_QUMA.System.systemDefine"
# Stop after this many injections in a row that did not make a run fail:
# by then the path has no allocations left to fail.
ENOUGH = 8
LIMIT = 5000

IMPORT_ONE = textwrap.dedent("""
    import _imp, _testcapi, importlib.util, sys
    module_spec = importlib.util.find_spec(%(name)r)
    _testcapi.set_nomemory(%(point)d, %(point)d + 1)
    try:
        module = _imp.create_dynamic(module_spec)
        failed = None
    except BaseException as exc:
        failed = exc
    finally:
        _testcapi.remove_mem_hooks()
    if failed is not None:
        # The runtime registers the module itself before its own last
        # steps, which may fail too; then the entry must be the whole one.
        left = sys.modules.get(%(name)r)
        assert left is None or "__test__" in vars(left), "half-made module"
        module = _imp.create_dynamic(module_spec)
    assert module.PAGE_INFO == "info" and module.DEVICE_MONITOR_INTERVAL == 3
    class Service(module.Singleton):
        pass
    assert Service() is Service()
    print("failed" if failed is not None else "ran")
""")


# PYTHONHASHSEED fixed for every run, and the address layout fixed as gdb
# fixes it for its replay (id-keyed tables grow by the addresses they
# hold): a point is then the same allocation in a run and in its replay.
SEEDED = dict(os.environ, PYTHONHASHSEED="0")
ADDR_NO_RANDOMIZE = 0x0040000


def fixed_layout():
    """In a child before it runs: no address space randomisation."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    libc.personality(ADDR_NO_RANDOMIZE)

SETDEFAULT_PROBE = textwrap.dedent("""
    import _testcapi
    table = dict.fromkeys(["k%d" % i for i in range(5)])
    _testcapi.set_nomemory(0, 1)   # the insertion must grow the table
    try:
        table.setdefault("x")
    except MemoryError:
        pass
    finally:
        _testcapi.remove_mem_hooks()
""")


def run_child(code):
    """Run `code` in a fresh interpreter; its output is captured."""
    return subprocess.run([sys.executable, "-c", code],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60, env=SEEDED,
                          preexec_fn=fixed_layout)


def setdefault_misreports():
    """Whether this runtime's dict setdefault reports success when its
    insertion could not allocate (the call then returns a result with
    the MemoryError still set, which the runtime turns into SystemError)."""
    return "returned a result with an exception set" in \
        run_child(SETDEFAULT_PROBE).stderr


def failed_allocation_stack(code, point):
    """The stack (gdb frames) of the allocation that `code` makes fail:
    the first call of _testcapi's failure hook past `point` calls."""
    if shutil.which("gdb") is None:
        return []
    proc = subprocess.run(
        ["gdb", "-q", "-batch", "-ex", "set breakpoint pending on",
         "-ex", "break fm_nomemory if FmData.count >= %d" % point,
         "-ex", "run", "-ex", "bt", "-ex", "kill",
         "--args", sys.executable, "-c", code],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300, env=SEEDED)
    return [line for line in proc.stdout.splitlines()
            if line.startswith("#")]


def in_module(frame):
    """Whether a gdb frame line lies in this module's code (its function
    or source file; the argument values are not looked at)."""
    function = frame.split(" (", 1)[0]
    where = frame.rsplit(" ", 1)[-1]   # "file:line" or the library
    return "sd::" in function or "systemDefine" in function or \
        "System/" in where or "systemDefine" in where


def runtime_fault(code, point, setdefault_corrupts):
    """Why a crash at `point` is the runtime's own, or None."""
    stack = failed_allocation_stack(code, point)
    if not stack:
        return None
    if not any(in_module(frame) for frame in stack):
        return "after the module returned"
    if setdefault_corrupts and any("PyDict_SetDefault" in frame
                                   for frame in stack):
        return "inside PyDict_SetDefault"
    return None


def sweep(attempt):
    """Call attempt(point) for point = 0, 1, ... until ENOUGH points in a
    row go as if nothing had failed.  attempt returns whether the point
    went as usual, and whether it survived (None: not counted)."""
    survived = points = quiet = 0
    for point in range(LIMIT):
        usual, ok = attempt(point)
        if usual and ok:
            quiet += 1
            if quiet == ENOUGH:
                break
            continue
        quiet = 0
        if ok is not None:
            points += 1
            survived += ok
    return survived, points


def check_import():
    runtime_crashes = []
    setdefault_corrupts = setdefault_misreports()

    def attempt(point):
        code = IMPORT_ONE % {"name": MODULE_NAME, "point": point}
        try:
            proc = run_child(code)
        except subprocess.TimeoutExpired:
            print("import, allocation %d: hung" % point)
            return False, False
        outcome = proc.stdout.strip()
        if proc.returncode < 0:
            why = runtime_fault(code, point, setdefault_corrupts)
            if why is not None:
                runtime_crashes.append("%d (%s)" % (point, why))
                return False, None
        if proc.returncode != 0:
            print("import, allocation %d: died (%d): %s" % (
                point, proc.returncode, proc.stderr.strip()[-300:]))
            return False, False
        return outcome == "ran", True

    survived, points = sweep(attempt)
    if runtime_crashes:
        print("import: the runtime crashed by its own fault at allocations "
              + ", ".join(runtime_crashes))
    return survived, points + len(runtime_crashes), len(runtime_crashes)


def outcome(failed):
    return "ran" if failed is None else "%s: %s" % (type(failed).__name__,
                                                    failed)


def run_call(call, subject, point=None):
    if point is not None:
        _testcapi.set_nomemory(point, point + 1)
    try:
        return call(subject), None
    except BaseException as exc:
        return None, exc
    finally:
        _testcapi.remove_mem_hooks()


def check_call(name, prepare, call, check):
    """Fail each allocation of call(prepare()) in turn."""
    usual = outcome(run_call(call, prepare())[1])

    def attempt(point):
        subject = prepare()
        result, failed = run_call(call, subject, point)
        try:
            check(subject, result, failed)
        except AssertionError as exc:
            print("%s, allocation %d: %s" % (name, point, exc))
            return False, False
        return outcome(failed) == usual, True

    return sweep(attempt) + (0,)


def main():
    results = [("import",) + check_import()]

    import importlib
    mod = importlib.import_module(MODULE_NAME)
    Singleton = mod.Singleton
    new = Singleton.__new__

    class Service(Singleton):
        pass
    instance = Service()

    class Parent(object):
        def __new__(cls, *args, **kwargs):
            return object.__new__(cls)

    def fresh():
        class Fresh(Singleton, Parent):
            def __init__(self, *args, **kwargs):
                pass
        return Fresh

    def not_lost(failed):
        # The runtime's report of a callee that failed without saying why.
        assert not (isinstance(failed, SystemError) and
                    "without setting" in str(failed)), repr(failed)

    def created(cls, result, failed):
        not_lost(failed)
        if failed is None:
            assert Singleton._instances[cls] is result, "wrong instance"
        else:
            assert cls not in Singleton._instances, "entry after failure"
        assert cls() is Singleton._instances[cls], "retry"

    def cached(cls, result, failed):
        not_lost(failed)
        assert failed is not None or result is instance, "wrong instance"
        assert Service() is instance

    def refused(cls, result, failed):
        # Any exception: past the module's return, the failure may land in
        # the runtime's own handling of the TypeError.
        not_lost(failed)
        assert failed is not None, "no error"

    paths = [
        ("first instantiation", fresh, lambda cls: cls(), created),
        # __new__ itself: an __init__ run by the class call may fail after
        # the instance is stored, which is no failure of __new__.
        ("first instantiation, arguments", fresh,
         lambda cls: new(cls, 1, 2, key=3), created),
        ("first instantiation, keyword class_", fresh,
         lambda cls: new(class_=cls, key=3), created),
        ("cached", lambda: Service, lambda cls: cls(), cached),
        ("cached, arguments", lambda: Service,
         lambda cls: cls(1, 2, key=3), cached),
        ("argument error", lambda: Service,
         lambda cls: new(cls, class_=cls), refused),
        ("no class", lambda: None, lambda cls: new(), refused),
    ]
    for name, prepare, call, check in paths:
        results.append((name,) + check_call(name, prepare, call, check))

    failures = 0
    for name, survived, points, in_runtime in results:
        failures += points - in_runtime - survived
        note = ""
        if in_runtime:
            note = " (the other %d crash by the runtime's own fault)" % \
                in_runtime
        print("%s: %d/%d%s" % (name, survived, points, note))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
