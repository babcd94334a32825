// Test module around what no caller of the module can reach: the
// traceback code-object cache, the check at import of the mirror of the
// dict layout that the cache of instances reads, and the check of the
// runtime's version fed other versions.  It compiles the module's own
// sources, so what is tested is what the module runs.
#include "System/module.cpp"
#undef SYSTEMDEFINE_FILE_ID
#include "System/definitions.cpp"
#undef SYSTEMDEFINE_FILE_ID
#include "System/failure.cpp"
#undef SYSTEMDEFINE_FILE_ID
#include "System/function_type.cpp"
#undef SYSTEMDEFINE_FILE_ID
#include "System/instance_cache.cpp"
#undef SYSTEMDEFINE_FILE_ID
#include "System/singleton.cpp"
#undef SYSTEMDEFINE_FILE_ID
#include "System/state.cpp"

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

// ---- Mirrors of the dict layout, each wrong in one fact ----------------

using Mirror = sd::DictKeys;

// With mirror `Keys`: whether the check at import takes it, and then the
// instance of `cls` (a class in its own exact-dict table) as the cache
// answers a call whose steps found it before, or None: the cache is off.
template <class Keys>
PyObject *
check_with(PyObject *cls) noexcept
{
    namespace cache = sd::cache;
    int holds = 0;
    PyObject *found = nullptr;
    if constexpr (Keys::kMirror) {
        holds = cache::mirror_holds<Keys>();
    }
    if constexpr (sd::compat::kInstanceCache) {
        // As at import: nothing kept yet.
        cache::prepared = false;
        std::memset(cache::entries.slots, 0, sizeof(cache::entries.slots));
        cache::entries.used = 0;
        if (holds < 0 || cache::prepare_with<Keys>() < 0) {
            return nullptr;
        }
        // As the steps see the class: a tag in this epoch, its table.
        (void)cache::tags_epoch();
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
        sd::OwnedRef table = sd::compat::type_lookup(type, sd::pool.instances);
        unsigned int stamp = sd::compat::type_stamp(type);
        if (table && stamp != 0) {
            sd::keep_sighting({cls, stamp, 0, table.get(), type->tp_mro,
                               nullptr, sd::compat::exact_type_hash(cls)});
            found = sd::cached_instance<cache::Reach::kAll>(cls);
        }
    }
    if (holds < 0) {
        return nullptr;
    }
    return Py_BuildValue(
        "(NN)", PyBool_FromLong(holds),
        found != nullptr ? found : (Py_INCREF(Py_None), Py_None));
}

#if !defined(PYPY_VERSION)
struct IndexOff : Mirror {
    static const char *
    index(const char *keys) noexcept
    {
        return Mirror::index(keys) + 1;
    }
};

struct NarrowSlots : Mirror {
    static unsigned
    log2_width(const char *) noexcept
    {
        return 0;
    }
};

struct Shift : Mirror {
    static constexpr unsigned kPerturbShift = 4;
};

struct HashOff : Mirror {
    static Py_hash_t
    entry_hash(const char *entries, Py_ssize_t number) noexcept
    {
        return reinterpret_cast<Py_hash_t>(Mirror::entry_key(entries, number));
    }
};

// Every table walked as general keys, split ones too.
struct AnyKind : Mirror {
    static bool
    general_keys(PyObject *dict, const char *&keys) noexcept
    {
        Mirror::general_keys(dict, keys);
        return true;
    }
};
#endif

const struct {
    const char *wrong;
    PyObject *(*check)(PyObject *);
} mirrors[] = {
    {"nothing", check_with<Mirror>},
#if !defined(PYPY_VERSION)
    {"index", check_with<IndexOff>}, {"width", check_with<NarrowSlots>},
    {"shift", check_with<Shift>},    {"hash", check_with<HashOff>},
    {"kind", check_with<AnyKind>},
#endif
};

PyObject *
probe_mirror(PyObject *, PyObject *args) noexcept
{
    const char *wrong = nullptr;
    PyObject *cls = nullptr;
    if (!PyArg_ParseTuple(args, "sO!", &wrong, &PyType_Type, &cls)) {
        return nullptr;
    }
    for (const auto &mirror : mirrors) {
        if (std::strcmp(mirror.wrong, wrong) == 0) {
            return mirror.check(cls);
        }
    }
    return PyErr_Format(PyExc_ValueError, "no mirror wrong in %s", wrong);
}

// check_runtime_version() for the runtime version text `version`.
PyObject *
probe_version(PyObject *, PyObject *args) noexcept
{
    const char *version = nullptr;
    if (!PyArg_ParseTuple(args, "s", &version)) {
        return nullptr;
    }
    if (sd::check_runtime_version(version) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef probe_methods[] = {
    {"reset", probe_reset, METH_NOARGS, nullptr},
    {"insert", probe_insert, METH_VARARGS, nullptr},
    {"find", probe_find, METH_VARARGS, nullptr},
    {"position", probe_position, METH_VARARGS, nullptr},
    {"state", probe_state, METH_NOARGS, nullptr},
    {"mirror", probe_mirror, METH_VARARGS, nullptr},
    {"version", probe_version, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_cache_probe", nullptr, -1, probe_methods,
};

}  // namespace

// The probe never builds traceback entries; the cache needs one name.
PyMODINIT_FUNC
PyInit__cache_probe(void)
{
    sd::pool.instances = PyUnicode_InternFromString("_instances");
    if (sd::pool.instances == nullptr) {
        return nullptr;
    }
    PyObject *module = PyModule_Create(&probe_module);
    if (module != nullptr && sd::compat::declare_no_gil(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
