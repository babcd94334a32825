// The one definition of the process-wide state (state.h).
#include "state.h"

namespace sd {

State state;

}  // namespace sd
