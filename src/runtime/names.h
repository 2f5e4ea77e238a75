// Every name and text constant used at run time, one process-wide slot per
// string: built once from the module's string table when it executes, hashed,
// and kept for the process. The layers only read them.
//
// Prefixes: name_ an interned identifier, key_ an interned identifier used as
// text, text_ a text constant, str_ a plain (non-interned) string.
#pragma once
#include "runtime/python.h"

namespace runtime {

extern PyObject* text_log_template;
extern PyObject* text_Content_Type;
extern PyObject* name_access_token;
extern PyObject* text_application_json_charset_UTF_8;
extern PyObject* name_native_line_in_traceback;
extern PyObject* key_content;
extern PyObject* name_data;
extern PyObject* name_dumps;
extern PyObject* name_headers;
extern PyObject* text_webhook_url_prefix;
extern PyObject* text_empty;
extern PyObject* name_info;
extern PyObject* name_json;
extern PyObject* name_logger;
extern PyObject* name_loguru;
extern PyObject* name_main;
extern PyObject* name_main_2;
extern PyObject* str_main_py;
extern PyObject* key_msgtype;
extern PyObject* name_name;
extern PyObject* name_post;
extern PyObject* name_r;
extern PyObject* name_requests;
extern PyObject* name_send;
extern PyObject* name_test;
extern PyObject* name_text;
extern PyObject* key_text;
extern PyObject* name_url;

// Cached constants built from the strings.
extern PyObject* tuple_log_kwnames;    // ("access_token", "text"): keyword names of the log call
extern PyObject* tuple_post_kwnames;   // ("url", "data", "headers"): keyword names of the post call
extern PyObject* tuple_send_varnames;  // ("access_token", "text", "headers", "r")
extern PyObject* code_send;            // code object shown as send.__code__

}  // namespace runtime
