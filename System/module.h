// Module frame: the entry point PyInit_systemDefine (module.cpp) and the
// name the module registers itself under.  The state the steps read lives
// in state.h.
#ifndef SYSTEMDEFINE_MODULE_H
#define SYSTEMDEFINE_MODULE_H

#include "state.h"

namespace sd {

// Fully qualified name under which the module registers itself.
extern const char kModuleName[];

// Refuse a runtime whose version text `version` (Py_GetVersion()) names
// another major.minor than the headers the module was built with: its
// objects are laid out otherwise.  A RuntimeWarning first, which callers
// may filter, then ImportError naming both versions.  0, or -1 with an
// exception set.
int check_runtime_version(const char *version) noexcept;

}  // namespace sd

#endif  // SYSTEMDEFINE_MODULE_H
