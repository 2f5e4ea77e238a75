"""Calls of send and imports of main that several mechanisms run: their own
tests, the leak runner and the allocation-failure driver share these lists."""
import importlib
import json
import sys
import types

from support import stubs
from support.lines import MODULE, SEND

# Calls that bind access_token="t" and text="x": (args, kwargs).
BINDS = [
    (("t", "x"), {}),
    ((), {"access_token": "t", "text": "x"}),
    ((), {"text": "x", "access_token": "t"}),
    (("t",), {"text": "x"}),
]


def _count_error(given):
    return f"send() takes exactly 2 positional arguments ({given} given)"


# Calls that do not bind: (args, kwargs, the interpreter's wording).
BIND_ERRORS = [
    (("t",), {}, _count_error(1)),
    ((), {}, _count_error(0)),
    ((), {"text": "x"}, _count_error(0)),
    ((), {"access_token": "t"}, _count_error(1)),
    (("t", "x", "y"), {}, _count_error(3)),
    (("t", "x", "y"), {"text": "x"}, _count_error(3)),
    (("t",), {"access_token": "t"}, _count_error(1)),
    (("t", "x"), {"text": "x"}, "send() got multiple values for keyword argument 'text'"),
    (("t",), {"text": "x", "access_token": "t"}, "send() got multiple values for keyword argument 'access_token'"),
    ((), {"access_token": "t", "text": "x", "extra": 1}, "send() got an unexpected keyword argument 'extra'"),
    (("t", "x"), {"extra": 1}, "send() got an unexpected keyword argument 'extra'"),
]

DELETED = object()          # a global that FAILURES deletes


class _Raising:
    """A token or reply whose __format__, __str__ or json property raises."""

    def __format__(self, spec):
        raise stubs.Boom("format")

    def __str__(self):
        raise stubs.Boom("str")

    @property
    def json(self):
        raise stubs.Boom("property")


class _StrRaises:
    def __str__(self):
        raise stubs.Boom("str")


def _ns(**attributes):
    return types.SimpleNamespace(**attributes)


def _replying(reply):
    return _ns(post=lambda **kwargs: reply)


# Failures of send's body, each at its line: name -> (line, exception type,
# globals of main to rebind (DELETED: delete), arguments of send). None of
# the callees keeps anything between calls.
FAILURES = {
    "logger missing": (SEND.log, NameError, {"logger": DELETED}, ("t", "x")),
    "logger without info": (SEND.log, AttributeError, {"logger": object()}, ("t", "x")),
    "info raises": (SEND.log, stubs.Boom, {"logger": _ns(info=stubs.raiser(stubs.Boom))}, ("t", "x")),
    "token __format__ raises": (SEND.post_arguments, stubs.Boom, {}, (_Raising(), "x")),
    "token __str__ raises": (SEND.post_arguments, stubs.Boom, {}, (_StrRaises(), "x")),
    "json missing": (SEND.dumps, NameError, {"json": DELETED}, ("t", "x")),
    "json without dumps": (SEND.dumps, AttributeError, {"json": _ns()}, ("t", "x")),
    "dumps raises": (SEND.dumps, stubs.Boom, {"json": _ns(dumps=stubs.raiser(stubs.Boom))}, ("t", "x")),
    "text not serialisable": (SEND.dumps, TypeError, {}, ("t", {1, 2})),
    "requests missing": (SEND.post, NameError, {"requests": DELETED}, ("t", "x")),
    "requests without post": (SEND.post, AttributeError, {"requests": None}, ("t", "x")),
    "post raises": (SEND.post, ConnectionError, {"requests": _ns(post=stubs.raiser(ConnectionError))}, ("t", "x")),
    "call-slot post raises": (SEND.post, stubs.Boom,
                              {"requests": _ns(post=stubs.CallSlot(stubs.raiser(stubs.Boom)))}, ("t", "x")),
    "reply not json": (SEND.reply, json.JSONDecodeError, {"requests": _replying(stubs.Reply(body="<html>"))},
                       ("t", "x")),
    "reply None": (SEND.reply, AttributeError, {"requests": _replying(None)}, ("t", "x")),
    "reply json property raises": (SEND.reply, stubs.Boom, {"requests": _replying(_Raising())}, ("t", "x")),
    "reply json raises": (SEND.reply, stubs.Boom, {"requests": _replying(_ns(json=stubs.raiser(stubs.Boom)))},
                          ("t", "x")),
    "str of reply raises": (SEND.reply, stubs.Boom, {"requests": _replying(stubs.Reply(_StrRaises()))},
                            ("t", "x")),
}


def rebind(module, bindings):
    for name, value in bindings.items():
        if value is DELETED:
            delattr(module, name)
        else:
            setattr(module, name, value)


# Imports of main that fail: name -> (sys.modules entries made before the
# import (None refuses a module; "bare" is a module without its names), what
# the failure says, the line of "main.py" it reports). The modules not named
# are imported first, as main would.
IMPORT_FAILURES = {
    "loguru missing": ({"loguru": None}, "ModuleNotFoundError: import of loguru halted; None in sys.modules",
                       MODULE.loguru),
    "loguru without logger": ({"loguru": "bare"}, "ImportError: cannot import name logger", MODULE.loguru),
    "requests missing": ({"requests": None}, "ModuleNotFoundError: import of requests halted", MODULE.requests),
    # From 3.15 an import of a standard module refused this way has its own wording.
    "json missing": ({"json": None}, "ModuleNotFoundError: Standard library module 'json' was not found"
                     if sys.version_info >= (3, 15) else "ModuleNotFoundError: import of json halted", MODULE.json),
}


def refuse_imports(entries):
    """Makes the sys.modules entries of an IMPORT_FAILURES case, after
    importing the modules that main imports before the refused one."""
    order = ("loguru", "requests", "json")
    for name in order[:min(order.index(name) for name in entries)]:
        importlib.import_module(name)
    for name, value in entries.items():
        sys.modules[name] = types.ModuleType(name) if value == "bare" else value


def road(module, name):
    """Puts into `module` the callees of one road through send: "stand-ins"
    (plain recording stand-ins) or "call slots" (callees with only a call
    slot: their arguments become a tuple and a dictionary)."""
    stubs.put_standins(module)
    module.json = json
    if name == "call slots":
        module.logger = _ns(info=stubs.CallSlot(lambda *a, **k: None))
        module.requests = _ns(post=stubs.CallSlot(lambda **k: stubs.Reply()))
    elif name != "stand-ins":
        raise ValueError(f"no road {name!r}")


ROADS = ("stand-ins", "call slots")
