#include "module/version.h"

#include "runtime/python.h"

namespace module {

int check_runtime_version(int compiled_major, int compiled_minor, unsigned long running)
{
    const int major = static_cast<int>((running >> 24) & 0xFF);
    const int minor = static_cast<int>((running >> 16) & 0xFF);
    if (major == compiled_major && minor == compiled_minor) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %d.%d of module '%.100s' does not match runtime version %d.%d", compiled_major,
                  compiled_minor, "main", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) < 0 ? -1 : 0;
}

}  // namespace module
