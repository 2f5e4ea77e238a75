# Type information for the native module main, installed as the stub package
# main-stubs beside it: a lone extension module has no package directory for a
# py.typed marker, and type checkers look for <name>-stubs in site-packages.
# The docstrings are here because this is where help in an editor comes from;
# the native objects carry none.
"""Send a text message to a DingTalk group through its custom robot's webhook.

A native extension module: ``send(access_token, text)`` logs one INFO line
through loguru, posts the text with requests and returns the service's reply
as text. It reads its globals ``logger``, ``requests`` and ``json`` on every
call, so rebinding them (a patched logger, a ``requests.Session``, a
namespace with a ``post`` that has a timeout) changes what the next send uses.
"""
from typing import Any

# The module's globals, read by send on every call. Users rebind them (a
# patched loguru logger, a requests.Session, a namespace with a bounded post),
# so any object that has the method send uses (info, post, dumps) will do.
logger: Any
requests: Any
json: Any
__test__: dict[Any, Any]

def send(access_token: str, text: str) -> str:
    """Post ``text`` to the group of the robot ``access_token``; return the reply as text.

    First writes one INFO record through ``logger``: the message
    ``[钉钉通知] 该APP执行参数为: <access_token> <text>``, with both values also
    in the record's ``extra``. The record names the caller's module, function
    and line (send has no Python frame of its own), and it holds the token:
    mind who reads the logs.

    Then calls ``requests.post`` with
    ``url="https://oapi.dingtalk.com/robot/send?access_token=" + access_token``
    (the token as it is, not escaped: append ``&timestamp=...&sign=...`` for
    a signed robot), the header ``Content-Type: application/json;charset=UTF-8``
    and the body ``json.dumps({"msgtype": "text", "text": {"content": text}})``.

    Returns ``str()`` of the decoded JSON reply: Python's notation of a dict,
    such as ``"{'errcode': 0, 'errmsg': 'ok'}"``, not JSON
    (``ast.literal_eval`` reads it). The service's refusals (unknown token,
    missing keyword, bad sign, too fast, too long) are replies with a
    non-zero ``errcode``, returned like any other, never raised.

    Raises:
        requests.exceptions.RequestException: the post failed: connection,
            proxy, TLS, time-out (``ConnectionError``, ``Timeout``, ...).
        TypeError: ``json.dumps`` cannot serialise the body (``text`` is not
            JSON-serialisable); the INFO record is already written.
        NameError: a global that send reads (``logger``, ``requests``,
            ``json``) has been deleted from the module.
        requests.exceptions.JSONDecodeError: the reply is not JSON, such as
            a gateway's HTML error page; its ``doc`` holds the body.

    Every exception is the dependency's own, with a traceback entry at the
    line of ``main.py`` where a plain-Python send would have raised it.
    """
