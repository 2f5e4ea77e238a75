#include "runtime/state.h"

namespace runtime {

State g_state;

void release_caches() noexcept
{
    release_cache(g_state.switch_cache);
}

}  // namespace runtime
