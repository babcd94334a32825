// The cache of instances: calls of Singleton.__new__ whose outcome no
// Python code could tell from the steps', answered without taking them.
// instance_cache.cpp says why that is unobservable and what invalidates
// an entry.
#ifndef SYSTEMDEFINE_INSTANCE_CACHE_H
#define SYSTEMDEFINE_INSTANCE_CACHE_H

#include "compat.h"
#include "dict_layout.h"

namespace sd {

// What a call saw when its steps found the instance of `cls` in `table`.
// The stamps and MROs were taken before the fetch that gave `table`, in
// the current tag epoch, and nothing has changed them since.  All
// references are borrowed.
struct Sighting {
    PyObject *cls;
    unsigned int stamp;       // cls's stamp, never 0
    unsigned int meta_stamp;  // its metaclass's, or 0 for `type` itself
    PyObject *table;          // cls._instances, an exact dict
    PyObject *mro;            // cls's __mro__ tuple
    PyObject *meta_mro;       // its metaclass's, when meta_stamp is not 0
    Py_hash_t hash;           // cls's
};

namespace cache {

// How many classes besides the class an entry keeps the stamps of.
constexpr int kMostClasses = 3;

// The classes of an MRO, after the class itself, whose dicts the fetch
// of `_instances` reads and that Python code can change (the class that
// holds the table and those before it), with their stamps.
struct Classes {
    int count;
    PyTypeObject *types[kMostClasses];
    unsigned int stamps[kMostClasses];
};

// Whether the stamps of `classes` still hold.
SYSTEMDEFINE_NOINLINE bool all_hold(const Classes &classes) noexcept;

// The fields a call answered inline reads come first.
struct Entry {
    PyObject *cls;  // the key; NULL: a free slot
    // `type` where that is cls's metaclass; else the witness, which is no
    // class's type, so that such calls are answered past the inline path
    // (Reach::kAll), which checks `own_meta`.
    PyTypeObject *meta;
    unsigned int stamp;        // as in Sighting
    unsigned int first_stamp;  // first's
    PyObject *table;           // cls._instances when seen
    PyObject *mro;             // as in Sighting; compared, never read
    // The one class of `classes` where there is one; cls itself where
    // there is none; and where there are more, `type` with stamp 0,
    // which no stamp matches: those are checked past the inline path.
    PyTypeObject *first;
    Py_hash_t hash;  // cls's
    // Past the inline path:
    PyTypeObject *own_meta;   // cls's metaclass, or NULL for `type`
    unsigned int meta_stamp;  // as in Sighting
    PyObject *meta_mro;       // as in Sighting; compared, never read
    Classes classes;
};

// Open addressing with linear probing over a table of fixed size, at
// most half of it used.  Entries are not removed one by one, so a probe
// stops at the first free slot.  Static, and zero (all free) at first: a
// table that never moves needs no load of its address or size.
constexpr size_t kSlots = 1024;
constexpr unsigned int kHomeShift = 22;  // 32 - log2(kSlots)

struct Entries {
    Entry slots[kSlots];
    size_t used;
};

SYSTEMDEFINE_HIDDEN extern Entries entries;

// The module's own type whose tag, where tags can be handed out again,
// witnesses that they have not been (compat::tags_witnessed()).
SYSTEMDEFINE_HIDDEN extern PyTypeObject witness_type;

// The interpreter whose calls the entries answer, the main one, taken at
// import (NULL where all interpreters draw tags from one counter:
// compat::calling_interpreter()).
SYSTEMDEFINE_HIDDEN extern PyInterpreterState *owner;

// 1 once the witness has been given its tag, where tags restart; 0
// before.  Stamps are compared only when taken in it.
SYSTEMDEFINE_HIDDEN extern unsigned long epoch;

// How many slots of a table's index a walk reads at most.  Classes made
// one after another lie a fixed stride apart, and their hashes with them:
// from 3.14 a stride of 1792 bytes, whose hashes differ by a multiple of
// 16, so that 64 such classes share 8 first slots of an index of 128 and
// a walk of 9 slots or more is not rare.
constexpr int kMostSlots = 16;

inline size_t
home(PyObject *cls) noexcept
{
    // Objects are 16-byte aligned; the multiplication spreads the rest
    // over the top bits, which the shift keeps.
    std::uint32_t bits =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(cls) >> 4);
    return static_cast<size_t>(
        static_cast<std::uint32_t>(bits * 2654435769u) >> kHomeShift);
}

// The entry of `cls`, or NULL.  With `kFirstOnly`, only where it is in
// its first slot, as most entries are: a loop would cost the answered
// call a jump, and a call a frame.
template <bool kFirstOnly = false>
inline const Entry *
find(PyObject *cls) noexcept
{
    size_t at = home(cls);
    if (entries.slots[at].cls == cls) {
        return &entries.slots[at];
    }
    if constexpr (!kFirstOnly) {
        while (entries.slots[at].cls != nullptr) {
            at = (at + 1) & (kSlots - 1);
            if (entries.slots[at].cls == cls) {
                return &entries.slots[at];
            }
        }
    }
    return nullptr;
}

// The witness given its tag, the first time: epoch 1; or 0 when no tag
// could be had, or when the witness lost the tag it was given (every
// entry dropped then, and none kept ever after).
unsigned long first_epoch() noexcept;

// The epoch of stamps taken now, or 0 when they prove nothing.
inline unsigned long
tags_epoch() noexcept
{
    if (!compat::kTagsRestart) {
        return 1;
    }
    return compat::tags_witnessed(&witness_type) ? epoch : first_epoch();
}

// Whether stamps taken in `taken` (from tags_epoch()) still prove what
// they proved then.
inline bool
same_epoch(unsigned long taken) noexcept
{
    if (!compat::kTagsRestart) {
        return true;
    }
    return taken != 0 && taken == epoch &&
           compat::tags_witnessed(&witness_type);
}

// What a walk of a table's index for a key met.
enum class Met {
    kKey,    // the key itself: `value` is its value
    kOther,  // first, another key stored under the same hash
    kEmpty,  // first, an empty slot: the key is not there
    kFar,    // neither within kMostSlots slots
};

struct Walk {
    Met met;
    PyObject *value;  // borrowed, kKey only
};

// The walk of an index of slots of 2**`log2` bytes at `index`, entries
// at `entries`, `mask` + 1 positions, for `key` of hash `hash` along the
// slots its lookup visits, as the table is now, from its slot number
// `slots` (0: the first), at `position` with `perturb` as the lookup has
// them there: whether the lookup would meet the key itself before
// anything it would compare the key with (instance_cache.cpp).  Reads
// only; runs no code.  `Keys` is the mirror of the runtime's layout,
// which tests replace.
template <class Keys>
inline Walk
walk_on(const char *index, unsigned log2, const char *entries, size_t mask,
        PyObject *key, Py_hash_t hash, int slots, size_t position,
        size_t perturb) noexcept
{
    for (; slots < kMostSlots; ++slots) {
        Py_ssize_t number = Keys::slot(index, position, log2);
        if (number >= 0) {
            if (Keys::entry_key(entries, number) == key) {
                return {Met::kKey, Keys::entry_value(entries, number)};
            }
            if (Keys::entry_hash(entries, number) == hash) {
                return {Met::kOther, nullptr};
            }
        }
        else if (number == Keys::kEmptySlot) {
            return {Met::kEmpty, nullptr};
        }
        perturb >>= Keys::kPerturbShift;
        position = (position * 5 + perturb + 1) & mask;
    }
    return {Met::kFar, nullptr};
}

// walk_on() from the first slot, in the keys object `keys` (general
// keys).
template <class Keys>
SYSTEMDEFINE_NOINLINE Walk
walk_keys(const char *keys, PyObject *key, Py_hash_t hash) noexcept
{
    size_t mask = Keys::size(keys) - 1;
    return walk_on<Keys>(Keys::index(keys), Keys::log2_width(keys),
                         Keys::entries(keys), mask, key, hash, 0,
                         static_cast<size_t>(hash) & mask,
                         static_cast<size_t>(hash));
}

// walk_on() past the first slot of the small table (slots of one byte)
// whose keys object is `keys`: the value of the key's entry (borrowed),
// or NULL.
template <class Keys>
inline PyObject *
walk_rest_of(const char *keys, PyObject *key, Py_hash_t hash) noexcept
{
    size_t mask = Keys::size(keys) - 1;
    const char *index = Keys::index(keys);
    size_t perturb = static_cast<size_t>(hash) >> Keys::kPerturbShift;
    size_t position =
        ((static_cast<size_t>(hash) & mask) * 5 + perturb + 1) & mask;
    Walk seen = walk_on<Keys>(index, 0, index + mask + 1, mask, key, hash, 1,
                              position, perturb);
    return seen.met == Met::kKey ? seen.value : nullptr;
}

// Which tables found_alone() reads.
enum class Reach {
    kSmall,  // only those of slots of one byte, without calling out
    kAll,
};

// Where the walk of a small table goes on past its first slot, for a
// caller that takes that on itself (walk_rest()).  The answered call
// then ends in the first slot's registers, without a frame of its own
// for a loop: most keys lie in their first slot.
struct Rest {
    const char *keys;  // NULL: nowhere
    Py_hash_t hash;
};

// What a lookup of `key`, of hash `hash`, in `table`, an exact dict,
// gives when it compares nothing: a new reference to the value of the
// key's own entry when the walk meets it first, else NULL.  The first
// slot of a small table is read inline: most tables are small, and most
// keys in their first slot.  (An entry that a slot of a combined table
// names has a value.)  With `rest`, a walk that goes on past that first
// slot is left there, and the result is NULL.
template <Reach kReach, class Keys = DictKeys>
SYSTEMDEFINE_INLINE PyObject *
found_alone(PyObject *table, PyObject *key, Py_hash_t hash,
            Rest *rest = nullptr) noexcept
{
    if constexpr (!Keys::kMirror) {
        (void)table;
        (void)key;
        (void)hash;
        (void)rest;
        return nullptr;
    }
    else {
        const char *keys = nullptr;
        if (!Keys::general_keys(table, keys)) {
            return nullptr;
        }
        PyObject *value = nullptr;
        if (Keys::byte_slots(keys)) {
            size_t size = Keys::size(keys);
            const char *index = Keys::index(keys);
            const char *entries = index + size;
            size_t mask = size - 1;
            size_t position = static_cast<size_t>(hash) & mask;
            Py_ssize_t number = Keys::slot(index, position, 0);
            if (number >= 0 && Keys::entry_key(entries, number) == key) {
                value = Keys::entry_value(entries, number);
                Py_INCREF(value);
                return value;
            }
            // The walk stops at an empty slot or another key of the hash.
            if (number >= 0 ? Keys::entry_hash(entries, number) == hash
                            : number == Keys::kEmptySlot) {
                return nullptr;
            }
            if (rest != nullptr) {
                *rest = {keys, hash};
                return nullptr;
            }
            value = walk_rest_of<Keys>(keys, key, hash);
        }
        else if constexpr (kReach == Reach::kSmall) {
            return nullptr;
        }
        else {
            Walk seen = walk_keys<Keys>(keys, key, hash);
            value = seen.met == Met::kKey ? seen.value : nullptr;
        }
        if (value == nullptr) {
            return nullptr;
        }
        Py_INCREF(value);
        return value;
    }
}

}  // namespace cache

// Whether a call on this thread may be answered from the entries: asked
// first, before the arguments are read, since it may call out.
inline bool
answering() noexcept
{
    if constexpr (!compat::kTagsPerInterpreter) {
        return compat::kInstanceCache;
    }
    else {
        return compat::kInstanceCache &&
               compat::calling_interpreter() == cache::owner;
    }
}

// The instance of `cls`, once answering() said yes, if a call now could
// see nothing but what its steps would find in its table as it is: a new
// reference, or NULL (nothing set) to take the steps.  Inline: on a
// cached call it is all the module does.  With Reach::kSmall it never
// calls out, and answers for small tables only; with `rest` too, it
// leaves the walk past a small table's first slot to walk_rest().
template <cache::Reach kReach>
SYSTEMDEFINE_INLINE PyObject *
cached_instance(PyObject *cls, cache::Rest *rest = nullptr) noexcept
{
    if (!compat::kInstanceCache) {
        return nullptr;
    }
    // Calls answered inline find the entries in their first slots; the
    // others are found later in the call (Reach::kAll).
    const cache::Entry *entry =
        cache::find<kReach == cache::Reach::kSmall>(cls);
    if (entry == nullptr) {
        return nullptr;
    }
    // In this order, so that nothing is read as a type that may not be
    // one: `meta` is a type (the type of `cls`); it is `type`, never
    // freed, or with the kept stamp the kept metaclass, alive, and not
    // one freed whose address another type took, so `cls` is a class; and
    // only a class with the kept stamp and MRO still holds the table and
    // the classes it reads (which its MRO holds alive).
    PyTypeObject *meta = Py_TYPE(cls);
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (!compat::tags_witnessed(&cache::witness_type)) {
        return nullptr;
    }
    if constexpr (kReach == cache::Reach::kSmall) {
        if (meta != entry->meta) {
            return nullptr;
        }
    }
    else if (entry->own_meta == nullptr
                 ? meta != entry->meta
                 : meta != entry->own_meta ||
                       !compat::stamp_holds(meta, entry->meta_stamp) ||
                       meta->tp_mro != entry->meta_mro) {
        return nullptr;
    }
    if (!compat::stamp_holds(type, entry->stamp) ||
        type->tp_mro != entry->mro) {
        return nullptr;
    }
    if (!compat::stamp_holds(entry->first, entry->first_stamp) &&
        (kReach == cache::Reach::kSmall || entry->first_stamp != 0 ||
         !cache::all_hold(entry->classes))) {
        return nullptr;
    }
    // The tags hold, so the table is alive, unless it is being freed while
    // its class is given another (compat::kTagOutlivesValue).
    if (compat::kTagOutlivesValue && Py_REFCNT(entry->table) == 0) {
        return nullptr;
    }
    return cache::found_alone<kReach>(entry->table, cls, entry->hash, rest);
}

// The rest of the walk that cached_instance() left in `rest`, for `cls`:
// the instance (a new reference) or NULL (nothing set) to take the steps.
// Nothing may have run since.
inline PyObject *
walk_rest(PyObject *cls, const cache::Rest &rest) noexcept
{
    PyObject *value = nullptr;
    if constexpr (DictKeys::kMirror) {
        value = cache::walk_rest_of<DictKeys>(rest.keys, cls, rest.hash);
    }
    Py_XINCREF(value);
    return value;
}

// Keep `seen` for later calls of its class, if they can be answered from
// it.  Never fails: a sighting that cannot be kept is dropped.
void keep_sighting(const Sighting &seen) noexcept;

// Whether instances of `meta` (a metaclass) hash, compare and fetch
// their attributes as classes of `type` do.
bool keeps_type_protocols(PyTypeObject *meta) noexcept;

// Ready the cache's own type and check the mirror of the dict layout, at
// import with the function type: 0, or -1 with an exception set.  A
// mirror that does not hold leaves the cache off, with no error.
int prepare_instance_cache() noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_INSTANCE_CACHE_H
