// The Singleton base class and its __new__.
#ifndef SYSTEMDEFINE_SINGLETON_H
#define SYSTEMDEFINE_SINGLETON_H

#include "failure.h"

namespace sd {

// The code object describing __new__: a new reference, or NULL with an
// exception set.
PyObject *new_singleton_code() noexcept;

// Create the class and bind it in `globals`, the module globals of this
// run, which its __new__ also reads.  Returns 0, or -1 with the failure
// recorded in `where`.
int create_singleton(PyObject *globals, Location &where) noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_SINGLETON_H
