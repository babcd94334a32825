// The type of function objects whose body is native code (the type of
// Singleton.__new__).  Such a function looks and binds like a plain Python
// function without a self: fetched from a class or an instance it is the
// function itself.
#ifndef SYSTEMDEFINE_FUNCTION_TYPE_H
#define SYSTEMDEFINE_FUNCTION_TYPE_H

#include "compat.h"

namespace sd {

// What a new function is made of; object references are borrowed.
struct FunctionParts {
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *code;
    PyObject *globals;
    // The body, called with the positional arguments as a tuple and the
    // keyword arguments as a dictionary or NULL.  `self` is the function.
    ternaryfunc call;
#if SYSTEMDEFINE_HAVE_VECTORCALL
    // The same body under the vectorcall protocol.
    vectorcallfunc vectorcall;
#endif
};

// Ready the type; 0 on success, -1 with an exception set.
int prepare_function_type() noexcept;

// A new function object, or NULL with an exception set.
PyObject *new_function(const FunctionParts &parts) noexcept;

// The globals of function `fn` as a new reference, or NULL (no exception)
// once the collector has cleared them.
PyObject *function_globals(PyObject *fn) noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_FUNCTION_TYPE_H
