// Failure locations, the traceback code-object cache and traceback entries.
#include "failure.h"

#include "state.h"

#include <cstring>

#define SYSTEMDEFINE_FILE_ID 2

namespace sd {

namespace {

// File names shown in traceback entries: the module source, and (inside
// the code name) the implementation.
const char kSourceFile[] = "Windows_QUMA\\System\\systemDefine";
const char kImplFile[] = "System\\systemDefine";

// The cache, and where there is no GIL the mutex that guards it.  The
// mutex is held only to find or insert: a code object is made outside it
// (making one can run a collection, and so Python code that fails here
// again), and only a whole one is inserted.
CodeCache code_cache;
compat::Mutex code_cache_mutex;

// The cached code object of `key`, a new reference or empty.
OwnedRef
cached_code(std::int32_t key) noexcept
{
    compat::MutexLock lock(code_cache_mutex);
    return OwnedRef::borrow(code_cache.find(key));
}

// Cache `made` under `key` unless another thread was first: the code
// object to use, a new reference.  Without room in the cache `made`
// serves this entry alone.  The caller drops its own reference to `made`
// after the lock.
OwnedRef
cache_code(std::int32_t key, const OwnedRef &made) noexcept
{
    compat::MutexLock lock(code_cache_mutex);
    PyObject *first = code_cache.find(key);
    if (first == nullptr) {
        code_cache.insert(key, made.get());
        first = made.get();
    }
    return OwnedRef::borrow(first);
}

// A new code object for an entry of `function_name` at `where`, or NULL
// with an exception set.
PyObject *
new_entry_code(const char *function_name, const Location &where) noexcept
{
    OwnedRef filename = OwnedRef::steal(PyUnicode_FromString(kSourceFile));
    if (!filename) {
        return nullptr;
    }
    OwnedRef name = OwnedRef::steal(PyUnicode_FromFormat(
        "%s (%s:%d)", function_name, kImplFile, where.impl_line));
    if (!name) {
        return nullptr;
    }
    compat::CodeFields fields = {};
    fields.code = state.empty_bytes;
    fields.consts = state.empty_tuple;
    fields.names = state.empty_tuple;
    fields.varnames = state.empty_tuple;
    fields.freevars = state.empty_tuple;
    fields.cellvars = state.empty_tuple;
    fields.filename = filename.get();
    fields.name = name.get();
    fields.qualname = name.get();
    fields.firstlineno = where.source_line;
    fields.linetable = state.empty_bytes;
    return compat::new_code(fields);
}

}  // namespace

Failed
failed_at(Location &where, int source_line, int impl_line) noexcept
{
    where.source_line = source_line;
    where.impl_line = impl_line;
    return Failed{};
}

void
add_traceback(const char *function_name, const Location &where,
              PyObject *globals) noexcept
{
    // The entry is built with the exception set aside, so that the
    // constructors below never run with an error pending.  If one of them
    // fails, its own exception is the one left pending.
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    OwnedRef saved_type = OwnedRef::steal(type);
    OwnedRef saved_value = OwnedRef::steal(value);
    OwnedRef saved_traceback = OwnedRef::steal(traceback);

    OwnedRef code = cached_code(where.impl_line);
    if (!code) {
        OwnedRef made = OwnedRef::steal(new_entry_code(function_name, where));
        if (!made) {
            return;
        }
        code = cache_code(where.impl_line, made);
    }
    // Making the frame looks up __builtins__ in the globals, which may run
    // a colliding key's __eq__: hold them.
    OwnedRef held_globals = OwnedRef::borrow(globals);
    PyFrameObject *frame = PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
        held_globals.get(), nullptr);
    OwnedRef frame_ref = OwnedRef::steal(reinterpret_cast<PyObject *>(frame));
    if (!frame_ref) {
        return;
    }
    compat::set_frame_line(frame, where.source_line);
    PyErr_Restore(saved_type.release(), saved_value.release(),
                  saved_traceback.release());
    (void)PyTraceBack_Here(frame);
}

void
raise_name_error(PyObject *name) noexcept
{
    OwnedRef message = OwnedRef::steal(
        PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!message) {
        return;
    }
    OwnedRef exc = OwnedRef::steal(
        PyObject_CallFunctionObjArgs(PyExc_NameError, message.get(), nullptr));
    if (!exc) {
        return;
    }
    // The runtime's "Did you mean" suggestion reads the name from there.
    if (compat::kNameErrorHasName &&
        PyObject_SetAttrString(exc.get(), "name", name) < 0) {
        return;
    }
    PyErr_SetObject(PyExc_NameError, exc.get());
}

std::int32_t
CodeCache::position(std::int32_t key) const noexcept
{
    // Places fail in no particular order, but a new key past the last one
    // is common enough to skip the search for it.
    if (count_ == 0 || key > entries_[count_ - 1].key) {
        return count_;
    }
    std::int32_t low = 0;
    std::int32_t high = count_;
    while (low < high) {
        std::int32_t mid = low + (high - low) / 2;
        if (entries_[mid].key < key) {
            low = mid + 1;
        }
        else {
            high = mid;
        }
    }
    return low;
}

PyObject *
CodeCache::find(std::int32_t key) const noexcept
{
    std::int32_t pos = position(key);
    if (pos < count_ && entries_[pos].key == key) {
        return entries_[pos].code;
    }
    return nullptr;
}

bool
CodeCache::insert(std::int32_t key, PyObject *code) noexcept
{
    std::int32_t pos = position(key);
    if (count_ == capacity_) {
        if (capacity_ > INT32_MAX - kChunk) {
            return false;
        }
        std::int32_t new_capacity = capacity_ + kChunk;
        size_t size = static_cast<size_t>(new_capacity) * sizeof(Entry);
        void *block = entries_ == nullptr ? PyMem_Malloc(size)
                                          : PyMem_Realloc(entries_, size);
        if (block == nullptr) {
            return false;
        }
        entries_ = static_cast<Entry *>(block);
        capacity_ = new_capacity;
    }
    if (pos < count_) {
        std::memmove(&entries_[pos + 1], &entries_[pos],
                     static_cast<size_t>(count_ - pos) * sizeof(Entry));
    }
    Py_INCREF(code);
    entries_[pos].code = code;
    entries_[pos].key = key;
    count_++;
    return true;
}

}  // namespace sd

SYSTEMDEFINE_CHECK_FILE_SIZE;
