#include "runtime/strings.h"

#include "runtime/state.h"

namespace runtime {

int build_strings(std::span<const StringEntry> table)
{
    for (const StringEntry& entry : table) {
        Py_XSETREF(*entry.slot,
                   entry.interned ? PyUnicode_InternFromString(entry.utf8) : PyUnicode_FromString(entry.utf8));
        if (*entry.slot == nullptr || PyObject_Hash(*entry.slot) == -1) {
            return -1;
        }
    }
    return 0;
}

int build_runtime_strings()
{
    const StringEntry table[] = {
        {&g_state.name_native_line_in_traceback, "native_line_in_traceback", true},
        {&g_state.name_co_name, "co_name", true},
    };
    return build_strings(table);
}

}  // namespace runtime
