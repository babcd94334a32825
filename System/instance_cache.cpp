// The cache of instances.
//
// A call of __new__ for a class that has its instance takes four steps
// (singleton.cpp): (1) fetch class_._instances, (2) test whether class_
// is in it, (3) fetch it again, (4) read table[class_].  Python code can
// see each of them in general: a metaclass hook serving the attribute, a
// table of its own kind, a key whose __eq__ runs in a lookup.  The cache
// answers a call without the steps only where it can tell, from the class
// and its table as they are at that call, that no code would run in any
// of them and what they would return.
//
// An entry per class, keyed by the class's address, keeps the class side
// of what a call whose steps found the instance saw (a Sighting): the
// metaclass, the stamps of the classes the fetch reads, the MROs, the
// table's address and the class's hash.  Of the table it keeps nothing
// else: every call reads the table afresh.
//
// Steps 1 and 3, the fetches, by the stamps and the MROs.  A fetch of
// `_instances` reads the dicts of the classes of the metaclass's MRO (for
// a descriptor of its own), then those of the class's MRO up to the
// first that holds the name.  An entry is kept only for what those dicts
// hold as they are, read past the runtime's attribute cache (which may
// still answer from an MRO that is gone, below) and without running code
// (read_through(), holds_nothing(): every key of those dicts must be an
// exact str, whose comparison is the runtime's own).  A call is answered
// only while:
//
// - The class's metaclass is the one seen, and it is `type`, or it keeps
//   type's attribute access, hash and comparison, finds no `_instances`
//   through its MRO, no class of that MRO but itself can be changed
//   (static types cannot), and its stamp and MRO are the ones seen.
//   Fetching `_instances` is then the class's own lookup through its
//   MRO, which runs no code and which the metaclass cannot serve.  Its
//   stamp is read before the class's: an entry holds no reference to
//   either, and an object at the class's address is read as a class only
//   once its type is known to be `type` (never freed) or the kept
//   metaclass, not a type that took the address of one freed.
// - The class's stamp and MRO are the ones seen, and so are the stamps of
//   the classes of that MRO that the fetch reads and that can be changed:
//   the one that holds the table and those before it (at most
//   kMostClasses; the MRO holds them alive).  While all that holds, the
//   lookup through the MRO gives what it gave, the same table, which its
//   holder therefore still holds alive.  A table found that way is an
//   exact dict, which has no __get__; an exact dict's class cannot be
//   changed, so it is one still.  Up to 3.12 there is one window where
//   the stamps hold and the table is going: setting the attribute stores
//   the new table before it marks the class changed, and finalisers run
//   by the old table's end can call the class meanwhile; a table whose
//   count of references is 0 is not read (compat::kTagOutlivesValue).
//
// Each class read has its own stamp checked because a change of a class
// always takes its own tag, while the runtime's passing of it on to the
// classes below fails at times: it stops at a class that has no tag, and
// a class keeps its tag while a base has none once an assignment of
// __bases__ fails halfway (a class given a tag under its new bases, or
// one marked changed alone before the classes below it were).
//
// Every way an MRO changes reaches the stamp or the MRO compared:
//
// - A new MRO is set by the runtime's mro_internal() alone (at class
//   creation, and when __bases__ of the class or of a class above it is
//   assigned, which computes the MRO of every class below anew), which
//   marks the class changed right after: its tag goes, never to be given
//   out again (below).  Code that runs in between (a descriptor's __get__
//   that the runtime calls as it asks whether the metaclass has an mro()
//   of its own) sees the new MRO under the old tag: another tuple than
//   the one an entry saw.
// - The runtime puts an old MRO back without marking the class changed
//   when an assignment of __bases__ fails: the undo path of
//   type_set_bases() (a class's mro() raised while the classes below were
//   given theirs) and mro_hierarchy()'s own (no memory to note the
//   change).  A call meanwhile may have seen the new MRO under a new tag,
//   and the tag stays: the MRO compared is then another tuple.  The
//   runtime holds the old MRO from the moment it replaces it until it
//   puts it back, so the two were alive, at two addresses, whenever a
//   call saw the new one.
// - So a tuple at the address of the MRO an entry saw, freed since, can
//   only be one that mro_internal() set later, which took the entry's tag
//   away: a new MRO at the old address never carries the old tag.
//
// Where the runtime puts an MRO back, its own attribute cache is fooled:
// its entry for the class's tag and the name keeps what the new MRO gave,
// until another lookup takes its slot.  Calls that take the steps
// meanwhile see that too, as Python code does; an entry is not kept from
// such an answer, since the dicts are read afresh.
//
// Steps 2 and 4, the lookups, by a walk of the table as it is now
// (found_alone(), walk_keys()).  The lookups are the exact dict's own.
// Each hashes class_ (type's hash: the identity, no code), then visits
// the slots of the table's index along one fixed sequence that starts
// at the hash (dict_layout.h says where the index and the entries
// lie).  It passes a slot whose key was deleted; at a slot naming an
// entry it returns that entry when its key *is* class_, without
// comparing anything, and compares the key with class_ (running the
// key's __eq__) only when the hash stored with it is class_'s; it stops
// at the first empty slot.  The walk reads the same slots in the same
// order, with nothing run in between that could change them.  When it
// meets class_'s own entry before an empty slot and before any other key
// stored under class_'s hash:
//
// - the test compares nothing, runs no code and finds class_: true;
// - the fetch between them runs no code either (above), so the table is
//   as the test left it, and the read meets the same entry and gives its
//   value: the value the walk read (never NULL: an entry that a slot of
//   a combined table names has one).
//
// That holds whatever the table went through before the call, and
// whichever thread or interpreter changed it: nothing about the table is
// kept but its address.  The walk gives up, and the call takes the steps,
// on anything else: from 3.11 a table whose keys are not general ones
// (split keys, or keys of str only, whose entries are laid out
// otherwise; up to 3.10 every kind is laid out alike, and a split table,
// whose keys are str only, never shows a class's own entry), and a walk
// longer than cache::kMostSlots slots.  That bound only caps what a call
// spends (the runtime keeps a third of every index empty, so each walk ends):
// past it the steps give the same answer.
//
// The layout the walk reads is not public API.  At import the mirror is
// checked against dicts the module builds (mirror_holds() below): each
// of their keys must be found where the runtime's own lookup finds it,
// with the value it gives, a key deleted must not be, and a twin of each
// key (equal, another object) must meet it as a key the lookup would
// compare; a table of str keys must be turned away or walked right.
// Where the mirror does not hold, nothing is kept and every call takes
// its steps: a runtime whose layout changed is slower, never wrong.
//
// One thing the runtime's own attribute cache, keyed by tag, takes for
// granted, the cache takes for granted too: that a type's dict changes
// only through the type (one written through gc.get_referents() keeps
// its tag).  Where it does not hold, the runtime answers from the old
// value too while its entry lives; an entry here lives until the class
// changes.  (That a lookup through an MRO runs no code, which the
// runtime's cache also takes for granted, is checked here when an entry
// is kept.)
//
// A stamp is a number that the runtime hands out, and some runtimes hand
// a number out again (compat.h says when); an entry is used only while
// none of its stamps can have been:
//
// - Where tags restart (up to 3.10), while the witness, the module's own
//   type, holds the tag the module had it given: once the runtime
//   restarts its tags it takes that one away before it gives any out,
//   and no lookup but the module's own gives it one again (it is sealed:
//   compat::seal_witness()).  From then on the module drops every entry
//   and keeps none, for the life of the process, and a call whose stamps
//   were taken before that trusts none of them (the epoch).  No new start
//   could be trusted: the runtime takes the tags away by marking `object`
//   changed, which reaches only the classes below it through classes
//   that have a tag, so a class below one without (after an assignment
//   of __bases__ that failed halfway) keeps its old tag.  For the same
//   reason a tag may have outlived a restart before the witness had its
//   own: an entry keeps only stamps the counter has passed
//   (compat::tag_counter()), which it gives no class again until it
//   restarts.  Tags restart when sys._clear_type_cache() is called, and
//   on 3.10 when a sub-interpreter ends.
// - Where each interpreter numbers its heap types' tags itself (from
//   3.12), entries are kept, and calls answered, only in the main
//   interpreter (owner), which each call checks as its calling thread's:
//   calls in another interpreter take the steps and keep nothing.  A
//   class changed in another interpreter loses its tag there too, and a
//   tag given it there from that interpreter's counter matches the one
//   kept only when that counter was driven to exactly that number; so
//   does a tag another interpreter drew that the main one's counter
//   draws again, which a fresh sub-interpreter's counter, starting where
//   the main one's did, does as a matter of course.  That is the
//   runtime's own limit: in the main interpreter its specialized lookups
//   of a class's attribute, guarded by the class's tag alone, give the
//   old value too, whose table may be gone, until they are specialized
//   anew, as its attribute cache does until its entry is taken (an entry
//   here lives until the class changes).  The table side needs no such
//   care: it is read, not numbered.
//
// So an entry is invalidated by any change of the class, of a class its
// fetch reads or of the metaclass, `_instances`, `__bases__`, `__class__`
// and slots included (the runtime clears the tag of a changed type); by
// an MRO put back; by the class being freed and another made at its
// address, whose tag differs; and by a restart of the tags.  A change of the
// table invalidates nothing: the next call reads it.  A stamp of 0 never
// matches: a runtime out of version tags takes the steps, with no error
// set.
//
// Entries hold no references, so the cache keeps nothing alive and no
// finaliser's timing moves: a kept pointer is used only while the checks
// above prove its object alive.  The entry of a class that is gone stays
// until its slot is wanted again.
//
// Not used without the GIL, where another thread may change the table
// while the walk reads it, or drop the instance between the walk and the
// reference taken to it (the runtime's own lock-free reads rest on a
// try-incref of memory it keeps readable, which is not part of its API);
// nor on PyPy, whose dicts are its own and which keeps no version tags
// (compat::kInstanceCache).
#include "instance_cache.h"

#include "definitions.h"

#include <cstring>

namespace sd {

namespace cache {

namespace {

void
witness_dealloc(PyObject *self) noexcept
{
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

// clang-format off
PyTypeObject witness_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "Windows_QUMA.System.systemDefine.cache_witness",  /* tp_name */
    sizeof(PyObject),                           /* tp_basicsize */
    0,                                          /* tp_itemsize */
    witness_dealloc,                            /* tp_dealloc */
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
};
// clang-format on

Entries entries = {};
PyInterpreterState *owner = nullptr;
unsigned long epoch = 0;

namespace {

// Whether the mirror held at import: before, or without, nothing is kept.
bool prepared = false;

// The slot of `cls`, found or taken.  When taking one would fill more
// than half the table, the table is emptied first: entries of classes
// that are gone make most of it by then.
Entry *
place(PyObject *cls) noexcept
{
    Entry *found = const_cast<Entry *>(find(cls));
    if (found != nullptr) {
        return found;
    }
    if (2 * (entries.used + 1) > kSlots) {
        std::memset(entries.slots, 0, sizeof(entries.slots));
        entries.used = 0;
    }
    size_t i = home(cls);
    while (entries.slots[i].cls != nullptr) {
        i = (i + 1) & (kSlots - 1);
    }
    entries.used++;
    return &entries.slots[i];
}

// ---- The class's side ----------------------------------------------

// What a read of `_instances` in one class's own dict found.
enum class Own {
    kAbsent,
    kFound,   // `value` is its value (borrowed from the dict)
    kUnsure,  // a key that is no exact str: a lookup could run its code
};

// `_instances` in `type`'s own dict, read past the runtime's attribute
// cache without running code: the dict's keys are visited, and unless
// all of them are exact str, whose comparison is the runtime's own, the
// answer is kUnsure.
Own
own_instances(PyTypeObject *type, PyObject *&value) noexcept
{
    OwnedRef dict = compat::type_dict(type);
    if (!dict) {
        return Own::kAbsent;
    }
    Own found = Own::kAbsent;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *item = nullptr;
    while (PyDict_Next(dict.get(), &pos, &key, &item)) {
        if (!PyUnicode_CheckExact(key)) {
            return Own::kUnsure;
        }
        if (key == pool.instances ||
            PyUnicode_Compare(key, pool.instances) == 0) {
            value = item;
            found = Own::kFound;
        }
    }
    return found;
}

// The class of `mro` (the class's MRO, `cls` first) whose dict gives
// `table` as `_instances`, reading the dicts in MRO order, and in
// `classes` the mutable ones read: cls, the classes between, the holder.
// False where the read is not that (another value first, a class that
// is not a type, a dict that could run code) or more classes would have
// to be kept than the entry holds.
bool
read_through(PyObject *mro, PyTypeObject *cls, PyObject *table,
             Classes &classes) noexcept
{
    classes.count = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *item = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(item)) {
            return false;
        }
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(item);
        PyObject *value = nullptr;
        Own own = own_instances(type, value);
        if (own == Own::kUnsure) {
            return false;
        }
        if (type != cls && !compat::type_is_immutable(type)) {
            if (classes.count == kMostClasses) {
                return false;
            }
            unsigned int stamp = compat::type_stamp(type);
            if (stamp == 0) {
                return false;
            }
            classes.types[classes.count] = type;
            classes.stamps[classes.count] = stamp;
            classes.count++;
        }
        if (own == Own::kFound) {
            return value == table;
        }
    }
    return false;
}

}  // namespace

bool
all_hold(const Classes &classes) noexcept
{
    for (int i = 0; i < classes.count; ++i) {
        if (!compat::stamp_holds(classes.types[i], classes.stamps[i])) {
            return false;
        }
    }
    return true;
}

namespace {

// Whether no class of `mro`, a metaclass's MRO with the metaclass `meta`
// first, has `_instances` in its dict, and none but the metaclass can
// be changed.
bool
holds_nothing(PyObject *mro, PyTypeObject *meta) noexcept
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *item = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(item)) {
            return false;
        }
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(item);
        PyObject *value = nullptr;
        if (own_instances(type, value) != Own::kAbsent ||
            (type != meta && !compat::type_is_immutable(type))) {
            return false;
        }
    }
    return true;
}

// ---- The mirror, checked ----------------------------------------------
//
// Each sample dict gets five int keys (hashed by the runtime to
// themselves, compared without running code) that share their first
// slot, so that the runtime places each further one along the walk; the
// second is deleted before the fifth goes in, which then takes its slot.
// Its values are five distinct objects that need no allocation.

constexpr int kSampleKeys = 5;

// Numbers too large for any runtime's cache of small ints, so that each
// is a new object and its twin another.
constexpr long kLarge = 1L << 24;
// 8 positions: 1-byte slots.  All share the first slot (of 8), and differ
// in the bits that steer the walk beyond it.
constexpr long kSmallSample[kSampleKeys] = {kLarge, kLarge + 32, kLarge + 64,
                                            2 * kLarge, kLarge + 40};
// 256 positions: 2-byte slots; the first slot in the index's upper half.
constexpr long kWideSample[kSampleKeys] = {
    kLarge + 456, kLarge + 8648, kLarge + 712, kLarge + 262600, kLarge + 8904};
// A dict presized for this many keys has 256 positions on every runtime.
constexpr Py_ssize_t kWideKeys = 100;

// Whether the walk of `Keys` finds in `dict` (empty, with slots 2**log2
// bytes wide once filled) what the runtime's lookup finds: 1, 0, or -1
// with an exception set.
template <class Keys>
int
sample_holds(PyObject *dict, const long (&numbers)[kSampleKeys],
             unsigned log2) noexcept
{
    PyObject *const values[kSampleKeys] = {Py_None, Py_True, Py_False,
                                           Py_Ellipsis, Py_NotImplemented};
    OwnedRef keys[kSampleKeys];
    for (int i = 0; i < kSampleKeys; ++i) {
        keys[i] = OwnedRef::steal(PyLong_FromLong(numbers[i]));
        if (!keys[i]) {
            return -1;
        }
        if (i == kSampleKeys - 1 && PyDict_DelItem(dict, keys[1].get()) < 0) {
            return -1;
        }
        if (PyDict_SetItem(dict, keys[i].get(), values[i]) < 0) {
            return -1;
        }
    }
    const char *layout = nullptr;
    if (!Keys::general_keys(dict, layout) ||
        Keys::log2_width(layout) != log2 || !Keys::width_agrees(layout) ||
        Keys::byte_slots(layout) != (log2 == 0) ||
        Keys::entry_count(layout) != kSampleKeys) {
        return 0;
    }
    for (int i = 0; i < kSampleKeys; ++i) {
        Py_hash_t hash = PyObject_Hash(keys[i].get());
        if (hash == -1) {
            return -1;
        }
        PyObject *value = PyDict_GetItemWithError(dict, keys[i].get());
        if (value == nullptr && PyErr_Occurred()) {
            return -1;
        }
        bool gone = value == nullptr;
        Walk seen = walk_keys<Keys>(layout, keys[i].get(), hash);
        OwnedRef found = OwnedRef::steal(
            found_alone<Reach::kAll, Keys>(dict, keys[i].get(), hash));
        if (seen.met != (gone ? Met::kEmpty : Met::kKey) ||
            seen.value != value || found.get() != value) {
            return 0;
        }
        // An equal key, another object: the lookup compares it.
        OwnedRef twin = OwnedRef::steal(PyLong_FromLong(numbers[i]));
        if (!twin) {
            return -1;
        }
        seen = walk_keys<Keys>(layout, twin.get(), hash);
        found = OwnedRef::steal(
            found_alone<Reach::kAll, Keys>(dict, twin.get(), hash));
        if (twin.get() == keys[i].get() ||
            seen.met != (gone ? Met::kEmpty : Met::kOther) || found) {
            return 0;
        }
    }
    return 1;
}

// Whether the mirror `Keys` reads dicts as the runtime lays them out:
// 1, 0, or -1 with an exception set.
template <class Keys>
int
mirror_holds() noexcept
{
    OwnedRef small = OwnedRef::steal(PyDict_New());
    if (!small) {
        return -1;
    }
    int holds = sample_holds<Keys>(small.get(), kSmallSample, 0);
    if (holds <= 0) {
        return holds;
    }
    OwnedRef wide = OwnedRef::steal(compat::new_presized_dict(kWideKeys));
    if (!wide) {
        return -1;
    }
    holds = sample_holds<Keys>(wide.get(), kWideSample, 1);
    if (holds <= 0) {
        return holds;
    }
    // Keys of str only: the walk for a key of another type meets nothing
    // (and from 3.11 it does not start: they are another kind), until such
    // a key comes in.
    OwnedRef names = OwnedRef::steal(PyDict_New());
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("name"));
    OwnedRef other = OwnedRef::steal(PyLong_FromLong(kLarge));
    if (!names || !name || !other ||
        PyDict_SetItem(names.get(), name.get(), Py_None) < 0) {
        return -1;
    }
    Py_hash_t hash = PyObject_Hash(other.get());
    Py_hash_t name_hash = PyObject_Hash(name.get());
    if (hash == -1 || name_hash == -1) {
        return -1;
    }
    // The name itself: found where the runtime finds it, unless the
    // keys' kind turns the walk away.
    const char *layout = nullptr;
    bool general = Keys::general_keys(names.get(), layout);
    OwnedRef found = OwnedRef::steal(
        found_alone<Reach::kAll, Keys>(names.get(), name.get(), name_hash));
    if (found.get() != (general ? Py_None : nullptr) ||
        found_alone<Reach::kAll, Keys>(names.get(), other.get(), hash) !=
            nullptr) {
        return 0;
    }
    if (PyDict_SetItem(names.get(), other.get(), Py_True) < 0) {
        return -1;
    }
    found = OwnedRef::steal(
        found_alone<Reach::kAll, Keys>(names.get(), other.get(), hash));
    OwnedRef again = OwnedRef::steal(
        found_alone<Reach::kAll, Keys>(names.get(), name.get(), name_hash));
    return found.get() == Py_True && again.get() == Py_None ? 1 : 0;
}

// Ready the witness and check the mirror `Keys`: the cache is on only
// where it holds.  0, or -1 with an exception set.
template <class Keys>
int
prepare_with() noexcept
{
    if (prepared) {
        return 0;
    }
    // Readied once: sealed, the witness no longer shows it is.
    static bool witness_ready = false;
    if (!witness_ready) {
        if (PyType_Ready(&witness_type) < 0) {
            return -1;
        }
        compat::seal_witness(&witness_type);
        witness_ready = true;
    }
    int holds = mirror_holds<Keys>();
    if (holds < 0) {
        return -1;
    }
    if (holds > 0) {
        owner = compat::answering_interpreter();
        prepared = true;
    }
    return 0;
}

}  // namespace

unsigned long
first_epoch() noexcept
{
    if (epoch != 0) {
        // The witness lost the tag it was given: the tags restarted, and
        // a class's tag may have outlived that (see the top).  For good.
        std::memset(entries.slots, 0, sizeof(entries.slots));
        entries.used = 0;
        return 0;
    }
    if (!prepared ||
        !compat::witness_tags(&witness_type, pool.instances, true)) {
        return 0;
    }
    return epoch = 1;
}

}  // namespace cache

bool
keeps_type_protocols(PyTypeObject *meta) noexcept
{
    return meta->tp_getattro == PyType_Type.tp_getattro &&
           (meta->tp_hash == PyBaseObject_Type.tp_hash ||
            meta->tp_hash == PyType_Type.tp_hash) &&
           (meta->tp_richcompare == PyBaseObject_Type.tp_richcompare ||
            meta->tp_richcompare == PyType_Type.tp_richcompare);
}

void
keep_sighting(const Sighting &seen) noexcept
{
    if (!compat::kInstanceCache || !cache::prepared ||
        !PyDict_CheckExact(seen.table) ||
        compat::calling_interpreter() != cache::owner) {
        return;
    }
    PyTypeObject *cls = reinterpret_cast<PyTypeObject *>(seen.cls);
    PyTypeObject *meta = Py_TYPE(seen.cls);
    bool own_meta = seen.meta_stamp != 0;
    // Held: the reads below run no code, but were that wrong, what they
    // read must not be freed under them.
    OwnedRef mro = OwnedRef::borrow(seen.mro);
    OwnedRef meta_mro = OwnedRef::borrow(own_meta ? seen.meta_mro : nullptr);
    cache::Classes classes = {};
    if (!cache::read_through(mro.get(), cls, seen.table, classes) ||
        (own_meta && !cache::holds_nothing(meta_mro.get(), meta))) {
        return;
    }
    // Where tags restart, a stamp the counter has not passed may be one
    // handed out before a restart that did not take it away: the counter
    // could give it to the class again after a change.  (One it has
    // passed it gives no class again until the next restart, after which
    // nothing is kept; see the top.)
    if (compat::kTagsRestart) {
        unsigned int counter =
            compat::tag_counter(&cache::witness_type, pool.instances);
        if (counter == 0 || seen.stamp > counter ||
            (own_meta && seen.meta_stamp > counter)) {
            return;
        }
        for (int i = 0; i < classes.count; ++i) {
            if (classes.stamps[i] > counter) {
                return;
            }
        }
    }
    // Nothing is kept unless the class is still as the call saw it.
    if (!compat::stamp_holds(cls, seen.stamp) || cls->tp_mro != seen.mro ||
        Py_TYPE(seen.cls) != meta ||
        (own_meta && (!compat::stamp_holds(meta, seen.meta_stamp) ||
                      meta->tp_mro != seen.meta_mro))) {
        return;
    }
    PyTypeObject *first = cls;
    unsigned int first_stamp = seen.stamp;
    if (classes.count == 1) {
        first = classes.types[0];
        first_stamp = classes.stamps[0];
    }
    else if (classes.count > 1) {
        first = &PyType_Type;
        first_stamp = 0;
    }
    *cache::place(seen.cls) = {seen.cls,
                               own_meta ? &cache::witness_type : meta,
                               seen.stamp,
                               first_stamp,
                               seen.table,
                               seen.mro,
                               first,
                               seen.hash,
                               own_meta ? meta : nullptr,
                               seen.meta_stamp,
                               own_meta ? seen.meta_mro : nullptr,
                               classes};
}

int
prepare_instance_cache() noexcept
{
    if constexpr (!compat::kInstanceCache) {
        return 0;
    }
    else {
        return cache::prepare_with<DictKeys>();
    }
}

}  // namespace sd
