// The body of send: log the call, post the text message to the webhook and
// return the decoded reply as text. Each failure is reported at its line of
// "main.py".
#include "notify/send.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/state.h"
#include "runtime/names.h"
#include "runtime/call.h"
#include "runtime/internals.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace notify {

using runtime::Ref;

PyMethodDef send_method_def = {
    "send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(send_wrapper)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

namespace {

// One cache per global read by the body.
runtime::DictCache logger_cache;
runtime::DictCache requests_cache;
runtime::DictCache json_cache;
// One per attribute that the body usually takes from a module.
runtime::ModuleAttrCache post_cache;
runtime::ModuleAttrCache dumps_cache;

// Dictionaries that send fills and hands to a callee, one of each per call.
// When the callee kept no reference to it and changed nothing in it, the next
// call takes the same dictionary again instead of building and filling a new
// one: between the two calls nothing but this slot holds it, and a stamp that
// moved or a second owner (code that reached it all the same) sends it away.
// A call that finds the slot empty (the first, a nested or a concurrent one)
// builds its own.
struct Spare {
    PyObject* dict = nullptr;  // owned
    std::uint64_t stamp = 0;   // the dictionary's stamp when it was put here
    PyObject* inner = nullptr;  // the message's content dictionary, owned by it
    std::uint64_t inner_stamp = 0;
};
Spare spare_headers;  // {"Content-Type": "application/json;charset=UTF-8"}
Spare spare_message;  // {"msgtype": "text", "text": inner}, inner = {"content": None}

// True when `dict` is held by its owner alone and unchanged since `stamp`.
bool untouched(PyObject* dict, std::uint64_t stamp)
{
    return Py_REFCNT(dict) == 1 && runtime::dict_version_of(dict) == stamp;
}

// The spare dictionary as it was put back, or null.
Ref take_spare(Spare& spare)
{
    Ref dict(spare.dict);
    spare.dict = nullptr;
    if (dict && (!untouched(dict.get(), spare.stamp) ||
                 (spare.inner != nullptr && !untouched(spare.inner, spare.inner_stamp)))) {
        dict.reset();
    }
    return dict;
}

// Keeps `dict` for the next call if the slot is free; the caller has checked
// that it is its only owner and that it holds what a new one would.
void put_spare(Spare& spare, Ref& dict, PyObject* inner = nullptr)
{
    if (spare.dict != nullptr) {
        return;
    }
    spare.stamp = runtime::dict_version_of(dict.get());
    spare.inner = inner;
    spare.inner_stamp = inner != nullptr ? runtime::dict_version_of(inner) : 0;
    spare.dict = dict.release();
}

// Where a failure happened: the line of "main.py" and the native site.
struct Failure {
    int py_line = 0;
    int native_line = 0;
};

#define FAIL_AT(line)                                                  \
    do {                                                               \
        failure.py_line = (line);                                      \
        failure.native_line = runtime::native_lines_send + __LINE__;   \
        return Ref();                                                  \
    } while (0)

// head + tail, both str, as PyUnicode_Concat makes it (an exact str of the
// two maximum characters' width), copied in place when both are compact
// one-byte strings, as the URL prefix and most tokens are.
PyObject* concat(PyObject* head, PyObject* tail)
{
    if (!PyUnicode_IS_COMPACT(tail) || PyUnicode_KIND(tail) != PyUnicode_1BYTE_KIND ||
        PyUnicode_KIND(head) != PyUnicode_1BYTE_KIND || !PyUnicode_IS_COMPACT(head)) {
        return PyUnicode_Concat(head, tail);
    }
    Py_ssize_t head_length = PyUnicode_GET_LENGTH(head);
    Py_ssize_t tail_length = PyUnicode_GET_LENGTH(tail);
    if (tail_length == 0 || tail_length > PY_SSIZE_T_MAX - head_length) {
        return PyUnicode_Concat(head, tail);
    }
    Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(head);
    if (PyUnicode_MAX_CHAR_VALUE(tail) > max_char) {
        max_char = PyUnicode_MAX_CHAR_VALUE(tail);
    }
    PyObject* joined = PyUnicode_New(head_length + tail_length, max_char);
    if (joined == nullptr) {
        return nullptr;
    }
    Py_UCS1* data = PyUnicode_1BYTE_DATA(joined);
    std::memcpy(data, PyUnicode_1BYTE_DATA(head), static_cast<std::size_t>(head_length));
    std::memcpy(data + head_length, PyUnicode_1BYTE_DATA(tail), static_cast<std::size_t>(tail_length));
    return joined;
}

// Calls `callable` with `arg`, or with no argument when `arg` is null. A bound
// method is unpacked so that its function is called with self in front.
PyObject* call_unpacked(Ref& callable, PyObject* arg)
{
    PyObject* method = callable.get();
    if (Py_TYPE(method) == &PyMethod_Type && PyMethod_GET_SELF(method) != nullptr) {
        Ref self = Ref::borrow(PyMethod_GET_SELF(method));
        callable = Ref::borrow(PyMethod_GET_FUNCTION(method));
        return arg != nullptr ? runtime::call_two_args(callable.get(), self.get(), arg)
                              : runtime::call_one_arg(callable.get(), self.get());
    }
    return arg != nullptr ? runtime::call_one_arg(method, arg) : runtime::call_no_args(method);
}

// The call of a method found by get_method, with `arg` or with none when it is
// null: an unbound method gets `self` in front; any other attribute is called
// as it is, a bound method unpacked.
PyObject* call_method(Ref& callable, bool unbound, PyObject* self, PyObject* arg)
{
    if (unbound) {
        PyObject* args[2] = {self, arg};
        return runtime::call_vector(callable.get(), args, arg != nullptr ? 2 : 1, nullptr);
    }
    return call_unpacked(callable, arg);
}

// The call of a method found by get_method, with keyword arguments. args[0]
// holds the object it was found on, then come `nargs` positional values and a
// value for each name of `kwnames`. A callee with a vectorcall entry gets them
// in place (a bound one may use args[0] as scratch space); any other gets a
// tuple and a dictionary through its call slot, and when building those fails
// `built` turns false.
PyObject* call_method_keywords(PyObject* callable, bool unbound, PyObject** args, size_t nargs,
                               PyObject* kwnames, bool& built)
{
    built = true;
    PyObject** first = unbound ? args : args + 1;
    size_t count = unbound ? nargs + 1 : nargs;
    if (runtime::has_vectorcall(callable)) {
        return runtime::call_vectorcall(callable, first, unbound ? count : count | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kwnames);
    }
    Ref tuple;
    Ref dict;
    if (runtime::vector_as_tuple_and_dict(first, count, kwnames, tuple, dict) < 0) {
        built = false;
        return nullptr;
    }
    return runtime::call_object(callable, tuple.get(), dict.get());
}

// Runs the statements of send. `headers` and `r` are its locals that outlive
// a failure until the traceback entry is added.
Ref run_body(PyObject* access_token, PyObject* text, Ref& headers, Ref& r, Failure& failure)
{
    using namespace runtime;

    // logger.info(template, access_token=access_token, text=text)
    {
        Ref logger(runtime::lookup_global(name_logger, logger_cache));
        if (!logger) {
            FAIL_AT(10);
        }
        bool unbound;
        Ref info(runtime::get_method(logger.get(), name_info, unbound));
        if (!info) {
            FAIL_AT(10);
        }
        if (!unbound) {
            logger.reset();  // only an unbound method needs its object
        }
        PyObject* args[] = {logger.get(), text_log_template, access_token, text};
        bool built;
        Ref logged(call_method_keywords(info.get(), unbound, args, 1, tuple_log_kwnames, built));
        info.reset();
        logger.reset();
        if (!logged) {
            FAIL_AT(10);
        }
    }

    // headers = {"Content-Type": "application/json;charset=UTF-8"}
    headers = take_spare(spare_headers);
    if (!headers) {
        headers = Ref(PyDict_New());
        if (!headers) {
            FAIL_AT(12);
        }
        if (PyDict_SetItem(headers.get(), text_Content_Type, text_application_json_charset_UTF_8) < 0) {
            FAIL_AT(12);
        }
    }
    const std::uint64_t headers_stamp = dict_version_of(headers.get());

    // r = requests.post(url=..., data=json.dumps(...), headers=headers): the
    // method is looked up before its arguments are computed.
    Ref requests(runtime::lookup_global(name_requests, requests_cache));
    if (!requests) {
        FAIL_AT(14);
    }
    bool post_unbound;
    Ref post(runtime::get_method_cached(requests.get(), name_post, post_cache, post_unbound));
    if (!post) {
        FAIL_AT(14);
    }
    if (!post_unbound) {
        requests.reset();
    }
    // url="https://...?access_token={access_token}".format(access_token=access_token),
    // which is the constant part and the token as format() renders it.
    Ref url;
    {
        Ref token(PyObject_Format(access_token, text_empty));
        if (!token) {
            FAIL_AT(15);
        }
        url = Ref(concat(text_webhook_url_prefix, token.get()));
        if (!url) {
            FAIL_AT(15);
        }
    }
    // data=json.dumps({"msgtype": "text", "text": {"content": text}})
    Ref data;
    {
        Ref json(runtime::lookup_global(name_json, json_cache));
        if (!json) {
            FAIL_AT(16);
        }
        bool unbound;
        Ref dumps(runtime::get_method_cached(json.get(), name_dumps, dumps_cache, unbound));
        if (!dumps) {
            FAIL_AT(16);
        }
        if (!unbound) {
            json.reset();
        }
        // The message, and its content dictionary, which only the message holds.
        PyObject* content = spare_message.inner;
        Ref message = take_spare(spare_message);
        if (message) {
            if (PyDict_SetItem(content, key_content, text) < 0) {
                FAIL_AT(19);
            }
        } else {
            message = Ref(PyDict_New());
            if (!message) {
                FAIL_AT(17);
            }
            if (PyDict_SetItem(message.get(), key_msgtype, key_text) < 0) {
                FAIL_AT(17);
            }
            Ref inner(PyDict_New());
            if (!inner) {
                FAIL_AT(19);
            }
            if (PyDict_SetItem(inner.get(), key_content, text) < 0) {
                FAIL_AT(19);
            }
            if (PyDict_SetItem(message.get(), key_text, inner.get()) < 0) {
                FAIL_AT(17);
            }
            content = inner.get();
        }
        std::uint64_t message_stamp = dict_version_of(message.get());
        std::uint64_t content_stamp = dict_version_of(content);
        data = Ref(call_method(dumps, unbound, json.get(), message.get()));
        // Kept for the next call when dumps kept and changed neither; the
        // content lets go of the text first, as releasing it would. (Setting
        // a key that is there already allocates nothing and cannot fail.)
        if (data && untouched(message.get(), message_stamp) && untouched(content, content_stamp) &&
            PyDict_SetItem(content, key_content, Py_None) == 0) {
            put_spare(spare_message, message, content);
        }
        message.reset();
        dumps.reset();
        if (!data) {
            FAIL_AT(16);
        }
    }
    {
        PyObject* args[] = {requests.get(), url.get(), data.get(), headers.get()};
        bool built;
        r = Ref(call_method_keywords(post.get(), post_unbound, args, 0, tuple_post_kwnames, built));
        post.reset();
        requests.reset();
        url.reset();
        data.reset();
        if (!r) {
            if (!built) {
                FAIL_AT(15);  // the keyword arguments, as a dictionary
            }
            FAIL_AT(14);
        }
        if (untouched(headers.get(), headers_stamp)) {
            put_spare(spare_headers, headers);
        }
    }

    // return str(r.json())
    bool unbound;
    Ref decode(runtime::get_method(r.get(), name_json, unbound));
    if (!decode) {
        FAIL_AT(25);
    }
    Ref decoded(call_method(decode, unbound, r.get(), nullptr));
    decode.reset();
    if (!decoded) {
        FAIL_AT(25);
    }
    Ref result(PyObject_Str(decoded.get()));
    if (!result) {
        FAIL_AT(25);
    }
    return result;
}

#undef FAIL_AT

}  // namespace

PyObject* send_body(PyObject*, PyObject* access_token, PyObject* text)
{
    Ref headers;
    Ref r;
    Failure failure;
    Ref result = run_body(access_token, text, headers, r, failure);
    if (!result) {
        runtime::add_traceback("main.send", failure.native_line, failure.py_line, "main.py");
    }
    return result.release();
}

}  // namespace notify
