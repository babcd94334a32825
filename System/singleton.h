// The Singleton base class and its __new__.
#ifndef SYSTEMDEFINE_SINGLETON_H
#define SYSTEMDEFINE_SINGLETON_H

#include "compat.h"

namespace sd {

// The code object describing __new__: a new reference, or NULL with an
// exception set.
PyObject *new_singleton_code() noexcept;

// Create the class and bind it in the module globals.
// Returns 0, or -1 with the failure recorded.
int create_singleton() noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_SINGLETON_H
