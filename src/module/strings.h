// Every name and text constant used at run time: built once from one static
// table when the module executes, hashed, and kept for the process.
//
// Prefixes: name_ an interned identifier, key_ an interned identifier used as
// text, text_ a text constant, str_ a plain (non-interned) string.
#pragma once
#include "runtime/python.h"

namespace module {

struct StringTableEntry {
    PyObject** target;     // slot that receives the object; null ends the table
    const char* chars;     // NUL-terminated UTF-8
    Py_ssize_t size;       // bytes including the NUL
    const char* encoding;  // codec name, or null for UTF-8
    char is_text;
    char is_native_str;
    char interned;
};

extern const StringTableEntry string_table[];

extern PyObject* text_log_template;
extern PyObject* text_Content_Type;
extern PyObject* name_access_token;
extern PyObject* text_application_json_charset_UTF_8;
extern PyObject* name_native_line_in_traceback;
extern PyObject* key_content;
extern PyObject* name_data;
extern PyObject* name_dumps;
extern PyObject* name_format;
extern PyObject* name_headers;
extern PyObject* text_webhook_url;
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
extern PyObject* tuple_log_args;       // (text_log_template,)
extern PyObject* tuple_send_varnames;  // ("access_token", "text", "headers", "r")
extern PyObject* code_send;            // code object shown as send.__code__

// 0 once every entry is built and hashed; -1 with the error at the first failure.
int init_string_table(const StringTableEntry* table);
// 0, or -1 with the error set; needs the strings, g_empty_tuple and g_empty_bytes.
int init_constants();

}  // namespace module
