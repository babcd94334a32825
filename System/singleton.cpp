// The Singleton base class: created at import, its __new__ keeps one
// instance per class in the table reached as `class_._instances`.
#include "singleton.h"

#include "definitions.h"
#include "failure.h"
#include "function_type.h"
#include "instance_cache.h"
#include "state.h"

#define SYSTEMDEFINE_FILE_ID 4

namespace sd {

namespace {

const char kNewFunctionName[] =
    "Windows_QUMA.System.systemDefine.Singleton.__new__";
const char kMetaclassConflict[] =
    "metaclass conflict: the metaclass of a derived class must be a "
    "(non-strict) subclass of the metaclasses of all its bases";

// Call `callable` like the runtime's evaluator does, counting against the
// recursion limit.
PyObject *
call_checked(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept
{
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result = PyObject_Call(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError,
                        "NULL result without error in PyObject_Call");
    }
    return result;
}

// ---- Arguments --------------------------------------------------------
//
// __new__(class_, *args, **kwargs) is reached with the keywords either as
// a dictionary (tp_call) or as names beside the values (vectorcall).  Both
// become one Keywords view, so that binding and creation see the same
// thing whichever way the call came.

bool
is_class_name(PyObject *key) noexcept
{
    return key == pool.class_ ||
           (PyUnicode_Check(key) && PyUnicode_Compare(key, pool.class_) == 0);
}

// The keyword arguments of one call, names beside values, unchanged for
// the whole call whatever code runs meanwhile.  Under vectorcall they are
// the caller's own arrays, which it keeps for the call; a dictionary's
// items are a KeywordCopy's.
class Keywords {
public:
    Keywords() noexcept = default;

    // Vectorcall's names tuple (or NULL: no keywords) and their values.
    Keywords(PyObject *kwnames, PyObject *const *values) noexcept
    {
        if (kwnames != nullptr) {
            present_ = true;
            size_ = PyTuple_GET_SIZE(kwnames);
            names_ = &PyTuple_GET_ITEM(kwnames, 0);
            values_ = values;
        }
    }

    // `size` names from `names` on, their values from `values` on.
    Keywords(PyObject *const *names, PyObject *const *values,
             Py_ssize_t size) noexcept
        : present_(true), size_(size), names_(names), values_(values)
    {
    }

    bool
    present() const noexcept
    {
        return present_;
    }
    Py_ssize_t
    size() const noexcept
    {
        return size_;
    }
    PyObject *
    name(Py_ssize_t i) const noexcept
    {
        return names_[i];
    }
    PyObject *
    value(Py_ssize_t i) const noexcept
    {
        return values_[i];
    }
    // Index of the first keyword named class_, or -1.
    Py_ssize_t
    find_class() const noexcept
    {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            if (is_class_name(names_[i])) {
                return i;
            }
        }
        return -1;
    }

private:
    bool present_ = false;
    Py_ssize_t size_ = 0;
    PyObject *const *names_ = nullptr;
    PyObject *const *values_ = nullptr;
};

// The items of a call's keyword dictionary, held for the call.  The
// dictionary may be the caller's own, which code run by the steps (a
// metaclass hook at line 6, say) could change: its items are copied first,
// so that the parent's __new__ receives the keywords as the call passed
// them.  Up to kInline items need no allocation.
class KeywordCopy {
public:
    KeywordCopy() noexcept = default;
    KeywordCopy(const KeywordCopy &) = delete;
    KeywordCopy &operator=(const KeywordCopy &) = delete;
    ~KeywordCopy()
    {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Py_DECREF(held_[i]);
            Py_DECREF(held_[room_ + i]);
        }
        if (held_ != inline_) {
            PyMem_Free(held_);
        }
    }

    // Copy the items of `dict` (or NULL: no keywords) and view them in
    // `keywords`.  Returns -1 with MemoryError when there is no room for
    // them.
    int
    copy(PyObject *dict, Keywords &keywords) noexcept
    {
        if (dict == nullptr) {
            return 0;
        }
        // Without the GIL another thread could change the dictionary
        // meanwhile: its own critical section keeps it still.
        compat::CriticalSection section(dict);
        Py_ssize_t size = PyDict_GET_SIZE(dict);
        if (size > kInline) {
            held_ = static_cast<PyObject **>(
                PyMem_Malloc(2 * static_cast<size_t>(size) * sizeof(*held_)));
            if (held_ == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            room_ = size;
        }
        // Nothing below runs Python code, so the dictionary stays as it was.
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (size_ < size && PyDict_Next(dict, &pos, &key, &value)) {
            Py_INCREF(key);
            Py_INCREF(value);
            held_[size_] = key;
            held_[room_ + size_] = value;
            ++size_;
        }
        keywords = Keywords(held_, held_ + room_, size_);
        return 0;
    }

private:
    static constexpr Py_ssize_t kInline = 8;
    PyObject *inline_[2 * kInline];
    PyObject **held_ = inline_;  // names, then their values from
    Py_ssize_t room_ = kInline;  // held_[room_] on
    Py_ssize_t size_ = 0;
};

// The positional arguments of a call.
struct Positional {
    PyObject *const *items;
    Py_ssize_t count;
    PyObject *tuple;  // the call's own tuple of them, or NULL
};

// The argument count is wrong only when no positional argument came, so
// the runtime's message "%.200s() takes %.8s %zd positional argument%.1s
// (%zd given)" always reads the same; formatting it anew each time would
// be most of the cost of a failing call.
const char kArgumentCount[] =
    "__new__() takes at least 1 positional argument (0 given)";

// bind() for a call with keywords, `class_` already set from the first
// positional argument if one came.
int
bind_keywords(const Positional &positional, const Keywords &keywords,
              PyObject *&class_, Location &where) noexcept
{
    Py_ssize_t remaining = keywords.size();
    if (positional.count == 0) {
        Py_ssize_t index = keywords.find_class();
        if (index < 0) {
            PyErr_SetString(PyExc_TypeError, kArgumentCount);
            return SD_FAIL(where, 5);
        }
        class_ = keywords.value(index);
        remaining--;
    }
    if (remaining == 0) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < keywords.size(); ++i) {
        PyObject *key = keywords.name(i);
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError,
                            "__new__() keywords must be strings");
            return SD_FAIL(where, 5);
        }
        if (is_class_name(key)) {
            if (positional.count > 0) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword "
                             "argument '%U'",
                             "__new__", key);
                return SD_FAIL(where, 5);
            }
            class_ = keywords.value(i);
        }
    }
    return 0;
}

// Bind the call's arguments to (class_, *args, **kwargs), checking every
// rule.  Nothing is allocated here: *args and **kwargs stay views of the
// call's arguments until an instance has to be created, so a call that
// finds its instance makes no object at all.  Returns 0, or -1 with the
// failure recorded in `where`.
int
bind(const Positional &positional, const Keywords &keywords, PyObject *&class_,
     Location &where) noexcept
{
    if (positional.count > 0) {
        class_ = positional.items[0];
    }
    if (keywords.present()) {
        return bind_keywords(positional, keywords, class_, where);
    }
    if (positional.count == 0) {
        PyErr_SetString(PyExc_TypeError, kArgumentCount);
        return SD_FAIL(where, 5);
    }
    return 0;
}

// The dictionary for **kwargs: every keyword but class_.  Storing may run
// a key's __hash__; the names and values are the call's or held by the
// KeywordCopy, so they outlive it.
OwnedRef
creation_kwargs(const Keywords &keywords) noexcept
{
    OwnedRef kwargs = OwnedRef::steal(PyDict_New());
    if (!kwargs) {
        return kwargs;
    }
    for (Py_ssize_t i = 0; i < keywords.size(); ++i) {
        PyObject *key = keywords.name(i);
        if (is_class_name(key)) {
            continue;
        }
        if (PyDict_SetItem(kwargs.get(), key, keywords.value(i)) < 0) {
            return OwnedRef();
        }
    }
    return kwargs;
}

// ---- Body -------------------------------------------------------------

// The positional arguments for the parent's __new__: class_ followed by
// *args, which is the call's own positional arguments whenever it had any.
OwnedRef
creation_args(PyObject *class_, const Positional &positional) noexcept
{
    if (positional.count == 0) {
        return OwnedRef::steal(PyTuple_Pack(1, class_));
    }
    if (positional.tuple != nullptr) {
        return OwnedRef::borrow(positional.tuple);
    }
    OwnedRef args = OwnedRef::steal(PyTuple_New(positional.count));
    if (!args) {
        return args;
    }
    for (Py_ssize_t i = 0; i < positional.count; ++i) {
        Py_INCREF(positional.items[i]);
        PyTuple_SET_ITEM(args.get(), i, positional.items[i]);
    }
    return args;
}

// The current binding of `Singleton` as the body of a Python function
// sees it: in the function's own globals, then in the builtins.
OwnedRef
lookup_singleton(PyObject *self) noexcept
{
    OwnedRef globals = OwnedRef::steal(function_globals(self));
    if (globals) {
        OwnedRef found = compat::dict_get_item(globals.get(), pool.singleton);
        if (found || PyErr_Occurred()) {
            return found;
        }
    }
    OwnedRef builtins = OwnedRef::borrow(state.builtins);
    OwnedRef builtin =
        OwnedRef::steal(PyObject_GetAttr(builtins.get(), pool.singleton));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_name_error(pool.singleton);
    }
    return builtin;
}

// How the body reaches class_'s table.
//
// When class_'s metaclass is `type` itself, or keeps type's attribute
// access, hash and comparison and has no `_instances` of its own, nothing
// of what a fetch does can run code until the table's own lookups:
// fetching the attribute is the class's own lookup through its bases, a
// plain dict found there has no __get__, and the class hashes by
// identity.  That much is done here directly, with the runtime's cached
// attribute lookup and the hash taken with the fetch.  Every fetch is
// made, as the steps make it, and each one asks the metaclass anew:
// between two of them a parent __new__ or a colliding key's __eq__ may
// have changed a class the fetch reads, which the class's own stamp does
// not always show (instance_cache.cpp), or the metaclass itself (given it
// an `_instances`, a __hash__ or an attribute hook of its own, or been
// replaced by assigning class_.__class__).  The table's lookups are made
// as often as the steps make them too, since such a key sees each of
// them; what the fast ones take from the last fetch (the hash), nothing
// can change between that fetch and them.
class Access {
public:
    explicit Access(PyObject *cls) noexcept
        : class_(cls), epoch_(cache::tags_epoch())
    {
    }

    // class_._instances, a new reference or NULL with an exception set.
    OwnedRef
    table() noexcept
    {
        stamp_ = 0;
        hash_ = -1;
        if (plain_metaclass()) {
            unsigned int stamp = compat::type_stamp(type());
            PyObject *mro = type()->tp_mro;
            OwnedRef found = compat::type_lookup(type(), pool.instances);
            if (found && PyDict_CheckExact(found.get())) {
                stamp_ = stamp;
                mro_ = mro;
                hash_ = compat::exact_type_hash(class_);
                return found;
            }
        }
        return OwnedRef::steal(PyObject_GetAttr(class_, pool.instances));
    }

    // class_ in table: 1, 0, or -1 with an exception set.
    int
    contains(PyObject *table) const noexcept
    {
        if (hash_ != -1 && PyDict_CheckExact(table)) {
            return compat::dict_contains_known_hash(table, class_, hash_);
        }
        return PySequence_Contains(table, class_);
    }

    // table[class_], a new reference or NULL with an exception set; a
    // plain dict raises KeyError(class_) for a missing key (a class is
    // never the tuple it would wrap).
    OwnedRef
    read(PyObject *table) const noexcept
    {
        if (hash_ == -1 || !PyDict_CheckExact(table)) {
            return OwnedRef::steal(PyObject_GetItem(table, class_));
        }
        OwnedRef instance =
            compat::dict_get_item_known_hash(table, class_, hash_);
        if (!instance && !PyErr_Occurred()) {
            PyErr_SetObject(PyExc_KeyError, class_);
        }
        return instance;
    }

    // Keep for later calls that `table`, from the last fetch, held
    // class_, if nothing has changed the class since.
    void
    keep(PyObject *table) const noexcept
    {
        if (compat::kInstanceCache && unchanged()) {
            keep_sighting(
                {class_, stamp_, meta_stamp_, table, mro_, meta_mro_, hash_});
        }
    }

private:
    PyTypeObject *
    type() const noexcept
    {
        return reinterpret_cast<PyTypeObject *>(class_);
    }

    // Whether class_'s metaclass, as it is now, leaves the fetch to the
    // class's own lookup.  Its stamp is taken before the lookup, like the
    // class's in table(); nothing of it is read after the lookup, which
    // may run code (a colliding key in its dict) that replaces it.
    bool
    plain_metaclass() noexcept
    {
        meta_ = Py_TYPE(class_);
        meta_stamp_ = 0;
        meta_mro_ = nullptr;
        if (meta_ == &PyType_Type) {
            return true;
        }
        if (!keeps_type_protocols(meta_)) {
            return false;
        }
        unsigned int stamp = compat::type_stamp(meta_);
        PyObject *mro = meta_->tp_mro;
        if (stamp == 0 || compat::type_lookup(meta_, pool.instances)) {
            return false;
        }
        meta_stamp_ = stamp;
        meta_mro_ = mro;
        return true;
    }

    // Whether a fetch now gives what the last fast one gave.  The MROs
    // are compared as well: the runtime can put an MRO back without
    // changing the tag (instance_cache.cpp).  A metaclass at the address
    // of the last fetch's is that one while its stamp holds (a new class
    // never carries an old tag), and is read only once it is class_'s,
    // which holds it.
    bool
    unchanged() const noexcept
    {
        return stamp_ != 0 && cache::same_epoch(epoch_) &&
               compat::type_stamp(type()) == stamp_ &&
               type()->tp_mro == mro_ && Py_TYPE(class_) == meta_ &&
               (meta_stamp_ == 0 ||
                (compat::type_stamp(meta_) == meta_stamp_ &&
                 meta_->tp_mro == meta_mro_));
    }

    PyObject *class_;
    unsigned long epoch_;           // of the stamps below (instance_cache.h)
    PyTypeObject *meta_ = nullptr;  // class_'s metaclass at the last fetch
    Py_hash_t hash_ = -1;           // class_'s identity hash, or -1: protocols
    unsigned int stamp_ = 0;        // class_'s stamp at the last fast fetch
    unsigned int meta_stamp_ = 0;   // meta_'s, when it is not `type`
    PyObject *mro_ = nullptr;       // class_'s MRO with stamp_ (compared only)
    PyObject *meta_mro_ = nullptr;  // meta_'s with meta_stamp_ (compared only)
};

// table[class_] = instance, unless a plain dict has an instance for
// class_ by now: a parent __new__ that let another thread in, or that
// instantiated class_ itself, made one meanwhile, and storing over it
// would hand two callers two instances of a class that promises one.
// Every caller then returns what the table holds.  Other tables take the
// store as it comes.
int
store_instance(PyObject *table, PyObject *class_, PyObject *instance) noexcept
{
    if (!PyDict_CheckExact(table)) {
        return PyObject_SetItem(table, class_, instance);
    }
    return compat::dict_insert_if_absent(table, class_, instance);
}

// First instantiation of class_: super(Singleton, class_).__new__(class_,
// *args, **kwargs), stored in the table under class_.
int
create_instance(PyObject *self, PyObject *class_, Access &access,
                const Positional &positional, const Keywords &keywords,
                Location &where) noexcept
{
    OwnedRef kwargs = creation_kwargs(keywords);
    if (!kwargs) {
        return SD_FAIL(where, 7);
    }
    OwnedRef base = lookup_singleton(self);
    if (!base) {
        return SD_FAIL(where, 7);
    }
    OwnedRef super_args = OwnedRef::steal(PyTuple_Pack(2, base.get(), class_));
    if (!super_args) {
        return SD_FAIL(where, 7);
    }
    OwnedRef super = OwnedRef::borrow(state.super);
    OwnedRef proxy =
        OwnedRef::steal(call_checked(super.get(), super_args.get(), nullptr));
    if (!proxy) {
        return SD_FAIL(where, 7);
    }
    OwnedRef parent_new =
        OwnedRef::steal(PyObject_GetAttr(proxy.get(), pool.new_));
    if (!parent_new) {
        return SD_FAIL(where, 7);
    }
    OwnedRef args = creation_args(class_, positional);
    if (!args) {
        return SD_FAIL(where, 7);
    }
    OwnedRef instance = OwnedRef::steal(
        call_checked(parent_new.get(), args.get(), kwargs.get()));
    if (!instance) {
        return SD_FAIL(where, 7);
    }
    OwnedRef table = access.table();
    if (!table) {
        return SD_FAIL(where, 7);
    }
    if (store_instance(table.get(), class_, instance.get()) < 0) {
        return SD_FAIL(where, 7);
    }
    return 0;
}

// The body: the instance of class_ from its table, made on first use.
// Each step is the one a Python body would take, in its order, so that
// any code it runs (a metaclass hook, a table's own methods, a key's
// __eq__) sees the same lookups.
PyObject *
new_body(PyObject *self, PyObject *class_, const Positional &positional,
         const Keywords &keywords, Location &where) noexcept
{
    Access access(class_);
    OwnedRef table = access.table();
    if (!table) {
        return SD_FAIL(where, 6);
    }
    int found = access.contains(table.get());
    if (found < 0) {
        return SD_FAIL(where, 6);
    }
    table.reset();
    if (!found && create_instance(self, class_, access, positional, keywords,
                                  where) < 0) {
        return nullptr;
    }
    table = access.table();
    if (!table) {
        return SD_FAIL(where, 8);
    }
    OwnedRef instance = access.read(table.get());
    if (!instance) {
        return SD_FAIL(where, 8);
    }
    if (found) {
        access.keep(table.get());
    }
    return instance.release();
}

// The traceback entry of a failure of __new__ (function `self`) at
// `where`, in the function's own globals.
void
report_new_failure(PyObject *self, const Location &where) noexcept
{
    OwnedRef globals = OwnedRef::steal(function_globals(self));
    add_traceback(kNewFunctionName, where,
                  globals ? globals.get() : state.globals);
}

// __new__ but the traceback entry; its references are gone when it
// returns, while `where` still tells where it failed.
PyObject *
new_steps(PyObject *self, const Positional &positional,
          const Keywords &keywords, Location &where) noexcept
{
    // Borrowed from the call's arguments, which the caller (or the
    // KeywordCopy) holds until the call returns.
    PyObject *class_ = nullptr;
    if (bind(positional, keywords, class_, where) < 0) {
        return nullptr;
    }
    // A call without keywords has asked already, for a small table only
    // (kept_instance()); a call of a class whose table is larger asks
    // here.
    if (answering()) {
        PyObject *kept = cached_instance<cache::Reach::kAll>(class_);
        if (kept != nullptr) {
            return kept;
        }
    }
    return new_body(self, class_, positional, keywords, where);
}

// The instance for a call without keywords from the cache of instances,
// before anything else is set up: binding such a call gives class_ its
// first argument and checks nothing more.  NULL: take the steps, or walk
// on first where `rest` says so.  Put inline, like what it runs: it is
// the answered call.
SYSTEMDEFINE_INLINE PyObject *
kept_instance(PyObject *const *args, Py_ssize_t nargs,
              cache::Rest &rest) noexcept
{
    return nargs > 0 && answering()
               ? cached_instance<cache::Reach::kSmall>(args[0], &rest)
               : nullptr;
}

SYSTEMDEFINE_NOINLINE PyObject *
singleton_new(PyObject *self, const Positional &positional,
              const Keywords &keywords) noexcept
{
    Location where;
    PyObject *instance = new_steps(self, positional, keywords, where);
    if (instance == nullptr) {
        report_new_failure(self, where);
    }
    return instance;
}

// The tuple-and-dict convention, past the cache: the keywords copied,
// then the steps.
SYSTEMDEFINE_NOINLINE PyObject *
singleton_new_copied(PyObject *self, PyObject *args, PyObject *kwargs) noexcept
{
    Keywords keywords;
    KeywordCopy copy;
    if (copy.copy(kwargs, keywords) < 0) {
        return nullptr;
    }
    Positional positional = {&PyTuple_GET_ITEM(args, 0),
                             PyTuple_GET_SIZE(args), args};
    return singleton_new(self, positional, keywords);
}

// singleton_new_copied(), once the cache's walk is done where the cache
// left it (kept_instance()).
SYSTEMDEFINE_NOINLINE PyObject *
singleton_new_walked(PyObject *self, PyObject *args, PyObject *kwargs,
                     const char *keys, Py_hash_t hash) noexcept
{
    PyObject *kept = walk_rest(PyTuple_GET_ITEM(args, 0), {keys, hash});
    if (kept != nullptr) {
        return kept;
    }
    return singleton_new_copied(self, args, kwargs);
}

PyObject *
singleton_new_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept
{
    // An empty dict binds as no keywords would when class_ comes first.
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        cache::Rest rest = {nullptr, 0};
        PyObject *kept = kept_instance(&PyTuple_GET_ITEM(args, 0),
                                       PyTuple_GET_SIZE(args), rest);
        if (kept != nullptr) {
            return kept;
        }
        if (rest.keys != nullptr) {
            return singleton_new_walked(self, args, kwargs, rest.keys,
                                        rest.hash);
        }
    }
    return singleton_new_copied(self, args, kwargs);
}

#if SYSTEMDEFINE_HAVE_VECTORCALL
// The vectorcall convention, past the cache.  Out of line and called
// last, so that a call the cache answers sets up no frame.
SYSTEMDEFINE_NOINLINE PyObject *
singleton_new_vector_steps(PyObject *self, PyObject *const *args,
                           size_t nargsf, PyObject *kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Positional positional = {args, nargs, nullptr};
    Keywords keywords(kwnames, args + nargs);
    return singleton_new(self, positional, keywords);
}

// singleton_new_vector_steps(), once the cache's walk is done where the
// cache left it (kept_instance()).
SYSTEMDEFINE_NOINLINE PyObject *
singleton_new_vector_walked(PyObject *self, PyObject *const *args,
                            size_t nargsf, const char *keys,
                            Py_hash_t hash) noexcept
{
    PyObject *kept = walk_rest(args[0], {keys, hash});
    if (kept != nullptr) {
        return kept;
    }
    return singleton_new_vector_steps(self, args, nargsf, nullptr);
}

PyObject *
singleton_new_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames) noexcept
{
    if (kwnames == nullptr) {
        cache::Rest rest = {nullptr, 0};
        PyObject *kept = kept_instance(args, PyVectorcall_NARGS(nargsf), rest);
        if (kept != nullptr) {
            return kept;
        }
        // Called last, so that the answered call needs no more frame.
        if (rest.keys != nullptr) {
            return singleton_new_vector_walked(self, args, nargsf, rest.keys,
                                               rest.hash);
        }
        return singleton_new_vector_steps(self, args, nargsf, nullptr);
    }
    return singleton_new_vector_steps(self, args, nargsf, kwnames);
}
#endif

// ---- Class creation ---------------------------------------------------

// The most derived metaclass of `bases` (borrowed), or NULL with an
// exception set.
PyObject *
calculate_metaclass(PyObject *bases) noexcept
{
    PyObject *winner = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        PyObject *meta = reinterpret_cast<PyObject *>(candidate);
        if (winner == nullptr) {
            winner = meta;
            continue;
        }
        PyTypeObject *current = reinterpret_cast<PyTypeObject *>(winner);
        if (PyType_IsSubtype(current, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, current)) {
            winner = meta;
            continue;
        }
        PyErr_SetString(PyExc_TypeError, kMetaclassConflict);
        return nullptr;
    }
    if (winner == nullptr) {
        winner = reinterpret_cast<PyObject *>(&PyType_Type);
    }
    return winner;
}

// The class namespace from the metaclass's __prepare__, or a new dict when
// it has none.
OwnedRef
prepare_namespace(PyObject *metaclass, PyObject *bases) noexcept
{
    OwnedRef prepare =
        OwnedRef::steal(PyObject_GetAttr(metaclass, pool.prepare));
    if (!prepare) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return prepare;
        }
        PyErr_Clear();
        return OwnedRef::steal(PyDict_New());
    }
    OwnedRef args = OwnedRef::steal(PyTuple_Pack(2, pool.singleton, bases));
    if (!args) {
        return args;
    }
    return OwnedRef::steal(PyObject_Call(prepare.get(), args.get(), nullptr));
}

}  // namespace

PyObject *
new_singleton_code() noexcept
{
    OwnedRef varnames =
        OwnedRef::steal(PyTuple_Pack(3, pool.class_, pool.args, pool.kwargs));
    if (!varnames) {
        return nullptr;
    }
    compat::CodeFields fields = {};
    fields.argcount = 1;
    fields.kwonlyargcount = 0;
    fields.nlocals = 3;
    fields.stacksize = 0;
    fields.flags = CO_VARARGS | CO_VARKEYWORDS;
    fields.code = state.empty_bytes;
    fields.consts = state.empty_tuple;
    fields.names = state.empty_tuple;
    fields.varnames = varnames.get();
    fields.freevars = state.empty_tuple;
    fields.cellvars = state.empty_tuple;
    fields.filename = pool.new_filename;
    fields.name = pool.new_;
    fields.qualname = pool.new_qualname;
    fields.firstlineno = 5;
    fields.linetable = state.empty_bytes;
    return compat::new_code(fields);
}

int
create_singleton(PyObject *globals, Location &where) noexcept
{
    OwnedRef bases = OwnedRef::steal(PyTuple_Pack(1, state.object));
    if (!bases) {
        return SD_FAIL(where, 2);
    }
    // Held: the hooks below may rebind the base's class and so drop the
    // last other reference to it.
    OwnedRef metaclass = OwnedRef::borrow(calculate_metaclass(bases.get()));
    if (!metaclass) {
        return SD_FAIL(where, 2);
    }
    OwnedRef ns = prepare_namespace(metaclass.get(), bases.get());
    if (!ns) {
        return SD_FAIL(where, 2);
    }
    if (PyObject_SetItem(ns.get(), pool.module, pool.module_name) < 0) {
        return SD_FAIL(where, 2);
    }
    if (PyObject_SetItem(ns.get(), pool.qualname, pool.singleton) < 0) {
        return SD_FAIL(where, 2);
    }

    OwnedRef table = OwnedRef::steal(PyDict_New());
    if (!table) {
        return SD_FAIL(where, 3);
    }
    if (PyObject_SetItem(ns.get(), pool.instances, table.get()) < 0) {
        return SD_FAIL(where, 3);
    }

    FunctionParts parts = {};
    parts.name = pool.new_;
    parts.qualname = pool.new_qualname;
    parts.module = pool.module_name;
    parts.code = state.new_code;
    parts.globals = globals;
    parts.call = singleton_new_call;
#if SYSTEMDEFINE_HAVE_VECTORCALL
    parts.vectorcall = singleton_new_vectorcall;
#endif
    OwnedRef new_function_object = OwnedRef::steal(new_function(parts));
    if (!new_function_object) {
        return SD_FAIL(where, 5);
    }
    if (PyObject_SetItem(ns.get(), pool.new_, new_function_object.get()) < 0) {
        return SD_FAIL(where, 5);
    }

    // A namespace from a custom __prepare__ may name the metaclass itself.
    OwnedRef declared =
        OwnedRef::steal(PyObject_GetItem(ns.get(), pool.metaclass));
    if (!declared) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            return SD_FAIL(where, 2);
        }
        PyErr_Clear();
    }
    OwnedRef args = OwnedRef::steal(
        PyTuple_Pack(3, pool.singleton, bases.get(), ns.get()));
    if (!args) {
        return SD_FAIL(where, 2);
    }
    OwnedRef cls = OwnedRef::steal(PyObject_Call(
        declared ? declared.get() : metaclass.get(), args.get(), nullptr));
    if (!cls) {
        return SD_FAIL(where, 2);
    }
    if (PyDict_SetItem(globals, pool.singleton, cls.get()) < 0) {
        return SD_FAIL(where, 2);
    }
    return 0;
}

}  // namespace sd

SYSTEMDEFINE_CHECK_FILE_SIZE;
