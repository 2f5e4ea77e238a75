#include "module/strings.h"

#include "module/state.h"
#include "runtime/ref.h"

namespace module {

using namespace runtime;  // the shared slots this layer builds

namespace {

// One table row: the size counts the terminating NUL, as sizeof does.
#define ENTRY(slot, literal, is_text, is_native_str, interned) \
    {&(slot), literal, static_cast<Py_ssize_t>(sizeof(literal)), nullptr, is_text, is_native_str, interned}

}  // namespace

const StringTableEntry string_table[] = {
    ENTRY(text_log_template, "[钉钉通知] 该APP执行参数为: {access_token} {text}", 1, 0, 0),
    ENTRY(text_Content_Type, "Content-Type", 1, 0, 0),
    ENTRY(name_access_token, "access_token", 0, 1, 1),
    ENTRY(text_application_json_charset_UTF_8, "application/json;charset=UTF-8", 1, 0, 0),
    ENTRY(name_native_line_in_traceback, "native_line_in_traceback", 0, 1, 1),
    ENTRY(key_content, "content", 1, 0, 1),
    ENTRY(name_data, "data", 0, 1, 1),
    ENTRY(name_dumps, "dumps", 0, 1, 1),
    ENTRY(name_headers, "headers", 0, 1, 1),
    // The webhook URL up to the token, which send appends as format(token, "")
    // renders it: what str.format makes of "...?access_token={access_token}".
    ENTRY(text_webhook_url_prefix, "https://oapi.dingtalk.com/robot/send?access_token=", 1, 0, 0),
    ENTRY(text_empty, "", 1, 0, 0),
    ENTRY(name_info, "info", 0, 1, 1),
    ENTRY(name_json, "json", 0, 1, 1),
    ENTRY(name_logger, "logger", 0, 1, 1),
    ENTRY(name_loguru, "loguru", 0, 1, 1),
    ENTRY(name_main, "__main__", 0, 1, 1),
    ENTRY(name_main_2, "main", 0, 1, 1),
    ENTRY(str_main_py, "main.py", 0, 1, 0),
    ENTRY(key_msgtype, "msgtype", 1, 0, 1),
    ENTRY(name_name, "__name__", 0, 1, 1),
    ENTRY(name_post, "post", 0, 1, 1),
    ENTRY(name_r, "r", 0, 1, 1),
    ENTRY(name_requests, "requests", 0, 1, 1),
    ENTRY(name_send, "send", 0, 1, 1),
    ENTRY(name_test, "__test__", 0, 1, 1),
    ENTRY(name_text, "text", 0, 1, 1),
    ENTRY(key_text, "text", 1, 0, 1),
    ENTRY(name_url, "url", 0, 1, 1),
    {nullptr, nullptr, 0, nullptr, 0, 0, 0},
};

#undef ENTRY

int init_string_table(const StringTableEntry* table)
{
    for (const StringTableEntry* entry = table; entry->target != nullptr; ++entry) {
        PyObject* built;
        if (!entry->is_text && !entry->is_native_str) {
            built = PyBytes_FromStringAndSize(entry->chars, entry->size - 1);
        } else if (entry->interned) {
            built = PyUnicode_InternFromString(entry->chars);
        } else if (entry->encoding != nullptr) {
            built = PyUnicode_Decode(entry->chars, entry->size - 1, entry->encoding, nullptr);
        } else {
            built = PyUnicode_FromStringAndSize(entry->chars, entry->size - 1);
        }
        // A slot left from an earlier, failed execution is replaced; the slot
        // receives the result even when it is null.
        PyObject* old = *entry->target;
        *entry->target = built;
        Py_XDECREF(old);
        if (built == nullptr) {
            return -1;
        }
        if (PyObject_Hash(built) == -1) {
            return -1;
        }
    }
    return 0;
}

namespace {

// Stores a freshly built constant in its slot (releasing what an earlier,
// failed execution left there) and reports whether it was built.
bool store_constant(PyObject*& slot, PyObject* built)
{
    PyObject* old = slot;
    slot = built;
    Py_XDECREF(old);
    return built != nullptr;
}

// The code object of send: the interpreter's minimal code object (whose body
// raises AssertionError if anyone runs it, reporting line 9), given send's
// signature: two positional parameters and four locals, flags 3.
PyObject* make_code_send()
{
    runtime::Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty("main.py", "send", 9)));
    if (!empty) {
        return nullptr;
    }
    runtime::Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) {
        return nullptr;
    }
    runtime::Ref kwargs(PyDict_New());
    if (!kwargs) {
        return nullptr;
    }
    runtime::Ref argcount(PyLong_FromLong(2));
    runtime::Ref kwonly(PyLong_FromLong(0));
    runtime::Ref nlocals(PyLong_FromLong(4));
    runtime::Ref flags(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    if (!argcount || !kwonly || !nlocals || !flags) {
        return nullptr;
    }
    if (PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_kwonlyargcount", kwonly.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", tuple_send_varnames) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_filename", str_main_py) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_name", name_send) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", name_send) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()) < 0) {
        return nullptr;
    }
    return PyObject_Call(replace.get(), g_empty_tuple, kwargs.get());
}

}  // namespace

int init_constants()
{
    // Keyword names of the two keyword calls, in the order of the call sites.
    if (!store_constant(tuple_log_kwnames, PyTuple_Pack(2, name_access_token, name_text))) {
        return -1;
    }
    if (!store_constant(tuple_post_kwnames, PyTuple_Pack(3, name_url, name_data, name_headers))) {
        return -1;
    }
    if (!store_constant(tuple_send_varnames,
                        PyTuple_Pack(4, name_access_token, name_text, name_headers, name_r))) {
        return -1;
    }
    if (!store_constant(code_send, make_code_send())) {
        return -1;
    }
    return 0;
}

}  // namespace module
