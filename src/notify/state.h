// The state of send: its words, built once by build_words() when the module
// executes and kept for the process; the caches of its look-up sites,
// written by its calls.
#pragma once
#include "runtime/lookup.h"
#include "runtime/python.h"

namespace notify {

struct State {
    // Names and texts. The prefix tells the kind: name_ an identifier
    // (interned), key_ a key of the message's dictionaries, text_ a text
    // constant (both plain strings).
    PyObject* name_access_token = nullptr;
    PyObject* name_data = nullptr;
    PyObject* name_dumps = nullptr;
    PyObject* name_headers = nullptr;
    PyObject* name_info = nullptr;
    PyObject* name_json = nullptr;  ///< the global, and the reply's method
    PyObject* name_logger = nullptr;
    PyObject* name_post = nullptr;
    PyObject* name_r = nullptr;
    PyObject* name_requests = nullptr;
    PyObject* name_send = nullptr;
    PyObject* name_text = nullptr;  ///< the parameter, and the message's key and type
    PyObject* name_url = nullptr;
    PyObject* key_content = nullptr;
    PyObject* key_msgtype = nullptr;
    PyObject* text_log_template = nullptr;
    PyObject* text_Content_Type = nullptr;
    PyObject* text_application_json_charset_UTF_8 = nullptr;
    /// The webhook URL up to the token, which send appends as format(token, "")
    /// renders it: what str.format makes of "...?access_token={access_token}".
    PyObject* text_webhook_url_prefix = nullptr;
    PyObject* text_empty = nullptr;
    PyObject* text_main_py = nullptr;

    // Constants made from them.
    PyObject* tuple_log_kwnames = nullptr;    ///< ("access_token", "text"): keywords of the log call
    PyObject* tuple_post_kwnames = nullptr;   ///< ("url", "data", "headers"): keywords of the post call
    PyObject* tuple_send_varnames = nullptr;  ///< ("access_token", "text", "headers", "r")
    PyObject* code_send = nullptr;            ///< the code object shown as send.__code__

    // One cache per global the body reads.
    runtime::DictCache logger_cache;
    runtime::DictCache requests_cache;
    runtime::DictCache json_cache;
};

extern State g_state;

}  // namespace notify
