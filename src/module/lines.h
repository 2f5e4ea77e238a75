// The lines of "main.py" (notify/lines.h) that failures of module execution
// report: those of the module body.
#pragma once
#include <utility>

#include "notify/lines.h"

namespace module {

enum class ModuleLine : int {
    body = 1,      ///< the set-up before the body, and __test__ = {}
    loguru = 4,    ///< from loguru import logger
    requests = 5,  ///< import requests
    json = 6,      ///< import json
    send = static_cast<int>(notify::SendLine::definition),  ///< def send(access_token, text)
};

/// The same, by name, for the test helper.
inline constexpr std::pair<const char*, ModuleLine> module_lines[] = {
    {"body", ModuleLine::body}, {"loguru", ModuleLine::loguru}, {"requests", ModuleLine::requests},
    {"json", ModuleLine::json}, {"send", ModuleLine::send},
};

}  // namespace module
