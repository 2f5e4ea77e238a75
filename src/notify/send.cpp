// The body of send: log the call, post the text message to the webhook and
// return the decoded reply as text. Each failure is reported at its line of
// "main.py".
#include "notify/send.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "function/function.h"
#include "notify/lines.h"
#include "notify/state.h"
#include "runtime/call.h"
#include "runtime/failure.h"
#include "runtime/internals.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace notify {

using runtime::fail_at;
using runtime::Failure;
using runtime::Ref;

PyMethodDef send_method_def = {
    "send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(send_wrapper)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

namespace {

// The first native line of this file's failure sites (runtime/failure.h).
constexpr int native_lines_base = 2000;

// The spare dictionaries (State::spare_headers, spare_message). A call that
// finds the slot empty (the first, a nested or a concurrent one) builds its
// own. After a callee had a dictionary, it is kept for the next call only when
// the callee kept no reference to it and left exactly the entries send put
// there, the same objects in the same order. A kept dictionary is untracked by
// the garbage collector, which lists only tracked objects (gc.get_objects()),
// and held by its slot alone: no Python code can reach it between calls, so
// the next call finds it as it was left. Taking the spares saves building and
// filling three dictionaries a call.

// A dictionary send fills and hands to a callee. Taken from a spare slot, it
// stays untracked while send holds it; should it leave send's hands shared
// (a callee kept it), it is tracked first, so that the collector finds any
// reference cycle built through it: an untracked dictionary is not tracked
// again when a container goes into it.
class Lent {
public:
    Lent() noexcept = default;
    explicit Lent(PyObject* owned) noexcept : ptr_(owned) {}
    Lent(const Lent&) = delete;
    Lent& operator=(const Lent&) = delete;
    ~Lent() { reset(); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset(PyObject* owned = nullptr) noexcept
    {
        PyObject* old = ptr_;
        ptr_ = owned;
        if (old != nullptr) {
            if (Py_REFCNT(old) > 1 && !PyObject_GC_IsTracked(old)) {
                PyObject_GC_Track(old);
            }
            Py_DECREF(old);
        }
    }
    /// Puts the dictionary into `slot` (free), untracked.
    void keep_in(PyObject*& slot) noexcept
    {
        PyObject_GC_UnTrack(ptr_);
        slot = ptr_;
        ptr_ = nullptr;
    }

private:
    PyObject* ptr_ = nullptr;
};

// True when `dict` has `owners` references and its entries are `items`, in
// this order, compared by identity.
template <std::size_t N>
bool holds_only(PyObject* dict, Py_ssize_t owners, const PyObject* const (&items)[N][2])
{
    if (Py_REFCNT(dict) != owners || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(N)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    for (const auto& item : items) {
        if (!PyDict_Next(dict, &pos, &key, &value) || key != item[0] || value != item[1]) {
            return false;
        }
    }
    return true;
}

// Takes the dictionary out of `slot`. Its owner count is checked although
// nothing could have reached it.
void take(PyObject*& slot, Lent& dict, Py_ssize_t owners)
{
    dict.reset(slot);
    slot = nullptr;
    if (dict && Py_REFCNT(dict.get()) != owners) {
        dict.reset();
    }
}

// Keeps the headers for the next call when the post call kept no reference to
// them and left them as they were.
void put_headers(Spare& spare, Lent& headers)
{
    const State& s = g_state;
    const PyObject* const items[1][2] = {{s.text_Content_Type, s.text_application_json_charset_UTF_8}};
    if (spare.dict == nullptr && holds_only(headers.get(), 1, items)) {
        headers.keep_in(spare.dict);
    }
}

// The spare message {"msgtype": "text", "text": content} with its content
// {"content": None}, or nulls.
void take_message(Spare& spare, Lent& message, Lent& content)
{
    take(spare.dict, message, 1);
    take(spare.inner, content, 2);  // the message's reference, and the slot's
    if (!message || !content) {
        message.reset();
        content.reset();
    }
}

// After dumps: keeps the message and its content for the next call when dumps
// kept neither and left both as send made them ({"msgtype": "text", "text":
// content}, content {"content": text}). The content then lets go of the text,
// as releasing it would. (A content that needs memory for that is let go.)
void put_message(Spare& spare, Lent& message, Lent& content, PyObject* text)
{
    const State& s = g_state;
    const PyObject* const outer[2][2] = {{s.key_msgtype, s.name_text}, {s.name_text, content.get()}};
    const PyObject* const inner[1][2] = {{s.key_content, text}};
    if (spare.dict != nullptr || !holds_only(message.get(), 1, outer) || !holds_only(content.get(), 2, inner)) {
        return;
    }
    if (PyDict_SetItem(content.get(), s.key_content, Py_None) < 0) {
        PyErr_Clear();
        return;
    }
    content.keep_in(spare.inner);
    message.keep_in(spare.dict);
}

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

// Runs the statements of send. `headers` and `r` are its locals that outlive
// a failure until the traceback entry is added.
Ref run_body(PyObject* globals, PyObject* access_token, PyObject* text, Lent& headers, Ref& r, Failure& failure)
{
    State& s = g_state;

    // logger.info(template, access_token=access_token, text=text)
    {
        Ref logger(runtime::lookup_global(globals, s.name_logger, s.logger_cache));
        if (!logger) {
            return fail_at(failure, SendLine::log);
        }
        bool unbound;
        Ref info(runtime::get_method(logger.get(), s.name_info, unbound));
        if (!info) {
            return fail_at(failure, SendLine::log);
        }
        if (!unbound) {
            logger.reset();  // only an unbound method needs its object
        }
        PyObject* args[] = {logger.get(), s.text_log_template, access_token, text};
        Ref logged(runtime::call_method_keywords(info.get(), unbound, args, 1, s.tuple_log_kwnames, nullptr));
        info.reset();
        logger.reset();
        if (!logged) {
            return fail_at(failure, SendLine::log);
        }
    }

    // headers = {"Content-Type": "application/json;charset=UTF-8"}
    take(s.spare_headers.dict, headers, 1);
    if (!headers) {
        headers.reset(PyDict_New());
        if (!headers) {
            return fail_at(failure, SendLine::headers);
        }
        if (PyDict_SetItem(headers.get(), s.text_Content_Type, s.text_application_json_charset_UTF_8) < 0) {
            return fail_at(failure, SendLine::headers);
        }
    }

    // r = requests.post(url=..., data=json.dumps(...), headers=headers): the
    // method is looked up before its arguments are computed.
    Ref requests(runtime::lookup_global(globals, s.name_requests, s.requests_cache));
    if (!requests) {
        return fail_at(failure, SendLine::post);
    }
    bool post_unbound;
    Ref post(runtime::get_method_cached(requests.get(), s.name_post, s.post_cache, post_unbound));
    if (!post) {
        return fail_at(failure, SendLine::post);
    }
    if (!post_unbound) {
        requests.reset();
    }
    // url="https://...?access_token={access_token}".format(access_token=access_token),
    // which is the constant part and the token as format() renders it.
    Ref url;
    {
        Ref token(PyObject_Format(access_token, s.text_empty));
        if (!token) {
            return fail_at(failure, SendLine::post_arguments);
        }
        url = Ref(concat(s.text_webhook_url_prefix, token.get()));
        if (!url) {
            return fail_at(failure, SendLine::post_arguments);
        }
    }
    // data=json.dumps({"msgtype": "text", "text": {"content": text}})
    Ref data;
    {
        Ref json(runtime::lookup_global(globals, s.name_json, s.json_cache));
        if (!json) {
            return fail_at(failure, SendLine::dumps);
        }
        bool unbound;
        Ref dumps(runtime::get_method_cached(json.get(), s.name_dumps, s.dumps_cache, unbound));
        if (!dumps) {
            return fail_at(failure, SendLine::dumps);
        }
        if (!unbound) {
            json.reset();
        }
        // The message, and its content dictionary, which the message holds.
        Lent message;
        Lent content;
        take_message(s.spare_message, message, content);
        if (message) {
            if (PyDict_SetItem(content.get(), s.key_content, text) < 0) {
                return fail_at(failure, SendLine::content);
            }
        } else {
            message.reset(PyDict_New());
            if (!message) {
                return fail_at(failure, SendLine::message);
            }
            if (PyDict_SetItem(message.get(), s.key_msgtype, s.name_text) < 0) {
                return fail_at(failure, SendLine::message);
            }
            content.reset(PyDict_New());
            if (!content) {
                return fail_at(failure, SendLine::content);
            }
            if (PyDict_SetItem(content.get(), s.key_content, text) < 0) {
                return fail_at(failure, SendLine::content);
            }
            if (PyDict_SetItem(message.get(), s.name_text, content.get()) < 0) {
                return fail_at(failure, SendLine::message);
            }
        }
        data = Ref(runtime::call_method(dumps, unbound, json.get(), message.get()));
        if (data) {
            put_message(s.spare_message, message, content, text);
        }
        message.reset();
        content.reset();
        dumps.reset();
        if (!data) {
            return fail_at(failure, SendLine::dumps);
        }
    }
    {
        PyObject* args[] = {requests.get(), url.get(), data.get(), headers.get()};
        bool arguments_failed = false;
        r = Ref(runtime::call_method_keywords(post.get(), post_unbound, args, 0, s.tuple_post_kwnames,
                                              &arguments_failed));
        post.reset();
        requests.reset();
        url.reset();
        data.reset();
        if (!r) {
            // Building the keyword arguments as a dictionary is the post
            // call's argument list; the call itself is its statement.
            return fail_at(failure, arguments_failed ? SendLine::post_arguments : SendLine::post);
        }
        put_headers(s.spare_headers, headers);
    }

    // return str(r.json())
    bool unbound;
    Ref decode(runtime::get_method(r.get(), s.name_json, unbound));
    if (!decode) {
        return fail_at(failure, SendLine::reply);
    }
    Ref decoded(runtime::call_method(decode, unbound, r.get(), nullptr));
    decode.reset();
    if (!decoded) {
        return fail_at(failure, SendLine::reply);
    }
    Ref result(PyObject_Str(decoded.get()));
    if (!result) {
        return fail_at(failure, SendLine::reply);
    }
    return result;
}

}  // namespace

void release_caches() noexcept
{
    State& s = g_state;
    runtime::release_cache(s.logger_cache);
    runtime::release_cache(s.requests_cache);
    runtime::release_cache(s.json_cache);
    runtime::release_cache(s.post_cache);
    runtime::release_cache(s.dumps_cache);
    for (Spare* spare : {&s.spare_headers, &s.spare_message}) {
        Py_CLEAR(spare->inner);
        Py_CLEAR(spare->dict);
    }
}

PyObject* send_body(PyObject* self, PyObject* access_token, PyObject* text) noexcept
{
    // send reads the globals of the module execution that made it, as a def
    // reads its __globals__, wherever it is called from and whatever was
    // imported since; like a frame, the call holds them while it runs.
    Ref held = Ref::borrow(function::native_function_globals(self));
    if (!held) {
        PyErr_SetString(PyExc_SystemError, "send() called through a function object that was cleared");
        return nullptr;
    }
    PyObject* globals = held.get();
    runtime::confirm_global_stamps(globals);
    Lent headers;
    Ref r;
    Failure failure{native_lines_base};
    Ref result = run_body(globals, access_token, text, headers, r, failure);
    if (!result) {
        runtime::add_traceback("main.send", failure, source_file, globals);
    }
    return result.release();
}

}  // namespace notify
