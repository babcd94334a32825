// Test module around the module's two caches: the traceback code-object
// cache, and the check at import of the mirror of the dict layout that
// the cache of instances reads.  It compiles their own sources, so what
// is tested is what the module runs.
#include "System/failure.cpp"
#include "System/instance_cache.cpp"

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

using Mirror = sd::compat::DictKeys;

// Each prepares the cache with its mirror, has it keep what a call of
// `cls` (a class of `type`, found in its exact-dict table) saw, and asks
// for the instance again: the instance when the cache is on, else None.
template <class Keys>
PyObject *
answer_with(PyObject *cls) noexcept
{
    if constexpr (!sd::compat::kInstanceCache) {
        (void)cls;
        Py_RETURN_NONE;
    }
    else {
        namespace cache = sd::cache;
        cache::prepared = false;
        if (cache::entries.slots != cache::no_entries) {
            std::memset(cache::entries.slots, 0,
                        (cache::entries.mask + 1) * sizeof(cache::Entry));
            cache::entries.used = 0;
        }
        if (cache::prepare_with<Keys>() < 0) {
            return nullptr;
        }
        // As a call's steps see the class: in this epoch of tags, its
        // table found through its bases, which gives it a tag.
        (void)cache::tags_epoch();
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
        sd::OwnedRef table = sd::compat::type_lookup(type, sd::pool.instances);
        unsigned int stamp = sd::compat::type_stamp(type);
        if (!table || !PyDict_CheckExact(table.get()) || stamp == 0) {
            return PyErr_Format(PyExc_TypeError, "no table");
        }
        sd::keep_sighting(
            {cls, stamp, 0, table.get(), sd::compat::exact_type_hash(cls)});
        PyObject *found = sd::answering()
                              ? sd::cached_instance<cache::Reach::kAll>(cls)
                              : nullptr;
        if (found == nullptr) {
            Py_RETURN_NONE;
        }
        return found;
    }
}

#if !defined(PYPY_VERSION)
struct IndexOff : Mirror {
    static const char *
    index(const char *keys) noexcept
    {
        return Mirror::index(keys) + 1;
    }
};

struct EntriesOff : Mirror {
    static const char *
    entries(const char *keys) noexcept
    {
        return Mirror::entries(keys) + sizeof(Entry);
    }
};

struct NarrowSlots : Mirror {
    static unsigned
    log2_width(const char *) noexcept
    {
        return 0;
    }
};

struct SmallWide : Mirror {
    static constexpr size_t kByteSlots = 0x8000;
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
        keys = reinterpret_cast<const char *>(
            reinterpret_cast<PyDictObject *>(dict)->ma_keys);
        return true;
    }
};

struct NoEmpty : Mirror {
    static constexpr Py_ssize_t kEmptySlot = -3;
};
#endif

// Whether the check at import takes mirror `Keys` as the runtime's.
template <class Keys>
PyObject *
holds_with() noexcept
{
    if constexpr (!Keys::kMirror) {
        Py_RETURN_FALSE;
    }
    else {
        int holds = sd::cache::mirror_holds<Keys>();
        return holds < 0 ? nullptr : PyBool_FromLong(holds);
    }
}

struct Named {
    const char *name;
    PyObject *(*holds)();
    PyObject *(*answer)(PyObject *);
};

template <class Keys>
constexpr Named
named(const char *name) noexcept
{
    return {name, holds_with<Keys>, answer_with<Keys>};
}

const Named mirrors[] = {
    named<Mirror>("runtime"),
#if !defined(PYPY_VERSION)
    named<IndexOff>("index"),    named<EntriesOff>("entries"),
    named<NarrowSlots>("width"), named<SmallWide>("small"),
    named<Shift>("shift"),       named<HashOff>("hash"),
    named<AnyKind>("kind"),      named<NoEmpty>("empty"),
#endif
};

const Named *
find_mirror(const char *name) noexcept
{
    for (const Named &named : mirrors) {
        if (std::strcmp(named.name, name) == 0) {
            return &named;
        }
    }
    PyErr_Format(PyExc_ValueError, "no mirror %s", name);
    return nullptr;
}

PyObject *
probe_holds(PyObject *, PyObject *args) noexcept
{
    const char *name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &name)) {
        return nullptr;
    }
    const Named *mirror = find_mirror(name);
    return mirror == nullptr ? nullptr : mirror->holds();
}

PyObject *
probe_answer(PyObject *, PyObject *args) noexcept
{
    const char *name = nullptr;
    PyObject *cls = nullptr;
    if (!PyArg_ParseTuple(args, "sO!", &name, &PyType_Type, &cls)) {
        return nullptr;
    }
    const Named *mirror = find_mirror(name);
    return mirror == nullptr ? nullptr : mirror->answer(cls);
}

PyMethodDef probe_methods[] = {
    {"reset", probe_reset, METH_NOARGS, nullptr},
    {"insert", probe_insert, METH_VARARGS, nullptr},
    {"find", probe_find, METH_VARARGS, nullptr},
    {"position", probe_position, METH_VARARGS, nullptr},
    {"state", probe_state, METH_NOARGS, nullptr},
    {"holds", probe_holds, METH_VARARGS, nullptr},
    {"answer", probe_answer, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_cache_probe", nullptr, -1, probe_methods,
};

}  // namespace

// The failure code refers to the module's state and the cache to its
// pool; the probe never builds traceback entries, and needs one name.
sd::State sd::state;
sd::Pool sd::pool;

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
