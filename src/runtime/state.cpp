#include "runtime/state.h"

namespace runtime {

State g_state;

void forget_caches() noexcept
{
    g_state.switch_cache = DictCache{};
}

}  // namespace runtime
