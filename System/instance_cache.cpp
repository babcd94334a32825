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
//   same keys and values, and so still holds the class and, alive, the
//   instance.  (From 3.14 the version misses changes made in another
//   interpreter, and the table is looked up as well: it must still map
//   the class to the instance.)
// - When the entry was made, every key in the table hashed and compared
//   by identity, as object and type do, and so does the class: looking it
//   up compares by identity at most and runs no code.  The test finds it,
//   the read gives the instance.  (The table's version covers later
//   keys.)
//
// So an entry is invalidated by any change of the table; by any change
// of the class, of a base or of the metaclass, `__bases__` and slots
// included (the runtime clears the tag of a changed type and of all its
// subclasses); and by the class being freed and another made at its
// address, whose tag differs (a tag is not handed out twice; before 3.11
// not until 2**32 others have been, and from 3.12 each interpreter counts
// the tags of the classes it changes: the limits of the runtime's own
// attribute cache, which keys on the tags alike).  A stamp or version of
// 0 never matches: a runtime out of version tags or dict watchers takes
// the steps, with no error set.
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

#include <cstring>

namespace sd {

namespace cache {

namespace {

constexpr size_t kFirstSize = 64;
constexpr size_t kMostSize = 1024;

// Where probes look before there is a table: one free slot.
Entry no_entries[1];

}  // namespace

Entries entries = {no_entries, 0, 32, 0};

namespace {

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
// identity, and its version then.  The module's own stores keep it
// current, so that a table filled by first calls is looked through once.
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

// Whether every key of the exact dict `table` hashes and compares by
// identity.  Runs no code.
bool
identity_keys(PyObject *table) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!hashes_and_compares_by_identity(Py_TYPE(key))) {
            return false;
        }
    }
    return true;
}

}  // namespace

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
    if (!compat::kInstanceCache || !PyDict_CheckExact(seen.table)) {
        return;
    }
    std::uint64_t version = compat::track_table(seen.table);
    if (version == 0) {
        return;
    }
    cache::KnownTable &known = cache::known;
    if (known.table != seen.table || known.version != version) {
        if (!cache::identity_keys(seen.table)) {
            return;
        }
        known = {seen.table, version};
    }
    cache::Entry *entry = cache::place(seen.cls);
    if (entry == nullptr) {
        return;
    }
    *entry = {seen.cls,   Py_TYPE(seen.cls), seen.stamp,    seen.meta_stamp,
              seen.table, version,           seen.instance, seen.hash};
}

void
note_own_store(PyObject *table, std::uint64_t before,
               std::uint64_t after) noexcept
{
    cache::KnownTable &known = cache::known;
    if (before != 0 && known.table == table && known.version == before) {
        known.version = after;
    }
}

}  // namespace sd
