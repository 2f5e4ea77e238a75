// The source file that send's failures point into, and its lines: "main.py",
// the module send would be written in as plain Python. Each failure of send
// reports the line of the statement that failed; module execution reports
// the lines of the module body (module/lines.h).
#pragma once

namespace notify {

inline constexpr const char* source_file = "main.py";

enum class SendLine : int {
    definition = 9,  ///< def send(access_token, text): argument binding
    log = 10,        ///< logger.info(...)
    headers = 12,    ///< headers = {...}
    post = 14,       ///< r = requests.post(...)
    post_arguments = 15,  ///< url=..., data=..., headers=... of the post call
    dumps = 16,      ///< data=json.dumps(...)
    message = 17,    ///< the message dictionary
    content = 19,    ///< its "text" member's dictionary
    reply = 25,      ///< return str(r.json())
};

}  // namespace notify
