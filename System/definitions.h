// The definition table and the string pool.
#ifndef SYSTEMDEFINE_DEFINITIONS_H
#define SYSTEMDEFINE_DEFINITIONS_H

#include "failure.h"

namespace sd {

// Names and values that the rest of the module uses, created once by
// create_string_pool() and never released.  All names are interned.
struct Pool {
    PyObject *singleton;     // "Singleton"
    PyObject *test;          // "__test__"
    PyObject *instances;     // "_instances"
    PyObject *new_;          // "__new__"
    PyObject *module;        // "__module__"
    PyObject *qualname;      // "__qualname__"
    PyObject *prepare;       // "__prepare__"
    PyObject *metaclass;     // "__metaclass__"
    PyObject *object;        // "object"
    PyObject *super;         // "super"
    PyObject *class_;        // "class_"
    PyObject *args;          // "args"
    PyObject *kwargs;        // "kwargs"
    PyObject *new_qualname;  // "Singleton.__new__"
    PyObject *module_name;   // the fully qualified module name
    PyObject *new_filename;  // file name of __new__'s code (not interned)
};

extern Pool pool;

// Create every name and text value, then the integer value, skipping
// those that an earlier run of the import sequence made.
// Returns 0, or -1 with the failure recorded in `where`.
int create_string_pool(Location &where) noexcept;

// Store the definitions into `globals` in table order.
// Returns 0, or -1 with the failure recorded in `where`.
int bind_definitions(PyObject *globals, Location &where) noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_DEFINITIONS_H
