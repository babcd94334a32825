// Module frame: the entry point and the import sequence.
//
// The module uses single-phase initialisation: all state is process-wide
// (state.h), created here and kept until the process ends.  Steps run in
// source order; each records its failure location in the run's Progress
// and the one exit in PyInit_systemDefine reports the failure.
#include "module.h"

#include "definitions.h"
#include "failure.h"
#include "function_type.h"
#include "instance_cache.h"
#include "singleton.h"

#include <cstring>

#define SYSTEMDEFINE_FILE_ID 1

// The text of a number the headers define, such as PY_MINOR_VERSION.
#define SYSTEMDEFINE_TEXT_OF(number) SYSTEMDEFINE_TEXT_OF_(number)
#define SYSTEMDEFINE_TEXT_OF_(number) #number

namespace sd {

const char kModuleName[] = "Windows_QUMA.System.systemDefine";

namespace {

const char kInitName[] = "init Windows_QUMA.System.systemDefine";

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "systemDefine", /* m_name */
    nullptr,        /* m_doc */
    -1,             /* m_size: state is process-wide */
    module_methods, /* m_methods */
    nullptr,        /* m_slots */
    nullptr,        /* m_traverse */
    nullptr,        /* m_clear */
    nullptr,        /* m_free */
};

// What this run of the sequence has done so far, for the exit to undo or
// report.  Everything a step needs from an earlier step of the same run
// is here, not in the process-wide state, which a re-entrant run (an
// import started from a hook of class creation) may replace.
struct Progress {
    OwnedRef module;
    OwnedRef globals;         // the module dictionary, once obtained
    bool registered = false;  // this run added the registry entry
    Location where;           // of the step that failed
};

}  // namespace

int
check_runtime_version(const char *version) noexcept
{
    const char built[] = SYSTEMDEFINE_TEXT_OF(
        PY_MAJOR_VERSION) "." SYSTEMDEFINE_TEXT_OF(PY_MINOR_VERSION);
    // The runtime's version text starts "major.minor.micro..."; keep the
    // part before the second dot.
    char running[32];
    size_t length = 0;
    bool seen_dot = false;
    for (; length + 1 < sizeof(running); ++length) {
        char c = version[length];
        if (c == '.' && !seen_dot) {
            seen_dot = true;
        }
        else if (c < '0' || c > '9') {
            break;
        }
        running[length] = c;
    }
    running[length] = '\0';
    if (std::strcmp(built, running) == 0) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compiletime version %s of module '%.100s' does not match "
                  "runtime version %s",
                  built, kModuleName, running);
    // RuntimeWarning, which CPython takes for no category at all (PyPy
    // would take UserWarning).
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
        return -1;
    }
    // Only functions of the runtime have been called so far: from here
    // on the module would read its objects as laid out by the headers it
    // was built with.
    PyErr_Format(PyExc_ImportError,
                 "module '%.100s' was built for Python %s and cannot run on "
                 "Python %s: install or build it for %s",
                 kModuleName, built, running, running);
    return -1;
}

namespace {

// Add the module to sys.modules under its full name unless something is
// there already.  Not when the runtime runs the import for another
// interpreter: this interpreter's registry is not the importer's, and the
// importer registers the module it loads itself.
int
register_module(Progress &progress) noexcept
{
    int elsewhere = compat::import_for_other_interpreter();
    if (elsewhere != 0) {
        return elsewhere < 0 ? -1 : 0;
    }
    OwnedRef modules = OwnedRef::borrow(PyImport_GetModuleDict());
    if (PyDict_GetItemWithError(modules.get(), pool.module_name) != nullptr) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    if (PyDict_SetItem(modules.get(), pool.module_name,
                       progress.module.get()) < 0) {
        return -1;
    }
    progress.registered = true;
    return 0;
}

// Take back the registry entry this run added, if it still holds the
// module, so that a failed import is not found as a finished one.  The
// pending exception is kept.
void
unregister_module(PyObject *module) noexcept
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    OwnedRef modules = OwnedRef::borrow(PyImport_GetModuleDict());
    if (PyDict_GetItemWithError(modules.get(), pool.module_name) == module) {
        (void)PyDict_DelItem(modules.get(), pool.module_name);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// Look up `object` and `super` once, reporting a missing one as the name
// lookup of a module body would.
int
cache_builtins(Location &where) noexcept
{
    struct Builtin {
        PyObject **slot;
        PyObject *name;
    };
    const Builtin builtins[] = {
        {&state.object, pool.object},
        {&state.super, pool.super},
    };
    OwnedRef module = OwnedRef::borrow(state.builtins);
    for (const Builtin &builtin : builtins) {
        OwnedRef found =
            OwnedRef::steal(PyObject_GetAttr(module.get(), builtin.name));
        if (!found) {
            PyErr_Clear();
            raise_name_error(builtin.name);
            return SD_FAIL(where, 1);
        }
        Py_XSETREF(*builtin.slot, found.release());
    }
    return 0;
}

int
run_sequence(Progress &progress) noexcept
{
    Location &where = progress.where;
    if (check_runtime_version(Py_GetVersion()) < 0) {
        return SD_FAIL(where, 1);
    }
    if (state.empty_tuple == nullptr) {
        state.empty_tuple = PyTuple_New(0);
        if (state.empty_tuple == nullptr) {
            return SD_FAIL(where, 1);
        }
    }
    if (state.empty_bytes == nullptr) {
        state.empty_bytes = PyBytes_FromStringAndSize("", 0);
        if (state.empty_bytes == nullptr) {
            return SD_FAIL(where, 1);
        }
    }
    if (prepare_function_type() < 0) {
        return SD_FAIL(where, 1);
    }
    if (prepare_instance_cache() < 0) {
        return SD_FAIL(where, 1);
    }
    // 1013 is the C API version of every 3.x runtime.
    progress.module = OwnedRef::steal(PyModule_Create2(&module_def, 1013));
    if (!progress.module) {
        return SD_FAIL(where, 1);
    }
    if (compat::declare_no_gil(progress.module.get()) < 0) {
        return SD_FAIL(where, 1);
    }
    progress.globals =
        OwnedRef::borrow(PyModule_GetDict(progress.module.get()));
    if (!progress.globals) {
        return SD_FAIL(where, 1);
    }
    PyObject *globals = progress.globals.get();
    if (!compat::kModuleDocIsSet &&
        PyDict_SetItemString(globals, "__doc__", Py_None) < 0) {
        return SD_FAIL(where, 1);
    }
    Py_INCREF(globals);
    Py_XSETREF(state.globals, globals);

    // __builtins__ is the module itself, not its dictionary.  Frames made
    // for traceback entries find their builtins through it.  The module
    // holds its own reference: sys.modules may drop the entry later.
    PyObject *builtins = PyImport_AddModule("builtins");
    if (builtins == nullptr) {
        return SD_FAIL(where, 1);
    }
    Py_INCREF(builtins);
    Py_XSETREF(state.builtins, builtins);
    OwnedRef builtins_name =
        OwnedRef::steal(PyUnicode_InternFromString("__builtins__"));
    if (!builtins_name) {
        return SD_FAIL(where, 1);
    }
    if (PyObject_SetAttr(progress.module.get(), builtins_name.get(),
                         builtins) < 0) {
        return SD_FAIL(where, 1);
    }
    if (create_string_pool(where) < 0) {
        return -1;
    }
    if (register_module(progress) < 0) {
        return SD_FAIL(where, 1);
    }
    if (cache_builtins(where) < 0) {
        return -1;
    }
    if (state.new_code == nullptr) {
        state.new_code = new_singleton_code();
        if (state.new_code == nullptr) {
            return SD_FAIL(where, 1);
        }
    }

    // The module body, in source order.
    if (create_singleton(globals, where) < 0) {
        return -1;
    }
    if (bind_definitions(globals, where) < 0) {
        return -1;
    }
    OwnedRef test = OwnedRef::steal(PyDict_New());
    if (!test) {
        return SD_FAIL(where, 1);
    }
    if (PyDict_SetItem(globals, pool.test, test.get()) < 0) {
        return SD_FAIL(where, 1);
    }
    return 0;
}

}  // namespace

}  // namespace sd

PyMODINIT_FUNC
PyInit_systemDefine(void)
{
    sd::Progress progress;
    if (sd::run_sequence(progress) == 0) {
        return progress.module.release();
    }
    if (progress.module) {
        if (progress.globals) {
            sd::add_traceback(sd::kInitName, progress.where,
                              progress.globals.get());
        }
        if (progress.registered) {
            sd::unregister_module(progress.module.get());
        }
    }
    else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, sd::kInitName);
    }
    return nullptr;
}

SYSTEMDEFINE_CHECK_FILE_SIZE;
