// Module frame: the entry point PyInit_systemDefine (module.cpp) and the
// name the module registers itself under.  The state the steps read lives
// in state.h.
#ifndef SYSTEMDEFINE_MODULE_H
#define SYSTEMDEFINE_MODULE_H

#include "state.h"

namespace sd {

// Fully qualified name under which the module registers itself.
extern const char kModuleName[];

}  // namespace sd

#endif  // SYSTEMDEFINE_MODULE_H
