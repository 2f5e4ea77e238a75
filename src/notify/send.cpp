// The body of send: log the call, post the text message to the webhook and
// return the decoded reply as text. Each failure is reported at its line of
// "main.py".
#include "notify/send.h"

#include "runtime/state.h"
#include "runtime/names.h"
#include "runtime/call.h"
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
        Ref info(runtime::get_attr(logger.get(), name_info));
        logger.reset();
        if (!info) {
            FAIL_AT(10);
        }
        Ref kwargs(PyDict_New());
        if (!kwargs) {
            FAIL_AT(10);
        }
        if (PyDict_SetItem(kwargs.get(), name_access_token, access_token) < 0 ||
            PyDict_SetItem(kwargs.get(), name_text, text) < 0) {
            FAIL_AT(10);
        }
        Ref logged(runtime::call_object(info.get(), tuple_log_args, kwargs.get()));
        info.reset();
        kwargs.reset();
        if (!logged) {
            FAIL_AT(10);
        }
    }

    // headers = {"Content-Type": "application/json;charset=UTF-8"}
    headers = Ref(PyDict_New());
    if (!headers) {
        FAIL_AT(12);
    }
    if (PyDict_SetItem(headers.get(), text_Content_Type, text_application_json_charset_UTF_8) < 0) {
        FAIL_AT(12);
    }

    // r = requests.post(url=..., data=json.dumps(...), headers=headers)
    Ref post;
    {
        Ref requests(runtime::lookup_global(name_requests, requests_cache));
        if (!requests) {
            FAIL_AT(14);
        }
        post = Ref(runtime::get_attr(requests.get(), name_post));
        if (!post) {
            FAIL_AT(14);
        }
    }
    Ref post_kwargs(PyDict_New());
    if (!post_kwargs) {
        FAIL_AT(15);
    }
    {
        Ref format(runtime::get_attr(text_webhook_url, name_format));
        if (!format) {
            FAIL_AT(15);
        }
        Ref format_kwargs(PyDict_New());
        if (!format_kwargs) {
            FAIL_AT(15);
        }
        if (PyDict_SetItem(format_kwargs.get(), name_access_token, access_token) < 0) {
            FAIL_AT(15);
        }
        Ref url(runtime::call_object(format.get(), g_empty_tuple, format_kwargs.get()));
        format.reset();
        format_kwargs.reset();
        if (!url) {
            FAIL_AT(15);
        }
        if (PyDict_SetItem(post_kwargs.get(), name_url, url.get()) < 0) {
            FAIL_AT(15);
        }
    }
    {
        Ref dumps;
        {
            Ref json(runtime::lookup_global(name_json, json_cache));
            if (!json) {
                FAIL_AT(16);
            }
            dumps = Ref(runtime::get_attr(json.get(), name_dumps));
            if (!dumps) {
                FAIL_AT(16);
            }
        }
        Ref message(PyDict_New());
        if (!message) {
            FAIL_AT(17);
        }
        if (PyDict_SetItem(message.get(), key_msgtype, key_text) < 0) {
            FAIL_AT(17);
        }
        {
            Ref content(PyDict_New());
            if (!content) {
                FAIL_AT(19);
            }
            if (PyDict_SetItem(content.get(), key_content, text) < 0) {
                FAIL_AT(19);
            }
            if (PyDict_SetItem(message.get(), key_text, content.get()) < 0) {
                FAIL_AT(17);
            }
        }
        Ref data(call_unpacked(dumps, message.get()));
        message.reset();
        dumps.reset();
        if (!data) {
            FAIL_AT(16);
        }
        if (PyDict_SetItem(post_kwargs.get(), name_data, data.get()) < 0) {
            FAIL_AT(15);
        }
    }
    if (PyDict_SetItem(post_kwargs.get(), name_headers, headers.get()) < 0) {
        FAIL_AT(15);
    }
    r = Ref(runtime::call_object(post.get(), g_empty_tuple, post_kwargs.get()));
    post.reset();
    post_kwargs.reset();
    if (!r) {
        FAIL_AT(14);
    }

    // return str(r.json())
    Ref decode(runtime::get_attr(r.get(), name_json));
    if (!decode) {
        FAIL_AT(25);
    }
    Ref decoded(call_unpacked(decode, nullptr));
    decode.reset();
    if (!decoded) {
        FAIL_AT(25);
    }
    Ref result(runtime::call_one_arg(reinterpret_cast<PyObject*>(&PyUnicode_Type), decoded.get()));
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
