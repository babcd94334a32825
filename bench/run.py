"""Benchmarks of the native module against the same module in plain
Python and against the floor, in this interpreter.

    python bench/run.py [--quick] [--json PATH]

Contenders run side by side, interleaved, in repeated rounds after a
warm-up; the table gives the median time per operation and the ratios.
"""
import argparse
import json
import gc
import importlib
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

native = importlib.import_module("Windows_QUMA.System.systemDefine")
plain = importlib.import_module("systemDefine_plain")


def repeat_call(call, *args, **kwargs):
    def loop(count):
        for _ in range(count):
            call(*args, **kwargs)
    return loop


def hot_path(mod):
    class Service(mod.Singleton):
        pass
    Service()
    return repeat_call(Service)


def floor():
    # A class whose __new__ is a C-level lookup in a table that already
    # holds the instance.
    table = {}

    class Service(object):
        __new__ = staticmethod(table.__getitem__)
    table[Service] = object.__new__(Service)
    return repeat_call(Service)


# An application has dozens of singletons, called in any order.
ROUND = 64


def round_robin(classes):
    def loop(count):
        for _ in range(count // ROUND):
            for cls in classes:
                cls()
    return loop


def hot_path_round(mod):
    classes = [type("Service%d" % i, (mod.Singleton,), {})
               for i in range(ROUND)]
    for cls in classes:
        cls()
    return round_robin(classes)


def floor_round():
    table = {}
    classes = [type("Service%d" % i, (object,),
                    {"__new__": staticmethod(table.__getitem__)})
               for i in range(ROUND)]
    for cls in classes:
        table[cls] = object.__new__(cls)
    return round_robin(classes)


def with_arguments(mod):
    class Service(mod.Singleton):
        def __init__(self, *args, **kwargs):
            pass
    Service()
    return repeat_call(Service, 1, key=2)


def first_instantiation(mod):
    def loop(count):
        classes = [type("Service", (mod.Singleton,), {})
                   for _ in range(count)]
        start = time.perf_counter()
        for cls in classes:
            cls()
        elapsed = time.perf_counter() - start
        for cls in classes:
            del mod.Singleton._instances[cls]
        return elapsed
    return loop


def failing_call(mod):
    new = mod.Singleton.__new__

    def loop(count):
        for _ in range(count):
            try:
                new()
            except TypeError:
                pass
    return loop


def read_definition(mod):
    def loop(count):
        for _ in range(count):
            mod.PAGE_MONITOR
    return loop


# Batches of a few milliseconds, many rounds.
OPERATIONS = [
    ("Service(), instance exists", hot_path, floor, 40000),
    ("64 classes in turn, instances exist", hot_path_round, floor_round,
     40000),
    ("Service(1, key=2), instance exists", with_arguments, None, 10000),
    ("first instantiation", first_instantiation, None, 1000),
    ("failing Singleton.__new__()", failing_call, None, 5000),
    ("read PAGE_MONITOR", read_definition, None, 100000),
]


def timed(loop, count):
    # As timeit does: no cyclic collection in the middle of a batch (the
    # batch of fresh classes would otherwise trigger one at random).
    gc.disable()
    try:
        start = time.perf_counter()
        inner = loop(count)
        elapsed = time.perf_counter() - start if inner is None else inner
    finally:
        gc.enable()
    return elapsed / count * 1e9


def run_operation(make, make_floor, count, rounds):
    contenders = [("native", make(native)), ("plain", make(plain))]
    if make_floor is not None:
        contenders.append(("floor", make_floor()))
    for _, loop in contenders:  # warm-up
        timed(loop, max(count // 10, 1))
    samples = {name: [] for name, _ in contenders}
    for index in range(rounds):
        shift = index % len(contenders)
        for name, loop in contenders[shift:] + contenders[:shift]:
            samples[name].append(timed(loop, count))
    result = {name: statistics.median(values)
              for name, values in samples.items()}
    # Ratios are taken round by round, then their median: neighbouring
    # batches see the same machine, so a slow spell cancels out.
    for name in samples:
        if name != "native":
            result[name + "/native"] = statistics.median(
                other / mine for other, mine in zip(samples[name],
                                                    samples["native"]))
    return result


# Measured as the application meets it.  Note that the runtime's table of
# interned strings grows by doubling, and whichever import crosses a
# threshold pays for rehashing it: in a fresh 3.13 interpreter the native
# module's names do (about 200 KiB), the plain module's do not.
IMPORT = """
import sys, time
sys.path.insert(0, %(path)r)
%(before)s
start = time.perf_counter()
import %(name)s
elapsed = time.perf_counter() - start
%(after)s
"""


def import_cost(path, name, memory):
    before = "import tracemalloc; tracemalloc.start()" if memory else ""
    after = ("print(tracemalloc.get_traced_memory()[0])" if memory
             else "print(elapsed * 1e6)")
    code = IMPORT % {"path": path, "name": name, "before": before,
                     "after": after}
    out = subprocess.run([sys.executable, "-c", code],
                         stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    return float(out)


EMPTY_MODULE = """
#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "empty", NULL, -1};
PyMODINIT_FUNC PyInit_empty(void) { return PyModule_Create(&def); }
"""


def empty_extension(directory):
    """An extension module that does nothing, built with the runtime's own
    compiler settings into `directory`; False where it cannot be built."""
    import sysconfig
    import shlex
    source = os.path.join(directory, "empty.c")
    with open(source, "w") as f:
        f.write(EMPTY_MODULE)
    target = os.path.join(directory, "empty" +
                          sysconfig.get_config_var("EXT_SUFFIX"))
    cc = shlex.split(sysconfig.get_config_var("LDSHARED") or "cc -shared")
    include = sysconfig.get_paths()["include"]
    try:
        return subprocess.run(cc + ["-fPIC", "-O2", "-I" + include, source,
                                    "-o", target]).returncode == 0
    except OSError:   # no compiler (Windows without one on PATH)
        return False


def run_import(rounds):
    import tempfile
    native_dir = os.path.dirname(native.__file__)
    # The plain module is imported from its cached bytecode.
    subprocess.run([sys.executable, "-m", "py_compile",
                    os.path.join(HERE, "systemDefine_plain.py")], check=True)
    contenders = [("native", native_dir, "systemDefine"),
                  ("plain", HERE, "systemDefine_plain")]
    empty_dir = tempfile.mkdtemp(prefix="empty-")
    if empty_extension(empty_dir):
        contenders.append(("empty", empty_dir, "empty"))
    times = {name: [] for name, _, _ in contenders}
    for _ in range(rounds):
        for name, path, module in contenders:
            times[name].append(import_cost(path, module, False))
    memory = {name: import_cost(path, module, True)
              for name, path, module in contenders[:2]}
    return ({name: statistics.median(v) for name, v in times.items()},
            memory)


def thread_scaling(make, count, rounds):
    """How much faster two threads call than one (throughput ratio, the
    median over rounds): 2.0 is perfect scaling."""
    import threading
    loop = make()
    ratios = []
    for _ in range(rounds):
        start = time.perf_counter()
        loop(count)
        one = time.perf_counter() - start
        barrier = threading.Barrier(3)

        def run():
            barrier.wait()
            loop(count)
        threads = [threading.Thread(target=run) for _ in range(2)]
        for thread in threads:
            thread.start()
        barrier.wait()
        start = time.perf_counter()
        for thread in threads:
            thread.join()
        two = time.perf_counter() - start
        ratios.append(2 * one / two)
    return statistics.median(ratios)


def interpreter():
    """The exact interpreter: version, and a t for a build without the
    GIL, 32-bit where it is."""
    import platform
    import sysconfig
    text = platform.python_version()
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        text += "t"
    if sys.maxsize < 2**32:
        text += ", 32-bit"
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="few rounds, small batches: proves it runs")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the figures there")
    args = parser.parse_args()
    rounds = 3 if args.quick else 41
    scale = 20 if args.quick else 1
    figures = {"interpreter": interpreter(), "operations": {}}

    print("CPython %s on %s" % (sys.version.split()[0], sys.platform))
    header = "%-38s %10s %10s %10s %13s %13s" % (
        "operation", "native", "plain", "floor", "plain/native",
        "native/floor")
    print(header)
    print("-" * len(header))
    for label, make, make_floor, count in OPERATIONS:
        result = run_operation(make, make_floor, max(count // scale, 10),
                               rounds)
        figures["operations"][label] = result
        floor_text = ratio_floor = ""
        if "floor" in result:
            floor_text = "%.1f ns" % result["floor"]
            ratio_floor = "%.2fx" % (1 / result["floor/native"])
        print("%-38s %10s %10s %10s %13s %13s" % (
            label, "%.1f ns" % result["native"], "%.1f ns" % result["plain"],
            floor_text, "%.2fx" % result["plain/native"], ratio_floor))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    if not gil:
        count = max(200000 // scale, 1000)
        native_scale = thread_scaling(lambda: hot_path(native), count,
                                      rounds)
        floor_scale = thread_scaling(floor, count, rounds)
        print("%-38s %10s %10s %10s" % (
            "Service(), 2 threads / 1 (no GIL)", "%.2fx" % native_scale, "",
            "%.2fx" % floor_scale))
        figures["threads"] = {"native": native_scale, "floor": floor_scale}
    times, memory = run_import(3 if args.quick else 21)
    figures.update(imports=times, memory=memory)
    print("%-38s %10s %10s %10s %13s" % (
        "import (fresh interpreter)", "%.0f us" % times["native"],
        "%.0f us" % times["plain"], "",
        "%.2fx" % (times["plain"] / times["native"])))
    if "empty" in times:
        print("%-38s %10s" % ("import of an empty extension module",
                              "%.0f us" % times["empty"]))
    print("%-38s %10s %10s %10s %13s" % (
        "memory the import adds", "%.1f KiB" % (memory["native"] / 1024),
        "%.1f KiB" % (memory["plain"] / 1024), "",
        "%.2fx" % (memory["plain"] / memory["native"])))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f)


if __name__ == "__main__":
    main()
