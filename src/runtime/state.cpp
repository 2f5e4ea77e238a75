#include "runtime/state.h"

namespace runtime {

State g_state;

}  // namespace runtime
