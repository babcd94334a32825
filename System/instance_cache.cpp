// The cache of instances.
//
// A call of __new__ for a class that has its instance takes four steps:
// fetch class_._instances, test whether class_ is in it, fetch it again,
// read table[class_] (singleton.cpp).  Python code can see each of them
// in general: a metaclass hook serving the attribute, a table of its own
// kind, a key whose __eq__ runs in a lookup.  Where no code can run in
// any of them and nothing has changed since a call whose steps found the
// instance, the steps can only find that same instance again, and the
// call returns it without taking them.
//
// An entry per class, keyed by the class's address, keeps what such a
// call saw (a Sighting).  A later call of the same class is answered from
// it while all of these hold; each says why a skipped step is not seen:
//
// - The class's metaclass is the one seen, and it is `type`, or it keeps
//   type's attribute access, hash and comparison, has no `_instances` of
//   its own and its stamp is unchanged.  Fetching `_instances` is then
//   the class's own lookup through its bases, which runs no code and
//   which the metaclass cannot serve.
// - The class's stamp is the one seen: the version tag the runtime's
//   attribute cache keys on.  While it holds, a lookup through the
//   class's bases gives what it gave, the same table, which the class
//   therefore still holds alive.  A table found that way is an exact
//   dict, which has no __get__.
// - The table's version is the one seen (compat.h): the table has the
//   same keys, stored under the same hashes, and the same values, and so
//   still holds the class and, alive, the instance.
// - When the entry was made, no key but the class was stored under the
//   class's hash (the probe below looked).  A lookup of the class meets
//   no other key it would compare with, so it runs no code, whatever
//   becomes of the keys' classes later (a key's class may gain an __eq__,
//   or the key another class, without the table changing).  The test
//   finds the class, the read gives the instance.
//
// Two things the runtime's own attribute cache, keyed by tag, takes for
// granted, the cache takes for granted too: that a lookup through the
// class's bases runs no code (a key of a class's namespace that is not a
// str, with an __eq__ of its own, runs it only when the runtime's cache
// misses), and that a type's dict changes only through the type (one
// written through gc.get_referents() keeps its tag and is answered from
// the old value by both).
//
// Each stamp and version is a number that the runtime hands out, and some
// runtimes hand a number out again (compat.h says when); an entry is used
// only while none of its numbers can have been:
//
// - Where type tags restart (up to 3.10), while the witness, the probes'
//   type, holds the tag the module last had it given: once the runtime
//   restarts its tags it takes that one away before it gives any out.
//   The module then drops every entry before it gives the witness a new
//   tag, and a call whose stamps were taken before that trusts none of
//   them (the epoch).
// - Where each interpreter counts for itself (3.12 and 3.13), calls are
//   answered, and entries made, only while the main interpreter is the
//   only one alive: no call of another interpreter is answered, and no
//   entry keeps what another interpreter's calls saw.  A change made in
//   another interpreter draws a tag or a version from that interpreter's
//   counter; it stays hidden only when that counter was driven to
//   exactly the number kept, which is the runtime's own limit (its
//   attribute cache, per interpreter and keyed by tag, is fooled alike).
// - From 3.14 the runtime keeps no dict versions, and nothing the main
//   interpreter can read tells of a change that a sub-interpreter made to
//   a table: there every call takes its steps (compat::kInstanceCache).
//
// So an entry is invalidated by any change of the table; by any change of
// the class, of a base or of the metaclass, `__bases__` and slots
// included (the runtime clears the tag of a changed type and of all its
// subclasses); and by the class being freed and another made at its
// address, whose tag differs.  A stamp or version of 0 never matches: a
// runtime out of version tags takes the steps, with no error set.
//
// Entries hold no references, so the cache keeps nothing alive and no
// finaliser's timing moves: a kept pointer is used only while the checks
// above prove its object alive.  The entry of a class that is gone stays
// until its slot is wanted again.
//
// Not used without the GIL, where another thread may drop the instance
// from the table between the checks and the reference taken to it: the
// runtime's own way to do that safely (a try-incref of memory it keeps
// readable, as its lock-free dict reads do) is not part of its API.  Nor
// on PyPy, which keeps no version tags.
#include "instance_cache.h"

#include "definitions.h"

#include <cstring>

namespace sd {

namespace cache {

namespace {

constexpr size_t kFirstSize = 64;
constexpr size_t kMostSize = 1024;

// Where find() looks before there is a table: one free slot.
Entry no_entries[1];

// The probe: looked up in a table under a class's hash, which is the
// probe's own for that lookup, it equals no key, so the lookup walks
// every slot a lookup of the class could meet and compares the probe
// with each key stored under that hash.  The keys' own comparisons are
// object's or type's (checked first), which defer to the probe's, so the
// lookup runs no code; the probe notes each key it meets but the class.
struct Probe {
    PyObject_HEAD
    PyObject *cls;   // borrowed for the lookup
    bool met_other;  // a key other than cls shares its hash
};

PyObject *
probe_compare(PyObject *self, PyObject *other, int) noexcept
{
    Probe *probe = reinterpret_cast<Probe *>(self);
    if (other != probe->cls) {
        probe->met_other = true;
    }
    Py_RETURN_FALSE;
}

void
probe_dealloc(PyObject *self) noexcept
{
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

// clang-format off
PyTypeObject probe_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "Windows_QUMA.System.systemDefine.cache_probe",  /* tp_name */
    sizeof(Probe),                              /* tp_basicsize */
    0,                                          /* tp_itemsize */
    probe_dealloc,                              /* tp_dealloc */
    0,                              /* tp_vectorcall_offset (tp_print) */
    nullptr,                                    /* tp_getattr */
    nullptr,                                    /* tp_setattr */
    nullptr,                                    /* tp_as_async */
    nullptr,                                    /* tp_repr */
    nullptr,                                    /* tp_as_number */
    nullptr,                                    /* tp_as_sequence */
    nullptr,                                    /* tp_as_mapping */
    nullptr,                                    /* tp_hash */
    nullptr,                                    /* tp_call */
    nullptr,                                    /* tp_str */
    nullptr,                                    /* tp_getattro */
    nullptr,                                    /* tp_setattro */
    nullptr,                                    /* tp_as_buffer */
    compat::kWitnessFlags,                      /* tp_flags */
    nullptr,                                    /* tp_doc */
    nullptr,                                    /* tp_traverse */
    nullptr,                                    /* tp_clear */
    probe_compare,                              /* tp_richcompare */
};
// clang-format on

Entries entries = {no_entries, 0, 32, 0};
PyInterpreterState *owner = nullptr;
unsigned long epoch = 0;

namespace {

// Whether probe_type is ready (at import): before, nothing is kept.
bool prepared = false;

// The slot of `cls`, found or taken; NULL without memory for it.
Entry *place(PyObject *cls) noexcept;

// Room for one more entry: the table made or doubled, or, at kMostSize,
// emptied (entries of classes that are gone make most of it by then).
// False without memory, with nothing changed.
bool
make_room() noexcept
{
    size_t old_size = entries.slots == no_entries ? 0 : entries.mask + 1;
    if (old_size == kMostSize) {
        std::memset(entries.slots, 0, old_size * sizeof(Entry));
        entries.used = 0;
        return true;
    }
    size_t size = old_size == 0 ? kFirstSize : 2 * old_size;
    Entry *slots = static_cast<Entry *>(PyMem_Malloc(size * sizeof(Entry)));
    if (slots == nullptr) {
        return false;
    }
    std::memset(slots, 0, size * sizeof(Entry));
    Entry *old = entries.slots;
    entries.slots = slots;
    entries.mask = size - 1;
    entries.shift = 32;
    for (size_t n = size; n > 1; n >>= 1) {
        entries.shift--;
    }
    entries.used = 0;
    for (size_t i = 0; i < old_size; ++i) {
        if (old[i].cls != nullptr) {
            *place(old[i].cls) = old[i];
        }
    }
    if (old_size != 0) {
        PyMem_Free(old);
    }
    return true;
}

Entry *
place(PyObject *cls) noexcept
{
    Entry *found = const_cast<Entry *>(find(cls));
    if (found != nullptr) {
        return found;
    }
    if (2 * (entries.used + 1) > entries.mask + 1 && !make_room()) {
        return nullptr;
    }
    size_t i = home(cls);
    while (entries.slots[i].cls != nullptr) {
        i = (i + 1) & entries.mask;
    }
    entries.used++;
    return &entries.slots[i];
}

// The last table whose keys were all seen to hash and compare by
// identity for good, and its version then.  The module's own stores keep
// it current, so that a table filled by first calls is looked through
// once.
struct KnownTable {
    PyObject *table;  // only compared, never used
    std::uint64_t version;
};

KnownTable known = {nullptr, 0};

bool
hashes_and_compares_by_identity(PyTypeObject *type) noexcept
{
    return (type->tp_hash == PyBaseObject_Type.tp_hash ||
            type->tp_hash == PyType_Type.tp_hash) &&
           (type->tp_richcompare == PyBaseObject_Type.tp_richcompare ||
            type->tp_richcompare == PyType_Type.tp_richcompare);
}

// Whether objects of `type` hash and compare by identity, now and for as
// long as they live: a static type's slots never change, and no object
// of one can be given another class (nor one of another class it), but
// for modules, which the runtime lets move between ModuleType and its
// subclasses.
bool
identity_for_good(PyTypeObject *type) noexcept
{
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           !PyType_IsSubtype(type, &PyModule_Type) &&
           hashes_and_compares_by_identity(type);
}

enum class Keys { kOther, kIdentityNow, kIdentityForGood };

// How the keys of the exact dict `table` hash and compare.  A key of a
// class of its own may be given an __eq__ later without the table
// changing.  Runs no code.
Keys
key_kinds(PyObject *table) noexcept
{
    Keys kinds = Keys::kIdentityForGood;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(table, &pos, &key, &value)) {
        PyTypeObject *type = Py_TYPE(key);
        if (!hashes_and_compares_by_identity(type)) {
            return Keys::kOther;
        }
        if (!identity_for_good(type)) {
            kinds = Keys::kIdentityNow;
        }
    }
    return kinds;
}

// Whether a probe looked up in `table`, whose keys all compare by
// identity now, meets no key stored under `hash` but `cls`.  Runs no
// code; false when there is no memory for the probe.
bool
alone_under_its_hash(PyObject *table, PyObject *cls, Py_hash_t hash) noexcept
{
    Probe *probe = PyObject_New(Probe, &probe_type);
    if (probe == nullptr) {
        PyErr_Clear();
        return false;
    }
    OwnedRef held = OwnedRef::steal(reinterpret_cast<PyObject *>(probe));
    probe->cls = cls;
    probe->met_other = false;
    int found = compat::dict_contains_known_hash(table, held.get(), hash);
    if (found < 0) {
        // A recursion limit reached inside the comparison: nothing known.
        PyErr_Clear();
        return false;
    }
    return found == 0 && !probe->met_other;
}

}  // namespace

unsigned long
renew_epoch() noexcept
{
    if (entries.slots != no_entries) {
        std::memset(entries.slots, 0, (entries.mask + 1) * sizeof(Entry));
        entries.used = 0;
    }
    if (!prepared || !compat::witness_tags(&probe_type, pool.instances)) {
        return 0;
    }
    return ++epoch;
}

}  // namespace cache

bool
keeps_type_protocols(PyTypeObject *meta) noexcept
{
    return meta->tp_getattro == PyType_Type.tp_getattro &&
           cache::hashes_and_compares_by_identity(meta);
}

void
keep_sighting(const Sighting &seen) noexcept
{
    if (!compat::kInstanceCache || !cache::prepared ||
        !PyDict_CheckExact(seen.table)) {
        return;
    }
    if (!compat::answers_in(cache::owner)) {
        return;
    }
    std::uint64_t version = compat::table_version(seen.table);
    if (version == 0) {
        return;
    }
    // Keys that compare by identity for good were stored under their own
    // hashes, which differ: only where some key's class is its own can a
    // key share the class's hash.
    cache::KnownTable &known = cache::known;
    if (known.table != seen.table || known.version != version) {
        switch (cache::key_kinds(seen.table)) {
            case cache::Keys::kOther:
                return;
            case cache::Keys::kIdentityNow:
                if (!cache::alone_under_its_hash(seen.table, seen.cls,
                                                 seen.hash)) {
                    return;
                }
                break;
            case cache::Keys::kIdentityForGood:
                known = {seen.table, version};
                break;
        }
    }
    cache::Entry *entry = cache::place(seen.cls);
    if (entry == nullptr) {
        return;
    }
    *entry = {seen.cls,   Py_TYPE(seen.cls), seen.stamp,   seen.meta_stamp,
              seen.table, version,           seen.instance};
}

void
note_own_store(PyObject *table, PyObject *key, std::uint64_t before,
               std::uint64_t after) noexcept
{
    cache::KnownTable &known = cache::known;
    if (before != 0 && known.table == table && known.version == before &&
        cache::identity_for_good(Py_TYPE(key)) &&
        compat::answers_in(cache::owner)) {
        known.version = after;
    }
}

int
prepare_instance_cache() noexcept
{
    if (!compat::kInstanceCache || cache::prepared) {
        return 0;
    }
    if (PyType_Ready(&cache::probe_type) < 0) {
        return -1;
    }
    cache::owner = compat::answering_interpreter();
    cache::prepared = true;
    return 0;
}

}  // namespace sd
