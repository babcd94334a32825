// The cache of instances: calls of Singleton.__new__ whose outcome no
// Python code could tell from the steps', answered without taking them.
// instance_cache.cpp says why that is unobservable and what invalidates
// an entry.
#ifndef SYSTEMDEFINE_INSTANCE_CACHE_H
#define SYSTEMDEFINE_INSTANCE_CACHE_H

#include "compat.h"

namespace sd {

// What a call saw when its steps found the instance of `cls` in `table`.
// The stamps were taken before the fetch that gave `table`, in the
// current tag epoch, and nothing has changed them since.  All references
// are borrowed.
struct Sighting {
    PyObject *cls;
    unsigned int stamp;       // cls's stamp, never 0
    unsigned int meta_stamp;  // its metaclass's, or 0 for `type` itself
    PyObject *table;          // cls._instances
    PyObject *instance;       // table[cls]
    Py_hash_t hash;           // cls's
};

namespace cache {

struct Entry {
    PyObject *cls;            // the key; NULL: a free slot
    PyTypeObject *meta;       // Py_TYPE(cls) when seen
    unsigned int stamp;       // as in Sighting
    unsigned int meta_stamp;  // as in Sighting
    PyObject *table;          // cls._instances when seen
    std::uint64_t version;    // the table's version when seen, never 0
    PyObject *instance;       // table[cls] when seen
};

// Open addressing with linear probing: `mask` + 1 slots from `slots` on,
// a power of two, at most half of them used.  Entries are not removed one
// by one, so a probe stops at the first free slot.  Before the first
// entry, one free slot.
struct Entries {
    Entry *slots;
    size_t mask;
    unsigned int shift;  // 32 - log2(mask + 1)
    size_t used;
};

extern Entries entries;

// The module's own type whose objects probe tables (instance_cache.cpp),
// and whose tag, where tags can be handed out again, witnesses that they
// have not been (compat::tags_witnessed()).
extern PyTypeObject probe_type;

// The interpreter whose calls the entries answer, the main one, taken at
// import (NULL where every interpreter counts with the same counters:
// compat::answers_in()).
extern PyInterpreterState *owner;

// How many times the witness has been given a tag.  Stamps taken in one
// epoch are compared only within it.
extern unsigned long epoch;

inline size_t
home(PyObject *cls) noexcept
{
    // Objects are 16-byte aligned; the multiplication spreads the rest
    // over the top bits, which the shift keeps.
    std::uint32_t bits =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(cls) >> 4);
    return static_cast<size_t>(
        static_cast<std::uint64_t>(bits * 2654435769u) >> entries.shift);
}

inline const Entry *
find(PyObject *cls) noexcept
{
    for (size_t i = home(cls);; i = (i + 1) & entries.mask) {
        const Entry &entry = entries.slots[i];
        if (entry.cls == cls) {
            return &entry;
        }
        if (entry.cls == nullptr) {
            return nullptr;
        }
    }
}

// The witness given a new tag after it lost its last one, every entry
// dropped first: the new epoch, or 0 when no tag could be had.
unsigned long renew_epoch() noexcept;

// The epoch of stamps taken now, or 0 when they prove nothing.
inline unsigned long
tags_epoch() noexcept
{
    if (!compat::kTagsRestart) {
        return 1;
    }
    return compat::tags_witnessed(&probe_type) ? epoch : renew_epoch();
}

// Whether stamps taken in `taken` (from tags_epoch()) still prove what
// they proved then.
inline bool
same_epoch(unsigned long taken) noexcept
{
    if (!compat::kTagsRestart) {
        return true;
    }
    return taken != 0 && taken == epoch && compat::tags_witnessed(&probe_type);
}

}  // namespace cache

// The instance of `cls` if a call now could see nothing but what the
// kept sighting saw: a new reference, or NULL (nothing set) to take the
// steps.  Inline: on a cached call it is all the module does.
inline PyObject *
cached_instance(PyObject *cls) noexcept
{
    if (!compat::kInstanceCache) {
        return nullptr;
    }
    const cache::Entry *entry = cache::find(cls);
    if (entry == nullptr) {
        return nullptr;
    }
    // In this order: only a class (an object of the kept metaclass) has a
    // stamp, and only a class with the kept stamp still holds the table.
    PyTypeObject *meta = Py_TYPE(cls);
    if (!compat::tags_witnessed(&cache::probe_type) ||
        !compat::answers_in(cache::owner) || meta != entry->meta ||
        compat::type_stamp(reinterpret_cast<PyTypeObject *>(cls)) !=
            entry->stamp ||
        (entry->meta_stamp != 0 &&
         compat::type_stamp(meta) != entry->meta_stamp) ||
        compat::table_version(entry->table) != entry->version) {
        return nullptr;
    }
    Py_INCREF(entry->instance);
    return entry->instance;
}

// Keep `seen` for later calls of its class, if they can be answered from
// it.  Never fails: a sighting that cannot be kept is dropped.
void keep_sighting(const Sighting &seen) noexcept;

// The module's own store of an instance into the exact dict `table`
// under `key`, which hashes and compares by identity: `before` and
// `after` are the table's versions around it.  No code can have run in
// between when the table's keys all compared by identity, and they still
// do for good when `key` does.
void note_own_store(PyObject *table, PyObject *key, std::uint64_t before,
                    std::uint64_t after) noexcept;

// Whether instances of `meta` (a metaclass) hash, compare and fetch
// their attributes as classes of `type` do.
bool keeps_type_protocols(PyTypeObject *meta) noexcept;

// Ready the cache's own type, at import with the function type: 0, or -1
// with an exception set.
int prepare_instance_cache() noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_INSTANCE_CACHE_H
