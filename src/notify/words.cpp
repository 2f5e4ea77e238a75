// send's words: the names and texts it uses, and the constants made from
// them, the code object of send among them.
#include <initializer_list>

#include "notify/lines.h"
#include "notify/send.h"
#include "notify/state.h"
#include "runtime/internals.h"
#include "runtime/ref.h"
#include "runtime/state.h"
#include "runtime/strings.h"

namespace notify {

State g_state;

namespace {

using runtime::Ref;

// The code object of send: the interpreter's minimal code object (whose body
// raises AssertionError if anyone runs it, reporting the definition line),
// made again with send's signature and words: two positional parameters and
// four locals, flags 3.
PyObject* make_code_send()
{
    Ref empty(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_file, "send", static_cast<int>(SendLine::definition))));
    if (!empty) {
        return nullptr;
    }
    // Its body, constants, tables and stack size, each read only once the one
    // before was had (none of them may be asked for with an error pending).
    Ref body(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get())));
    if (!body) {
        return nullptr;
    }
    const char* const names[] = {"co_consts", "co_names", "co_linetable", "co_exceptiontable", "co_stacksize"};
    Ref parts[5];
    for (int i = 0; i < 5; ++i) {
        parts[i] = Ref(PyObject_GetAttrString(empty.get(), names[i]));
        if (!parts[i]) {
            return nullptr;
        }
    }
    const int stack = static_cast<int>(PyLong_AsLong(parts[4].get()));
    if (stack < 0) {
        return nullptr;
    }
    const State& s = g_state;
    return runtime::code_new(2, 4, stack, CO_OPTIMIZED | CO_NEWLOCALS, body.get(), parts[0].get(), parts[1].get(),
                             s.tuple_send_varnames, s.text_main_py, s.name_send, s.name_send,
                             static_cast<int>(SendLine::definition), parts[2].get(), parts[3].get(),
                             runtime::g_state.empty_tuple);
}

// A new tuple of `items`, or null.
PyObject* tuple_of(std::initializer_list<PyObject*> items)
{
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple != nullptr) {
        Py_ssize_t i = 0;
        for (PyObject* item : items) {
            PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
        }
    }
    return tuple;
}

// Builds a constant into its slot unless an earlier execution did: one once
// built stays for the process, as the strings do. False when it could not
// be built.
template <typename Build>
bool build_once(PyObject*& slot, Build build)
{
    if (slot == nullptr) {
        slot = build();
    }
    return slot != nullptr;
}

}  // namespace

int build_words()
{
    State& s = g_state;
    const runtime::StringEntry strings[] = {
        {&s.name_access_token, "access_token", true},
        {&s.name_data, "data", true},
        {&s.name_dumps, "dumps", true},
        {&s.name_headers, "headers", true},
        {&s.name_info, "info", true},
        {&s.name_json, "json", true},
        {&s.name_logger, "logger", true},
        {&s.name_post, "post", true},
        {&s.name_r, "r", true},
        {&s.name_requests, "requests", true},
        {&s.name_send, "send", true},
        {&s.name_text, "text", true},
        {&s.name_url, "url", true},
        {&s.key_content, "content", false},
        {&s.key_msgtype, "msgtype", false},
        {&s.text_log_template, "[钉钉通知] 该APP执行参数为: {access_token} {text}", false},
        {&s.text_Content_Type, "Content-Type", false},
        {&s.text_application_json_charset_UTF_8, "application/json;charset=UTF-8", false},
        {&s.text_webhook_url_prefix, "https://oapi.dingtalk.com/robot/send?access_token=", false},
        {&s.text_empty, "", false},
        {&s.text_main_py, source_file, false},
    };
    if (runtime::build_strings(strings) < 0) {
        return -1;
    }
    // Keyword names of the two keyword calls, in the order of the call sites.
    if (!build_once(s.tuple_log_kwnames, [&] { return tuple_of({s.name_access_token, s.name_text}); }) ||
        !build_once(s.tuple_post_kwnames, [&] { return tuple_of({s.name_url, s.name_data, s.name_headers}); }) ||
        !build_once(s.tuple_send_varnames,
                    [&] { return tuple_of({s.name_access_token, s.name_text, s.name_headers, s.name_r}); }) ||
        !build_once(s.code_send, make_code_send)) {
        return -1;
    }
    return 0;
}

}  // namespace notify
