// The module's process-wide state: what the import sequence makes once
// and the steps of the module body and of __new__ read.
//
// Everything here is created by the import sequence (module.cpp), on the
// importing thread under the import lock, and kept until the process
// ends: nothing is released at module teardown.  The sequence runs again
// only when the runtime calls the entry point again (a failed import, or
// an import under another name); that run keeps what depends on the build
// alone (empty tuple and bytes, the string pool, __new__'s code) and
// replaces what depends on the run (globals, built-ins), releasing what
// the earlier run held.  A step never reads `globals` while it runs: each
// run and each function carries its own module globals, so that a class
// made by an earlier run keeps working with that run's objects.
#ifndef SYSTEMDEFINE_STATE_H
#define SYSTEMDEFINE_STATE_H

#include "compat.h"

namespace sd {

struct State {
    PyObject *globals;      // the last run's module dictionary (strong)
    PyObject *builtins;     // the builtins module of sys.modules (strong)
    PyObject *empty_tuple;  // shared by code objects and __new__'s *args
    PyObject *empty_bytes;  // bytecode and line table of our code objects
    PyObject *object;       // builtins.object, looked up once
    PyObject *super;        // builtins.super, looked up once
    PyObject *new_code;     // code object of Singleton.__new__
};

extern State state;

}  // namespace sd

#endif  // SYSTEMDEFINE_STATE_H
