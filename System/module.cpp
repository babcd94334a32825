// Module frame: the entry point and the import sequence.
//
// The module uses single-phase initialisation: all state is process-wide
// (module.h), created here and kept until the process ends.  Steps run in
// source order; each records its failure location and the one exit in
// PyInit_systemDefine reports the failure.
#include "module.h"

#include "definitions.h"
#include "failure.h"
#include "function_type.h"
#include "singleton.h"

#include <cstring>

#define SYSTEMDEFINE_FILE_ID 1

namespace sd {

const char kModuleName[] = "Windows_QUMA.System.systemDefine";

State state;

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

// What the sequence has done so far, for the exit to undo or report.
struct Progress {
    OwnedRef module;
    bool have_dict = false;
    bool registered = false;  // this run added the registry entry
};

// Warn when the running interpreter's major.minor is not that of the
// headers the module was built with.  Returns -1 when the warning became
// an error.
int
check_runtime_version() noexcept
{
    char built[32];
    PyOS_snprintf(built, sizeof(built), "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    // The runtime's version text starts "major.minor.micro..."; keep the
    // part before the second dot.
    const char *version = Py_GetVersion();
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
    return PyErr_WarnEx(nullptr, message, 1);
}

// Add the module to sys.modules under its full name unless something is
// there already.
int
register_module(Progress &progress) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *existing = PyDict_GetItemWithError(modules, pool.module_name);
    if (existing != nullptr) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    if (PyDict_SetItem(modules, pool.module_name, progress.module.get()) < 0) {
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
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *entry = PyDict_GetItemWithError(modules, pool.module_name);
    if (entry == module) {
        (void)PyDict_DelItem(modules, pool.module_name);
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// Look up `object` and `super` once, reporting a missing one as the name
// lookup of a module body would.
int
cache_builtins() noexcept
{
    struct Builtin {
        PyObject **slot;
        PyObject *name;
    };
    const Builtin builtins[] = {
        {&state.object, pool.object},
        {&state.super, pool.super},
    };
    for (const Builtin &builtin : builtins) {
        Py_XSETREF(*builtin.slot,
                   PyObject_GetAttr(state.builtins, builtin.name));
        if (*builtin.slot == nullptr) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                         builtin.name);
            return SD_FAIL(1);
        }
    }
    return 0;
}

int
run_sequence(Progress &progress) noexcept
{
    if (check_runtime_version() < 0) {
        return SD_FAIL(1);
    }
    if (state.empty_tuple == nullptr) {
        state.empty_tuple = PyTuple_New(0);
        if (state.empty_tuple == nullptr) {
            return SD_FAIL(1);
        }
    }
    if (state.empty_bytes == nullptr) {
        state.empty_bytes = PyBytes_FromStringAndSize("", 0);
        if (state.empty_bytes == nullptr) {
            return SD_FAIL(1);
        }
    }
    if (prepare_function_type() < 0) {
        return SD_FAIL(1);
    }
    // 1013 is the C API version of every 3.x runtime.
    progress.module = OwnedRef::steal(PyModule_Create2(&module_def, 1013));
    if (!progress.module) {
        return SD_FAIL(1);
    }
    PyObject *globals = PyModule_GetDict(progress.module.get());
    if (globals == nullptr) {
        return SD_FAIL(1);
    }
    Py_INCREF(globals);
    Py_XSETREF(state.globals, globals);
    progress.have_dict = true;

    // __builtins__ is the module itself, not its dictionary.  Frames made
    // for traceback entries find their builtins through it.
    state.builtins = PyImport_AddModule("builtins");
    if (state.builtins == nullptr) {
        return SD_FAIL(1);
    }
    if (PyObject_SetAttrString(progress.module.get(), "__builtins__",
                               state.builtins) < 0) {
        return SD_FAIL(1);
    }
    if (create_string_pool() < 0) {
        return -1;
    }
    if (register_module(progress) < 0) {
        return SD_FAIL(1);
    }
    if (cache_builtins() < 0) {
        return -1;
    }
    if (state.new_code == nullptr) {
        state.new_code = new_singleton_code();
        if (state.new_code == nullptr) {
            return SD_FAIL(1);
        }
    }

    // The module body, in source order.
    if (create_singleton() < 0) {
        return -1;
    }
    if (bind_definitions() < 0) {
        return -1;
    }
    OwnedRef test = OwnedRef::steal(PyDict_New());
    if (!test) {
        return SD_FAIL(1);
    }
    if (PyDict_SetItem(state.globals, pool.test, test.get()) < 0) {
        return SD_FAIL(1);
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
        if (progress.have_dict) {
            sd::add_traceback(sd::kInitName);
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
