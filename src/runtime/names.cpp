#include "runtime/names.h"

namespace runtime {

PyObject* text_log_template = nullptr;
PyObject* text_Content_Type = nullptr;
PyObject* name_access_token = nullptr;
PyObject* text_application_json_charset_UTF_8 = nullptr;
PyObject* name_native_line_in_traceback = nullptr;
PyObject* key_content = nullptr;
PyObject* name_data = nullptr;
PyObject* name_dumps = nullptr;
PyObject* name_headers = nullptr;
PyObject* text_webhook_url_prefix = nullptr;
PyObject* text_empty = nullptr;
PyObject* name_info = nullptr;
PyObject* name_json = nullptr;
PyObject* name_logger = nullptr;
PyObject* name_loguru = nullptr;
PyObject* name_main = nullptr;
PyObject* name_main_2 = nullptr;
PyObject* str_main_py = nullptr;
PyObject* key_msgtype = nullptr;
PyObject* name_name = nullptr;
PyObject* name_post = nullptr;
PyObject* name_r = nullptr;
PyObject* name_requests = nullptr;
PyObject* name_send = nullptr;
PyObject* name_test = nullptr;
PyObject* name_text = nullptr;
PyObject* key_text = nullptr;
PyObject* name_url = nullptr;

PyObject* tuple_log_kwnames = nullptr;
PyObject* tuple_post_kwnames = nullptr;
PyObject* tuple_send_varnames = nullptr;
PyObject* code_send = nullptr;

}  // namespace runtime
