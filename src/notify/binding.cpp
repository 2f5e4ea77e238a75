// Argument binding of send(access_token, text): two required parameters that
// may come by position or by keyword, with the interpreter's error wording.
#include "function/function.h"
#include "notify/lines.h"
#include "notify/send.h"
#include "notify/state.h"
#include "runtime/failure.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace notify {

namespace {

using runtime::fail_at;

constexpr const char* function_name = "send";
// The first native line of this file's failure sites (runtime/failure.h).
constexpr int native_lines_base = 1 * runtime::native_lines_step;

// Parameter names, in order, read through their slots at every call.
PyObject** const argnames[] = {&g_state.name_access_token, &g_state.name_text, nullptr};

void raise_arg_count_error(const char* func_name, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func_name,
                 "exactly", static_cast<Py_ssize_t>(2), "s", given);
}

// 1 when the parameter name equals the keyword, 0 when not, -1 on error.
int name_matches(PyObject* name, PyObject* key)
{
    if (name == key) {
        return 1;
    }
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) {
        return 0;
    }
    int cmp = PyUnicode_Compare(name, key);
    if (cmp < 0 && PyErr_Occurred()) {
        return -1;
    }
    return cmp == 0 ? 1 : 0;
}

// Stores every keyword that names a parameter at that parameter's index.
int parse_keywords(PyObject* kwds, PyObject** const names[], PyObject* values[], Py_ssize_t num_pos_args,
                   const char* func_name)
{
    PyObject** const* first_kw = names + num_pos_args;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        PyObject** const* name = first_kw;
        while (*name != nullptr && **name != key) {
            ++name;
        }
        if (*name != nullptr) {
            values[name - names] = value;
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
            return -1;
        }
        for (name = first_kw; *name != nullptr; ++name) {
            int match = name_matches(**name, key);
            if (match < 0) {
                return -1;
            }
            if (match) {
                break;
            }
        }
        if (*name != nullptr) {
            values[name - names] = value;
            continue;
        }
        for (name = names; name != first_kw; ++name) {
            int match = name_matches(**name, key);
            if (match < 0) {
                return -1;
            }
            if (match) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_name, key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name, key);
        return -1;
    }
    return 0;
}

// Binds access_token and text (borrowed) into `values`: 0, or -1 with the
// error set and the failure recorded.
int bind(PyObject* args, PyObject* kwargs, PyObject* values[2], runtime::Ref& keyword_token,
         runtime::Failure& failure)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr) {
        if (n != 2) {
            raise_arg_count_error(function_name, n);
            return fail_at(failure, SendLine::definition);
        }
        values[0] = PyTuple_GET_ITEM(args, 0);
        values[1] = PyTuple_GET_ITEM(args, 1);
        return 0;
    }
    Py_ssize_t kw_left = PyDict_GET_SIZE(kwargs);  // a dictionary, by the calling convention
    switch (n) {
    case 2:
        values[1] = PyTuple_GET_ITEM(args, 1);
        [[fallthrough]];
    case 1:
        values[0] = PyTuple_GET_ITEM(args, 0);
        break;
    case 0:
        values[0] = PyDict_GetItemWithError(kwargs, g_state.name_access_token);
        if (values[0] == nullptr) {
            raise_arg_count_error(function_name, n);
            return fail_at(failure, SendLine::definition);
        }
        keyword_token = runtime::Ref::borrow(values[0]);
        --kw_left;
        break;
    default:
        raise_arg_count_error(function_name, n);
        return fail_at(failure, SendLine::definition);
    }
    if (n < 2) {
        values[1] = PyDict_GetItemWithError(kwargs, g_state.name_text);
        if (values[1] == nullptr) {
            raise_arg_count_error(function_name, 1);
            return fail_at(failure, SendLine::definition);
        }
        --kw_left;
    }
    if (kw_left > 0 && parse_keywords(kwargs, argnames, values, n, function_name) < 0) {
        return fail_at(failure, SendLine::definition);
    }
    return 0;
}

}  // namespace

PyObject* send_wrapper(PyObject* self, PyObject* args, PyObject* kwargs) noexcept
{
    PyObject* values[2] = {nullptr, nullptr};
    // A token found in the keyword dictionary must survive the look-up of
    // "text", which can run a key's __eq__ that empties the dictionary.
    runtime::Ref keyword_token;
    runtime::Failure failure{native_lines_base};
    if (bind(args, kwargs, values, keyword_token, failure) < 0) {
        runtime::add_traceback("main.send", failure, source_file, function::native_function_globals(self));
        return nullptr;
    }
    // The body may run code that changes a caller-owned keyword dictionary, so
    // it gets references of its own.
    runtime::Ref access_token = runtime::Ref::borrow(values[0]);
    runtime::Ref text = runtime::Ref::borrow(values[1]);
    return send_body(self, access_token.get(), text.get());
}

}  // namespace notify

static_assert(__LINE__ < runtime::native_lines_step, "failure-site numbers of this file must stay below the next base");
