// Failure locations and traceback entries.
//
// Every failing step records where it failed (the line of the module
// source and a number for the place in this implementation), leaves its
// function through the one exit, and that exit adds one traceback entry
// naming the module source file and line.  The entry's code object is made
// once per implementation place and kept in a cache for the life of the
// process.
#ifndef SYSTEMDEFINE_FAILURE_H
#define SYSTEMDEFINE_FAILURE_H

#include "compat.h"

#include <cstdint>

namespace sd {

// Implementation places are numbered SYSTEMDEFINE_FILE_ID * 1000 + the
// line, so that a number names one place in the whole module; every .cpp
// that records failures defines its own SYSTEMDEFINE_FILE_ID and ends with
// SYSTEMDEFINE_CHECK_FILE_SIZE.  One recorded failure per line.
#define SYSTEMDEFINE_IMPL_LINE (SYSTEMDEFINE_FILE_ID * 1000 + __LINE__)
#define SYSTEMDEFINE_CHECK_FILE_SIZE \
    static_assert(__LINE__ < 1000, "failure places would share numbers")

// Where a failure happened: the line of the module source whose statement
// failed and the implementation place (> 0) that recorded it.  A Location
// belongs to one call: the function that adds the traceback entry owns it
// and hands it down to the steps that may fail, so that nothing run in
// between (a finaliser, another thread, a re-entrant call of the module)
// can move the entry elsewhere.
struct Location {
    int source_line = 0;
    int impl_line = 0;
};

// Result of a failing step: converts to the failure value of either
// calling convention (NULL or -1).
struct Failed {
    operator PyObject *() const noexcept
    {
        return nullptr;
    }
    operator int() const noexcept
    {
        return -1;
    }
};

// Record in `where` the location of the step that just failed.
Failed failed_at(Location &where, int source_line, int impl_line) noexcept;

#define SD_FAIL(where, source_line) \
    ::sd::failed_at((where), (source_line), SYSTEMDEFINE_IMPL_LINE)

// Add one traceback entry for `function_name` at `where` to the pending
// exception, its frame running in `globals`.  If the entry cannot be
// built it is left out and the exception of that failure stays pending
// instead.
void add_traceback(const char *function_name, const Location &where,
                   PyObject *globals) noexcept;

// Raise NameError "name '...' is not defined" for `name`, carrying the
// name as the runtime's own name lookup does.
void raise_name_error(PyObject *name) noexcept;

// Code objects of traceback entries, keyed by implementation place.
//
// Invariant: keys[0 .. count) ascend strictly; each entry holds one strong
// reference to its code object; capacity is 0 (no array yet) or a
// multiple of kChunk.  The array comes from the runtime's allocator and is
// never freed, nor are its entries.
class CodeCache {
public:
    static constexpr std::int32_t kChunk = 64;

    // Borrowed code object stored under `key`, or NULL.
    PyObject *find(std::int32_t key) const noexcept;
    // Store a new reference to `code` under `key` (not yet present).
    // Returns false, with no exception set and nothing changed, when the
    // array cannot be created or grown.
    bool insert(std::int32_t key, PyObject *code) noexcept;
    // Index of the first entry whose key is not less than `key`.
    std::int32_t position(std::int32_t key) const noexcept;

    std::int32_t
    count() const noexcept
    {
        return count_;
    }
    std::int32_t
    capacity() const noexcept
    {
        return capacity_;
    }
    std::int32_t
    key_at(std::int32_t index) const noexcept
    {
        return entries_[index].key;
    }

private:
    struct Entry {
        PyObject *code;
        std::int32_t key;
    };
    Entry *entries_ = nullptr;
    std::int32_t count_ = 0;
    std::int32_t capacity_ = 0;
};

}  // namespace sd

#endif  // SYSTEMDEFINE_FAILURE_H
