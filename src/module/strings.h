// The string table from which module execution builds the shared name and
// text slots (runtime/names.h), and the constants made from them.
#pragma once
#include "runtime/names.h"
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

// 0 once every entry is built and hashed; -1 with the error at the first failure.
int init_string_table(const StringTableEntry* table);
// 0, or -1 with the error set; needs the strings, g_empty_tuple and g_empty_bytes.
int init_constants();

}  // namespace module
