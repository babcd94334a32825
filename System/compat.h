// The one place where the module meets differences between runtime
// versions.  Everything else is written against the newest API and calls
// the helpers below; only this file tests PY_VERSION_HEX.
#ifndef SYSTEMDEFINE_COMPAT_H
#define SYSTEMDEFINE_COMPAT_H

#include "refs.h"

#include <frameobject.h>
#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// PEP 590 vectorcall arrived in 3.8 (bpo-36974); its type flag lost the
// leading underscore in 3.9.  Before 3.8 the slot after tp_dealloc is
// tp_print, a function pointer, and calls go through tp_call only.
#if PY_VERSION_HEX >= 0x03080000
#define SYSTEMDEFINE_HAVE_VECTORCALL 1
#if !defined(Py_TPFLAGS_HAVE_VECTORCALL)
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif
#define SYSTEMDEFINE_VECTORCALL_OFFSET(type, field) \
    static_cast<Py_ssize_t>(offsetof(type, field))
#define SYSTEMDEFINE_VECTORCALL_FLAGS Py_TPFLAGS_HAVE_VECTORCALL
#else
#define SYSTEMDEFINE_HAVE_VECTORCALL 0
#define SYSTEMDEFINE_VECTORCALL_OFFSET(type, field) nullptr
#define SYSTEMDEFINE_VECTORCALL_FLAGS 0
#endif

// Up to 3.8 PyMODINIT_FUNC does not mark the entry point visible, and the
// module is built with hidden visibility so that the entry point is its
// only exported symbol.  That is for ELF and Mach-O targets only: for
// Windows PyMODINIT_FUNC says dllexport, which alone makes the entry point
// the DLL's only export, and replacing it would export every function.
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__) && !defined(_WIN32) && \
    !defined(__CYGWIN__)
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC \
    extern "C" __attribute__((visibility("default"))) PyObject *
#endif

// A function kept out of line, so that a caller whose fast path does not
// reach it needs no stack frame on that path.  A hint: without it the
// code is the same, only slower.
#if defined(__GNUC__)
#define SYSTEMDEFINE_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define SYSTEMDEFINE_NOINLINE __declspec(noinline)
#else
#define SYSTEMDEFINE_NOINLINE
#endif

// A function the answered call runs, always put inline, so that the
// call needs no frame for it: compilers weigh inlining by size, and the
// answered call's checks make it larger than they take in on their own.
// A hint, as above.
#if defined(__GNUC__)
#define SYSTEMDEFINE_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define SYSTEMDEFINE_INLINE __forceinline
#else
#define SYSTEMDEFINE_INLINE inline
#endif

// Data of the module's own that inline functions of several files read:
// hidden from other libraries, so that a reader loads it directly rather
// than through the table of global offsets.  A hint, as above.
#if defined(__GNUC__) && !defined(_WIN32) && !defined(__CYGWIN__)
#define SYSTEMDEFINE_HIDDEN __attribute__((visibility("hidden")))
#else
#define SYSTEMDEFINE_HIDDEN
#endif

// PyDict_GET_SIZE() arrived in 3.7, reading the field that
// 3.6 has too.
#if PY_VERSION_HEX < 0x03070000 && !defined(PyDict_GET_SIZE)
static inline Py_ssize_t
PyDict_GET_SIZE(PyObject *op)
{
    return reinterpret_cast<PyDictObject *>(op)->ma_used;
}
#endif

// Up to 3.6 the names and docs of getset and member rows are declared as
// char * (bpo-28761 made them const in 3.7).
#define SYSTEMDEFINE_TEXT(literal) const_cast<char *>(literal)

namespace sd {
namespace compat {

// ---- Builds without the GIL (3.13t on) --------------------------------
//
// There the runtime's objects guard their fields with the object's own
// critical section, and process-wide state takes a mutex.  With a GIL
// both are empty: the GIL already serialises every reader and writer.

// The object's own critical section for the lifetime of the guard, as
// the runtime's objects take it around their fields (gh-111569).  Python
// code may run inside it: the runtime suspends the section when the
// thread blocks, so it never deadlocks as a plain lock would.
class CriticalSection {
public:
    explicit CriticalSection(PyObject *op) noexcept
    {
#if defined(Py_GIL_DISABLED)
        PyCriticalSection_Begin(&section_, op);
#else
        (void)op;
#endif
    }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    ~CriticalSection()
    {
#if defined(Py_GIL_DISABLED)
        PyCriticalSection_End(&section_);
#endif
    }

private:
#if defined(Py_GIL_DISABLED)
    PyCriticalSection section_;
#endif
};

// A field of an object read and written as the runtime accesses such
// fields without the GIL: acquire loads and release stores, so that the
// runtime's own lock-free readers (the generic attribute protocol reads
// the dictionary slot that way) see a whole value.
inline PyObject *
load_field(PyObject *const *field) noexcept
{
#if defined(Py_GIL_DISABLED)
    return static_cast<PyObject *>(_Py_atomic_load_ptr_acquire(field));
#else
    return *field;
#endif
}

inline void
store_field(PyObject **field, PyObject *value) noexcept
{
#if defined(Py_GIL_DISABLED)
    _Py_atomic_store_ptr_release(field, value);
#else
    *field = value;
#endif
}

// A mutex for process-wide state (the runtime's PyMutex, 3.13).  Never
// hold it across a call that can run Python code: it is not re-entrant.
struct Mutex {
#if defined(Py_GIL_DISABLED)
    PyMutex mutex = {0};
#endif
};

class MutexLock {
public:
    explicit MutexLock(Mutex &mutex) noexcept : mutex_(mutex)
    {
#if defined(Py_GIL_DISABLED)
        PyMutex_Lock(&mutex_.mutex);
#endif
    }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;
    ~MutexLock()
    {
#if defined(Py_GIL_DISABLED)
        PyMutex_Unlock(&mutex_.mutex);
#endif
    }

private:
    Mutex &mutex_;
};

// Tell the runtime that the module needs no GIL; without this a build
// without the GIL enables it when the module is imported (gh-116322).
inline int
declare_no_gil(PyObject *module) noexcept
{
#if defined(Py_GIL_DISABLED)
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

// Store `value` under `key` in the dict unless the key is there already:
// 0, or -1 with an exception set.  3.13 added the form that returns a new
// reference; before it the borrowed result is not used.
inline int
dict_insert_if_absent(PyObject *dict, PyObject *key, PyObject *value) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000 && !defined(PYPY_VERSION)
    PyObject *result = nullptr;
    int status = PyDict_SetDefaultRef(dict, key, value, &result);
    Py_XDECREF(result);
    return status < 0 ? -1 : 0;
#else
    return PyDict_SetDefault(dict, key, value) == nullptr ? -1 : 0;
#endif
}

// ---- PyPy -------------------------------------------------------------
//
// PyPy emulates the C API.  Its module creation leaves a missing
// docstring to the module type's, and its attribute protocol ignores a
// native type's dictionary offset.
#if defined(PYPY_VERSION)
constexpr bool kModuleDocIsSet = false;
constexpr bool kRuntimeUsesDictOffset = false;
#else
constexpr bool kModuleDocIsSet = true;
constexpr bool kRuntimeUsesDictOffset = true;
#endif

// NameError carries the missing name in its `name` attribute from 3.10 on
// (bpo-38530); the runtime's suggestions ("Did you mean") read it.
#if PY_VERSION_HEX >= 0x030A0000
constexpr bool kNameErrorHasName = true;
#else
constexpr bool kNameErrorHasName = false;
#endif

// Everything a code object is made of, in the order the constructors
// take it.  The object references are borrowed.
struct CodeFields {
    int argcount;
    int kwonlyargcount;
    int nlocals;
    int stacksize;
    int flags;
    PyObject *code;
    PyObject *consts;
    PyObject *names;
    PyObject *varnames;
    PyObject *freevars;
    PyObject *cellvars;
    PyObject *filename;
    PyObject *name;
    PyObject *qualname;  // used from 3.11 on
    int firstlineno;
    PyObject *linetable;
};

// Create a code object; returns a new reference or NULL with an exception.
//
// Up to 3.10 the fields go in as given: empty bytecode never runs there
// without an error (the evaluator reports an unknown opcode).  From 3.11 on
// the evaluator trusts the bytecode, and running an empty one crashes the
// process, so the object gets the bytecode, line table and stack size that
// the runtime's own PyCode_NewEmpty() makes for an empty body (with its
// empty exception table).  That body
// raises when run, and its line table maps every instruction to the first
// line, which is how a frame of it reports its line on 3.11+.
inline PyObject *
new_code(const CodeFields &f) noexcept
{
#if PY_VERSION_HEX >= 0x030B0000
    OwnedRef empty = OwnedRef::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty("", "", f.firstlineno)));
    if (!empty) {
        return nullptr;
    }
    PyCodeObject *empty_code = reinterpret_cast<PyCodeObject *>(empty.get());
    OwnedRef code = OwnedRef::steal(PyCode_GetCode(empty_code));
    if (!code) {
        return nullptr;
    }
    OwnedRef linetable =
        OwnedRef::steal(PyObject_GetAttrString(empty.get(), "co_linetable"));
    if (!linetable) {
        return nullptr;
    }
    OwnedRef exceptiontable = OwnedRef::steal(
        PyObject_GetAttrString(empty.get(), "co_exceptiontable"));
    if (!exceptiontable) {
        return nullptr;
    }
    int stacksize = f.stacksize > empty_code->co_stacksize
                        ? f.stacksize
                        : empty_code->co_stacksize;
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 renamed the constructor (gh-101101); the old name is deprecated.
    PyCodeObject *result = PyUnstable_Code_New(
#else
    PyCodeObject *result = PyCode_New(
#endif
        f.argcount, f.kwonlyargcount, f.nlocals, stacksize, f.flags,
        code.get(), f.consts, f.names, f.varnames, f.freevars, f.cellvars,
        f.filename, f.name, f.qualname, f.firstlineno, linetable.get(),
        exceptiontable.get());
    return reinterpret_cast<PyObject *>(result);
#else
    PyObject *code = f.code;
#if defined(PYPY_VERSION)
    // PyPy's evaluator runs off the end of empty bytecode and crashes:
    // there the body is RAISE_VARARGS 0, which raises when run.
    OwnedRef raising =
        OwnedRef::steal(PyBytes_FromStringAndSize("\x82\x00", 2));
    if (!raising) {
        return nullptr;
    }
    code = raising.get();
#endif
    PyCodeObject *result =
        PyCode_New(f.argcount, f.kwonlyargcount, f.nlocals, f.stacksize,
                   f.flags, code, f.consts, f.names, f.varnames, f.freevars,
                   f.cellvars, f.filename, f.name, f.firstlineno, f.linetable);
    return reinterpret_cast<PyObject *>(result);
#endif
}

// The value of `key` in `dict` as a new reference; empty when absent, and
// then with an exception set only if the lookup failed.  3.13 added the
// new-reference lookup (gh-106004), which no other thread can free under
// the caller; before it the borrowed value is taken at once, before
// anything else can run.
inline OwnedRef
dict_get_item(PyObject *dict, PyObject *key) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *value = nullptr;
    (void)PyDict_GetItemRef(dict, key, &value);
    return OwnedRef::steal(value);
#else
    return OwnedRef::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// Whether `dict` holds `key`, whose hash is `hash`: 1, 0, or -1 with an
// exception set.  The lookup is the dict's own, without hashing again.
// PyPy has no lookup by a known hash, and without the GIL the borrowed
// value of one could be freed by another thread: there the dict hashes
// again, which for the identity-hashed keys these are used with is the
// same.
inline int
dict_contains_known_hash(PyObject *dict, PyObject *key,
                         Py_hash_t hash) noexcept
{
#if defined(PYPY_VERSION)
    (void)hash;
    return PyDict_Contains(dict, key);
#else
    if (_PyDict_GetItem_KnownHash(dict, key, hash) != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// dict[key] for a key whose hash is `hash`, as dict_get_item() gives it.
inline OwnedRef
dict_get_item_known_hash(PyObject *dict, PyObject *key,
                         Py_hash_t hash) noexcept
{
#if defined(PYPY_VERSION) || defined(Py_GIL_DISABLED)
    (void)hash;
    return dict_get_item(dict, key);
#else
    return OwnedRef::borrow(_PyDict_GetItem_KnownHash(dict, key, hash));
#endif
}

// hash(object) for an object whose class is exactly `type`, through the
// class's own slot (PyPy's slot table is its own: there the protocol).
inline Py_hash_t
exact_type_hash(PyObject *object) noexcept
{
#if defined(PYPY_VERSION)
    return PyObject_Hash(object);
#else
    return PyType_Type.tp_hash(object);
#endif
}

// Whether `type`'s stamp (below) is `stamp`, not 0: read as the runtime's
// attribute cache compares it.
inline bool
stamp_holds(PyTypeObject *type, unsigned int stamp) noexcept
{
#if defined(PYPY_VERSION)
    (void)type;
    (void)stamp;
    return false;
#elif defined(Py_GIL_DISABLED)
    return _Py_atomic_load_uint32_acquire(&type->tp_version_tag) == stamp;
#elif PY_VERSION_HEX >= 0x030B0000
    // From 3.11 a type that loses its tag gets 0 with the flag, and the
    // runtime's specializer trusts the tag alone as this does (its class
    // attribute guards compare tp_version_tag and nothing else).
    return type->tp_version_tag == stamp;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
           type->tp_version_tag == stamp;
#endif
}

// A stamp of what lookups through `type`'s bases give: while it stays the
// same and is not 0, each lookup gives what it gave before, which is what
// the runtime's own attribute cache relies on.  Taken before a lookup, an
// unchanged stamp after it means that nothing changed the type between
// the two.  Up to 3.12 the tag holds while the type's flag says so
// (PyType_Modified() clears the flag); from 3.13 the flag is gone and a
// modified type's tag is 0.  When a tag can be handed out again is below
// (tags_witnessed(), calling_interpreter()).  Without the GIL another
// thread may be changing the tag: it is read as the runtime's own cache
// reads it.  Always 0 where the tag is not kept (PyPy): the caller then
// looks again.
inline unsigned int
type_stamp(PyTypeObject *type) noexcept
{
#if defined(PYPY_VERSION)
    (void)type;
    return 0;
#elif defined(Py_GIL_DISABLED)
    return _Py_atomic_load_uint32_acquire(&type->tp_version_tag);
#elif PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)
               ? type->tp_version_tag
               : 0;
#endif
}

// ---- When a type's tag can repeat ---------------------------------------
//
// A type's tag proves that nothing changed the type only as long as the
// runtime does not hand the same tag out again.  Per runtime:
//
// - Up to 3.10 tags come from one counter of the process, which the
//   runtime sets back to 0 when it clears its attribute cache
//   (sys._clear_type_cache(); on 3.10 also the end of every
//   sub-interpreter) and which wraps after 2**32 tags.  Before it hands
//   out a tag again it marks the tag of `object`, and with it of every
//   type below it, invalid (PyType_Modified(&PyBaseObject_Type), run when
//   the cache is cleared and whenever the counter gives 0).  A witness
//   type whose flag only the module sets tells whether that has happened
//   since the module first set it: tags_witnessed().  That marking
//   reaches only types below `object` through types that have a tag, so
//   a tag handed out before may outlive it: tag_counter().
// - From 3.11 the counter never goes back: when it runs out, types get no
//   tag (0) at all.  From 3.12 each interpreter numbers the tags of its
//   heap types itself, from the same start, so tags of two interpreters
//   meet: a tag is worth something only in the interpreter that drew it
//   (calling_interpreter()).

#if PY_VERSION_HEX < 0x030B0000 && !defined(PYPY_VERSION)
constexpr bool kTagsRestart = true;

// The witness's flags: without Py_TPFLAGS_HAVE_VERSION_TAG the runtime
// up to 3.9 gives it no tag itself; 3.10 ignores that flag.
constexpr unsigned long kWitnessFlags =
    Py_TPFLAGS_DEFAULT & ~Py_TPFLAGS_HAVE_VERSION_TAG;

// Seal `witness`, readied: no lookup but the module's own gives it a tag
// (the runtime gives a tag only to a type flagged ready, on every version
// up to 3.10; it is readied once, and nothing else asks that flag of a
// static type that cannot be subclassed or instantiated).  Reached from
// `object`'s subclasses, any code could otherwise look it up after a
// restart of the tags and have the runtime give it a tag again, hiding
// the restart.
inline void
seal_witness(PyTypeObject *witness) noexcept
{
    witness->tp_flags &= ~Py_TPFLAGS_READY;
}

// Whether no tag has been handed out again since witness_tags() last
// succeeded on `witness`, a sealed static type of the module's own that
// nothing else changes: the flag only the runtime's invalidation clears.
inline bool
tags_witnessed(PyTypeObject *witness) noexcept
{
    return PyType_HasFeature(witness, Py_TPFLAGS_VALID_VERSION_TAG);
}

// Have the runtime give `witness` a tag (looking up `name`, an interned
// name, through it), as it gives one to any type, unsealed for that
// span; false when it gave none.  The first tag after the counter went
// back is 0, which marks every tag invalid again and is no tag: with
// `again`, a second one is taken then.
inline bool
witness_tags(PyTypeObject *witness, PyObject *name, bool again) noexcept
{
    unsigned long unsealed = Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_READY;
    witness->tp_flags |= unsealed;
    for (int attempt = 0;
         attempt < (again ? 2 : 1) && !tags_witnessed(witness); ++attempt) {
        (void)_PyType_Lookup(witness, name);
    }
    witness->tp_flags &= ~unsealed;
    return tags_witnessed(witness);
}

// The tag the counter hands out next, less one: the witness given a new
// tag, which no other type has (it has no subclasses).  0 when the
// counter went back meanwhile (the witness then holds none).
inline unsigned int
tag_counter(PyTypeObject *witness, PyObject *name) noexcept
{
    PyType_Modified(witness);
    if (!witness_tags(witness, name, false)) {
        return 0;
    }
    return witness->tp_version_tag;
}
#else
// Tags are never handed out twice in one interpreter: nothing to witness.
constexpr bool kTagsRestart = false;
constexpr unsigned long kWitnessFlags = Py_TPFLAGS_DEFAULT;

inline void
seal_witness(PyTypeObject *) noexcept
{
}

inline bool
tags_witnessed(PyTypeObject *) noexcept
{
    return true;
}

inline bool
witness_tags(PyTypeObject *, PyObject *, bool) noexcept
{
    return true;
}

inline unsigned int
tag_counter(PyTypeObject *, PyObject *) noexcept
{
    return 0;
}
#endif

// The interpreter whose counter gives the tags a call sees: the calling
// thread's from 3.12, read without the runtime's check for a missing
// thread state (the caller holds the GIL, so it has one); and the one
// whose tags the cache of instances keeps, the main one.  Up to 3.11
// every interpreter draws from the one counter of the process: NULL for
// both, the same for all.
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
constexpr bool kTagsPerInterpreter = true;

inline PyInterpreterState *
calling_interpreter() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked()->interp;
#else
    // 3.13 made this read public, under the name above.
    return _PyThreadState_UncheckedGet()->interp;
#endif
}

inline PyInterpreterState *
answering_interpreter() noexcept
{
    return PyInterpreterState_Main();
}
#else
constexpr bool kTagsPerInterpreter = false;

inline PyInterpreterState *
calling_interpreter() noexcept
{
    return nullptr;
}

inline PyInterpreterState *
answering_interpreter() noexcept
{
    return nullptr;
}
#endif

// ---- Which layout a dict's keys have --------------------------------
//
// dict_layout.h mirrors it, by the runtime that lays it out: 3.6 starts
// the index with a union in the keys' header, 3.7 with a bare array; 3.11
// gives the header the log2 of its size and of its index's bytes and a
// kind of keys, in place of the size and the lookup function.  PyPy's
// dicts are its own: 0, no mirror.
#if defined(PYPY_VERSION)
#define SYSTEMDEFINE_DICT_LAYOUT 0
#elif PY_VERSION_HEX < 0x03070000
#define SYSTEMDEFINE_DICT_LAYOUT 36
#elif PY_VERSION_HEX < 0x030B0000
#define SYSTEMDEFINE_DICT_LAYOUT 37
#else
#define SYSTEMDEFINE_DICT_LAYOUT 311
#endif

// A new dict that holds `minimum` keys before it grows, or NULL with an
// exception set.
inline PyObject *
new_presized_dict(Py_ssize_t minimum) noexcept
{
#if defined(PYPY_VERSION)
    (void)minimum;
    return PyDict_New();
#else
    return _PyDict_NewPresized(minimum);
#endif
}

// Up to 3.12 setting a type's attribute stores the new value before it
// marks the type changed, and the old value is freed in between: code
// that its finalisers run finds the type's tag unchanged, naming a value
// that is going (3.13 marks the type first).
#if PY_VERSION_HEX < 0x030D0000
constexpr bool kTagOutlivesValue = true;
#else
constexpr bool kTagOutlivesValue = false;
#endif

// ---- Whether a call may be answered from what earlier calls saw ----------
//
// Not without the GIL: another thread could drop the instance from its
// table between the checks and the reference taken to it, and the
// runtime's own way to do that safely (a try-incref of memory it keeps
// readable, as its lock-free dict reads do) is not part of its API.  Not
// on PyPy, which keeps no version tags and whose dicts are its own.
#if defined(PYPY_VERSION) || defined(Py_GIL_DISABLED)
constexpr bool kInstanceCache = false;
#else
constexpr bool kInstanceCache = true;
#endif

// The attribute `name` found through `type`'s bases (the runtime's own
// cached lookup, no descriptor applied) as a new reference, or empty with
// no exception set.  3.13 added the new-reference form (gh-113743).
inline OwnedRef
type_lookup(PyTypeObject *type, PyObject *name) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return OwnedRef::steal(_PyType_LookupRef(type, name));
#else
    return OwnedRef::borrow(_PyType_Lookup(type, name));
#endif
}

// The dict of `type`'s own attributes, as a new reference (empty: none).
// From 3.12 a static built-in type keeps it per interpreter, outside
// tp_dict, and PyType_GetDict() finds it there.
inline OwnedRef
type_dict(PyTypeObject *type) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && !defined(PYPY_VERSION)
    return OwnedRef::steal(PyType_GetDict(type));
#else
    return OwnedRef::borrow(type->tp_dict);
#endif
}

// Whether no Python code can change `type`'s attributes or bases: a
// static type, or from 3.10 one flagged immutable (static types are).
inline bool
type_is_immutable(PyTypeObject *type) noexcept
{
#if PY_VERSION_HEX >= 0x030A0000
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) ||
           !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#else
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#endif
}

// Whether this import runs on behalf of another interpreter: 1, 0, or -1
// with an exception set.  From 3.13 the runtime runs a single-phase init
// function with the main interpreter active, on a thread state of its own
// that has run no Python code, and then loads the module into the
// importing interpreter from a copy of its dictionary (gh-104621).  An
// import of the interpreter's own always has the import system's frames
// on its thread.
inline int
import_for_other_interpreter() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000 && !defined(PYPY_VERSION)
    PyFrameObject *frame = PyThreadState_GetFrame(PyThreadState_Get());
    if (frame != nullptr) {
        Py_DECREF(frame);
        return 0;
    }
    return PyErr_Occurred() ? -1 : 1;
#else
    return 0;
#endif
}

// Make a frame report `line` as its current line.  Up to 3.10 the frame
// keeps the number itself.  From 3.11 on frames are opaque; a frame that
// has not run reports the first line of its code object, which new_code()
// already set to the same line.
inline void
set_frame_line(PyFrameObject *frame, int line) noexcept
{
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

}  // namespace compat
}  // namespace sd

#endif  // SYSTEMDEFINE_COMPAT_H
