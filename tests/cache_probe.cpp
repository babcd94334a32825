// Test module around the traceback code-object cache.  It compiles the
// cache's own source, so what is tested is what the module runs.
#include "System/failure.cpp"

namespace {

sd::CodeCache cache;

PyObject *
probe_reset(PyObject *, PyObject *) noexcept
{
    // The old array is left behind, as the module never frees it either.
    cache = sd::CodeCache();
    Py_RETURN_NONE;
}

PyObject *
probe_insert(PyObject *, PyObject *args) noexcept
{
    int key = 0;
    PyObject *obj = nullptr;
    if (!PyArg_ParseTuple(args, "iO", &key, &obj)) {
        return nullptr;
    }
    return PyBool_FromLong(cache.insert(key, obj));
}

PyObject *
probe_find(PyObject *, PyObject *args) noexcept
{
    int key = 0;
    if (!PyArg_ParseTuple(args, "i", &key)) {
        return nullptr;
    }
    PyObject *found = cache.find(key);
    if (found == nullptr) {
        found = Py_None;
    }
    Py_INCREF(found);
    return found;
}

PyObject *
probe_position(PyObject *, PyObject *args) noexcept
{
    int key = 0;
    if (!PyArg_ParseTuple(args, "i", &key)) {
        return nullptr;
    }
    return PyLong_FromLong(cache.position(key));
}

PyObject *
probe_state(PyObject *, PyObject *) noexcept
{
    sd::OwnedRef keys = sd::OwnedRef::steal(PyList_New(cache.count()));
    if (!keys) {
        return nullptr;
    }
    for (int i = 0; i < cache.count(); ++i) {
        PyObject *key = PyLong_FromLong(cache.key_at(i));
        if (key == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(keys.get(), i, key);
    }
    return Py_BuildValue("iiO", cache.count(), cache.capacity(), keys.get());
}

PyMethodDef probe_methods[] = {
    {"reset", probe_reset, METH_NOARGS, nullptr},
    {"insert", probe_insert, METH_VARARGS, nullptr},
    {"find", probe_find, METH_VARARGS, nullptr},
    {"position", probe_position, METH_VARARGS, nullptr},
    {"state", probe_state, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_cache_probe", nullptr, -1, probe_methods,
};

}  // namespace

// The failure code refers to the module's state; the probe never builds
// traceback entries, so an empty one serves.
sd::State sd::state;

PyMODINIT_FUNC
PyInit__cache_probe(void)
{
    PyObject *module = PyModule_Create(&probe_module);
    if (module != nullptr && sd::compat::declare_no_gil(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
