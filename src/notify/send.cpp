// The body of send: log the call, post the text message to the webhook and
// return the decoded reply as text. Each failure is reported at its line of
// "main.py".
#include "notify/send.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// The spare dictionaries (State::spare_headers, spare_message): between two
// calls nothing but the slot holds a spare (and the message its content). A
// spare is taken again only when it still has no other owner and exactly the
// entries send put there, the same objects in the same order; anything else
// (a callee that kept it or changed it, code that reached it through the
// collector) sends it away. A call that finds the slot empty (the first, a
// nested or a concurrent one) builds its own. Taking the spares saves
// building and filling three dictionaries a call.

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

// The spare headers, {"Content-Type": "application/json;charset=UTF-8"}, or
// null.
Ref take_headers(Spare& spare)
{
    const State& s = g_state;
    Ref headers(spare.dict);
    spare.dict = nullptr;
    const PyObject* const items[1][2] = {{s.text_Content_Type, s.text_application_json_charset_UTF_8}};
    if (headers && !holds_only(headers.get(), 1, items)) {
        headers.reset();
    }
    return headers;
}

// True when `message` is {"msgtype": "text", "text": content} and has no
// other owner, and `content` has none but the message and the caller.
bool holds_message(PyObject* message, PyObject* content)
{
    const State& s = g_state;
    const PyObject* const outer[2][2] = {{s.key_msgtype, s.name_text}, {s.name_text, content}};
    return Py_REFCNT(content) == 2 && holds_only(message, 1, outer);
}

// The spare message {"msgtype": "text", "text": content} with its content
// {"content": None}, or nulls.
void take_message(Spare& spare, Ref& message, Ref& content)
{
    const State& s = g_state;
    message = Ref(spare.dict);
    content = Ref(spare.inner);
    spare.dict = spare.inner = nullptr;
    if (!message) {
        content.reset();
        return;
    }
    const PyObject* const inner[1][2] = {{s.key_content, Py_None}};
    if (!holds_message(message.get(), content.get()) || !holds_only(content.get(), 2, inner)) {
        message.reset();
        content.reset();
    }
}

// Keeps `dict` (and `inner`) for the next call if the slot is free and no
// callee kept a reference to it; its content is checked when it is taken.
void put_spare(Spare& spare, Ref& dict, Ref* inner = nullptr)
{
    if (spare.dict != nullptr || Py_REFCNT(dict.get()) != 1) {
        return;
    }
    spare.inner = inner != nullptr ? inner->release() : nullptr;
    spare.dict = dict.release();
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
Ref run_body(PyObject* access_token, PyObject* text, Ref& headers, Ref& r, Failure& failure)
{
    State& s = g_state;

    // logger.info(template, access_token=access_token, text=text)
    {
        Ref logger(runtime::lookup_global(s.name_logger, s.logger_cache));
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
    headers = take_headers(s.spare_headers);
    if (!headers) {
        headers = Ref(PyDict_New());
        if (!headers) {
            return fail_at(failure, SendLine::headers);
        }
        if (PyDict_SetItem(headers.get(), s.text_Content_Type, s.text_application_json_charset_UTF_8) < 0) {
            return fail_at(failure, SendLine::headers);
        }
    }

    // r = requests.post(url=..., data=json.dumps(...), headers=headers): the
    // method is looked up before its arguments are computed.
    Ref requests(runtime::lookup_global(s.name_requests, s.requests_cache));
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
        Ref json(runtime::lookup_global(s.name_json, s.json_cache));
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
        Ref message;
        Ref content;
        take_message(s.spare_message, message, content);
        if (message) {
            if (PyDict_SetItem(content.get(), s.key_content, text) < 0) {
                return fail_at(failure, SendLine::content);
            }
        } else {
            message = Ref(PyDict_New());
            if (!message) {
                return fail_at(failure, SendLine::message);
            }
            if (PyDict_SetItem(message.get(), s.key_msgtype, s.name_text) < 0) {
                return fail_at(failure, SendLine::message);
            }
            content = Ref(PyDict_New());
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
        // When dumps kept neither dictionary and left the message as it was,
        // the content lets go of the text, as releasing it would, and both
        // may serve the next call. (A content that dumps emptied may need
        // memory for the key: then both go.)
        if (data && holds_message(message.get(), content.get())) {
            if (PyDict_SetItem(content.get(), s.key_content, Py_None) == 0) {
                put_spare(s.spare_message, message, &content);
            } else {
                PyErr_Clear();
            }
        }
        message.reset();
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
        put_spare(s.spare_headers, headers);
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

PyObject* send_body(PyObject*, PyObject* access_token, PyObject* text) noexcept
{
    runtime::confirm_global_stamps();
    Ref headers;
    Ref r;
    Failure failure{native_lines_base};
    Ref result = run_body(access_token, text, headers, r, failure);
    if (!result) {
        runtime::add_traceback("main.send", failure, source_file);
    }
    return result.release();
}

}  // namespace notify
