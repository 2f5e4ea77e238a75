#include "runtime/strings.h"

#include "runtime/state.h"

namespace runtime {

int build_strings(std::span<const StringEntry> table)
{
    for (const StringEntry& entry : table) {
        if (*entry.slot != nullptr) {
            continue;
        }
        PyObject* built = entry.interned ? PyUnicode_InternFromString(entry.utf8) : PyUnicode_FromString(entry.utf8);
        if (built == nullptr || PyObject_Hash(built) == -1) {
            Py_XDECREF(built);
            return -1;
        }
        *entry.slot = built;
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
