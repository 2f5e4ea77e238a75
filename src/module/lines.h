// The lines of "main.py" (notify/lines.h) that failures of module execution
// report: those of the module body.
#pragma once
#include "notify/lines.h"

namespace module {

enum class ModuleLine : int {
    body = 1,      ///< the set-up before the body, and __test__ = {}
    loguru = 4,    ///< from loguru import logger
    requests = 5,  ///< import requests
    json = 6,      ///< import json
    send = static_cast<int>(notify::SendLine::definition),  ///< def send(access_token, text)
};

}  // namespace module
