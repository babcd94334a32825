// The module's process-wide state.
//
// Everything here is created by the import sequence (module.cpp), on the
// importing thread, and kept until the process ends: nothing is released
// at module teardown.  The sequence runs again only after a failed import;
// that run keeps what depends on the build alone (empty tuple and bytes,
// the string pool, __new__'s code) and replaces what depends on the run
// (globals, built-ins), releasing what the failed run held.  Between
// imports the fields are only read, under the interpreter lock.
#ifndef SYSTEMDEFINE_MODULE_H
#define SYSTEMDEFINE_MODULE_H

#include "compat.h"

namespace sd {

// Fully qualified name under which the module registers itself.
extern const char kModuleName[];

struct State {
    PyObject *globals;      // the module dictionary (strong)
    PyObject *builtins;     // the builtins module (borrowed from sys.modules)
    PyObject *empty_tuple;  // shared by code objects and __new__'s *args
    PyObject *empty_bytes;  // bytecode and line table of our code objects
    PyObject *object;       // builtins.object, looked up once
    PyObject *super;        // builtins.super, looked up once
    PyObject *new_code;     // code object of Singleton.__new__
};

extern State state;

}  // namespace sd

#endif  // SYSTEMDEFINE_MODULE_H
