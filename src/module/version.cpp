#include "module/version.h"

#include <cstring>

#include "runtime/python.h"

namespace module {

void major_minor_of(const char* version, char* out, std::size_t size)
{
    // Digits and at most one dot: the version up to its second dot or first
    // other character.
    std::size_t len = 0;
    bool seen_dot = false;
    while (len + 1 < size) {
        char c = version[len];
        if (c == '.' && !seen_dot) {
            seen_dot = true;
        } else if (c < '0' || c > '9') {
            break;
        }
        out[len] = c;
        ++len;
    }
    if (size > 0) {
        out[len] = '\0';
    }
}

int check_runtime_version(const char* compiled, const char* running_version)
{
    char running[32];
    major_minor_of(running_version, running, sizeof running);
    if (std::strcmp(compiled, running) == 0) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", compiled, "main",
                  running);
    return PyErr_WarnEx(nullptr, message, 1) < 0 ? -1 : 0;
}

}  // namespace module
