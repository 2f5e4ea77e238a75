// The body of send: log the call, post the text message to the webhook and
// return the decoded reply as text. Each failure is reported at its line of
// "main.py".
#include "notify/send.h"

#include "function/function.h"
#include "notify/lines.h"
#include "notify/state.h"
#include "runtime/call.h"
#include "runtime/failure.h"
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
constexpr int native_lines_base = 2 * runtime::native_lines_step;

// Runs the statements of send with the globals of its module. `headers` and
// `r` are its locals that outlive a failure until the traceback entry is
// added.
Ref run_body(PyObject* globals, PyObject* access_token, PyObject* text, Ref& headers, Ref& r, Failure& failure)
{
    State& s = g_state;

    // logger.info(template, access_token=access_token, text=text)
    {
        Ref logger(runtime::lookup_global(globals, s.name_logger, s.logger_cache));
        if (!logger) {
            return fail_at(failure, SendLine::log);
        }
        PyObject* args[] = {logger.get(), s.text_log_template, access_token, text};
        Ref logged(runtime::call_method_named(s.name_info, args, 1, s.tuple_log_kwnames));
        if (!logged) {
            return fail_at(failure, SendLine::log);
        }
    }

    // headers = {"Content-Type": "application/json;charset=UTF-8"}
    headers = Ref(PyDict_New());
    if (!headers || PyDict_SetItem(headers.get(), s.text_Content_Type, s.text_application_json_charset_UTF_8) < 0) {
        return fail_at(failure, SendLine::headers);
    }

    // r = requests.post(url=..., data=json.dumps(...), headers=headers): the
    // method is looked up before its arguments are computed.
    {
        Ref post;
        {
            Ref requests(runtime::lookup_global(globals, s.name_requests, s.requests_cache));
            if (!requests) {
                return fail_at(failure, SendLine::post);
            }
            post = Ref(runtime::get_attr(requests.get(), s.name_post));
            if (!post) {
                return fail_at(failure, SendLine::post);
            }
        }
        // url="https://...?access_token={access_token}".format(access_token=access_token),
        // which is the constant part and the token as format() renders it.
        Ref url;
        {
            Ref token(PyObject_Format(access_token, s.text_empty));
            if (!token) {
                return fail_at(failure, SendLine::post_arguments);
            }
            url = Ref(PyUnicode_Concat(s.text_webhook_url_prefix, token.get()));
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
            Ref dumps(runtime::get_attr(json.get(), s.name_dumps));
            json.reset();
            if (!dumps) {
                return fail_at(failure, SendLine::dumps);
            }
            Ref message(PyDict_New());
            if (!message || PyDict_SetItem(message.get(), s.key_msgtype, s.name_text) < 0) {
                return fail_at(failure, SendLine::message);
            }
            Ref content(PyDict_New());
            if (!content || PyDict_SetItem(content.get(), s.key_content, text) < 0) {
                return fail_at(failure, SendLine::content);
            }
            if (PyDict_SetItem(message.get(), s.name_text, content.get()) < 0) {
                return fail_at(failure, SendLine::message);
            }
            content.reset();
            data = Ref(runtime::call_method(dumps, message.get()));
            if (!data) {
                return fail_at(failure, SendLine::dumps);
            }
        }
        PyObject* args[] = {nullptr, url.get(), data.get(), headers.get()};
        bool arguments_failed = false;
        r = Ref(runtime::call_vector(post.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, s.tuple_post_kwnames,
                                     &arguments_failed));
        if (!r) {
            // Building the keyword arguments as a dictionary is the post
            // call's argument list; the call itself is its statement.
            return fail_at(failure, arguments_failed ? SendLine::post_arguments : SendLine::post);
        }
    }

    // return str(r.json())
    PyObject* reply[] = {r.get()};
    Ref decoded(runtime::call_method_named(s.name_json, reply, 0, nullptr));
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

void forget_caches() noexcept
{
    State& s = g_state;
    s.logger_cache = s.requests_cache = s.json_cache = runtime::DictCache{};
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
    Ref headers;
    Ref r;
    Failure failure{native_lines_base};
    Ref result = run_body(globals, access_token, text, headers, r, failure);
    if (!result) {
        runtime::add_traceback("main.send", failure, source_file, globals);
    }
    return result.release();
}

}  // namespace notify

static_assert(__LINE__ < runtime::native_lines_step, "failure-site numbers of this file must stay below the next base");
