"""main.send against the interpreted reference (bench/reference_main.py) run
with the same stand-in globals: the same results, the same exceptions (type
and message) and the same arguments reaching every callee, over the shapes
of callables, tokens, replies and rebindings that the native fast paths
distinguish."""
import gc
import json
import os
import sys
import types

import pytest

import main

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import reference_main  # noqa: E402


class Recorder:
    """What the callees of one run received, in order, as comparable values."""

    def __init__(self, module):
        self.module = module
        self.log = []
        self.labels = {}
        self.keep = []  # labelled objects stay alive, so their ids stay theirs

    def label(self, obj, name):
        self.labels[id(obj)] = name
        self.keep.append(obj)
        return obj

    def snap(self, x):
        if id(x) in self.labels:
            return self.labels[id(x)]
        if isinstance(x, dict):
            return (type(x).__name__, [(self.snap(k), self.snap(v)) for k, v in x.items()])
        if isinstance(x, (list, tuple)):
            return (type(x).__name__, [self.snap(v) for v in x])
        if isinstance(x, (str, bytes, int, float, type(None))):
            return (type(x).__name__, x)
        return ("instance of", type(x).__name__)

    def callee(self, name, returns):
        def record(*args, **kwargs):
            self.log.append((name, [self.snap(a) for a in args], [(k, self.snap(v)) for k, v in kwargs.items()]))
            return returns(*args, **kwargs)
        return record


class Reply:
    def __init__(self, payload):
        self.payload = payload


class CallableObject:  # a heap type's instance: a call slot, no vectorcall entry
    def __init__(self, function):
        self.function = function

    def __call__(self, *args, **kwargs):
        return self.function(*args, **kwargs)


def holder(rec, shape, attr, function):
    """An object whose attribute `attr` calls `function`, exposed in `shape`."""
    if shape == "method":
        obj = type("Holder", (), {attr: function})()
    elif shape == "staticmethod":
        obj = type("Holder", (), {attr: staticmethod(function)})()
    elif shape == "classmethod":
        obj = type("Holder", (), {attr: classmethod(function)})()
    elif shape == "function":
        obj = types.SimpleNamespace(**{attr: function})
    elif shape == "bound method":
        obj = types.SimpleNamespace(**{attr: types.MethodType(function, rec.label(object(), "other self"))})
    elif shape == "callable object":
        obj = types.SimpleNamespace(**{attr: CallableObject(function)})
    elif shape == "class":
        obj = types.SimpleNamespace(**{attr: type("Made", (), {"__new__": lambda cls, *a, **k: function(*a, **k)})})
    elif shape == "module":
        obj = types.ModuleType("standin")
        setattr(obj, attr, function)
    elif shape == "module __getattr__":
        obj = types.ModuleType("standin")

        def module_getattr(name):
            if name != attr:
                raise AttributeError(name)
            return function
        obj.__getattr__ = module_getattr
    else:  # an instance that shadows its class's method
        obj = type("Holder", (), {attr: lambda self, *a, **k: "class method, never called"})()
        obj.__dict__[attr] = function
    return rec.label(obj, f"{attr} holder")


def install(rec, shape, replies=None, dumps=None):
    """logger, requests and json of rec.module in one shape; requests.post
    answers with the next of `replies` (a Reply's payload comes back from its
    json()), each reply's json in the same shape."""
    g = rec.module
    replies = iter(replies or [{"errcode": 0, "errmsg": "ok"}] * 5)

    def next_reply(*args, **kwargs):
        reply = next(replies)
        if not isinstance(reply, Reply):
            payload = reply
            reply = holder(rec, shape, "json", rec.callee("json", lambda *a, **k: payload))
        return reply

    g.logger = holder(rec, shape, "info", rec.callee("info", lambda *a, **k: None))
    g.requests = holder(rec, shape, "post", rec.callee("post", next_reply))
    g.json = holder(rec, shape, "dumps", rec.callee("dumps", dumps or (lambda *a, **k: json.dumps(a[-1]))))


class S(str):
    pass


class Token:
    def __init__(self, rec, text):
        self.rec, self.text = rec, text

    def __format__(self, spec):
        self.rec.log.append(("__format__", [self.rec.snap(spec)], []))
        return self.text


class Shown:
    def __init__(self, shown):
        self.shown = shown

    def __str__(self):
        if isinstance(self.shown, Exception):
            raise self.shown
        return self.shown


def shapes(shape):
    def scenario(rec):
        install(rec, shape)
        return [("tok", "hello"), (42, ["x", 1.5])]
    return scenario


def builtins_scenario(rec):
    g = rec.module
    g.logger = types.SimpleNamespace(info="{access_token}/{text}".format)  # bound, takes keywords
    g.json = types.SimpleNamespace(dumps=repr)                             # METH_O

    def post(*args, **kwargs):
        reply = Reply(None)
        reply.json = {"a": 1}.copy                                          # METH_NOARGS, bound
        return reply

    g.requests = types.SimpleNamespace(post=rec.callee("post", post))
    return [("tok", "text"),
            lambda: setattr(g, "requests", types.SimpleNamespace(post=dict)),  # a type's vectorcall entry
            ("tok", "text")]


def tokens_scenario(rec):
    install(rec, "method", replies=[{"n": i} for i in range(16)])

    class FormatsAs(str):
        def __format__(self, spec):
            return S("formatted:" + spec)

    class ShownAs(str):
        def __str__(self):
            return "shown"

    class NotText:
        def __format__(self, spec):
            return 7

    class Fails:
        def __format__(self, spec):
            raise ValueError("no format")

    return [(token, "text") for token in (
        "", "tok", S("sub"), FormatsAs("f"), ShownAs("s"), 42, True, 1.5, None, b"raw", "tökén", "令牌",
        Token(rec, S("from format")), Token(rec, ""), NotText(), Fails())]


def replies_scenario(rec):
    install(rec, "method", replies=[
        {"errcode": 0}, [1, "two"], S("a str subclass"), Reply(None), Shown(S("shown as a subclass")),
        Shown(3), Shown(KeyError("no str")), None,
    ])  # the bare Reply has no json method
    return [("tok", "text")] * 8


def rebinding_scenario(rec):
    g = rec.module
    install(rec, "method")
    first_requests, first_json = g.requests, g.json
    second = types.SimpleNamespace(post=rec.callee("second post", lambda *a, **k: first_requests.post(**k)))
    json_module = types.ModuleType("json_standin")
    json_module.dumps = rec.callee("module dumps", lambda *a, **k: "serialised")

    def info(*args, **kwargs):  # the log call swaps requests: line 14 sees it
        g.requests = second if g.requests is first_requests else first_requests

    class Rebinder:
        def __format__(self, spec):  # post is already looked up when the URL is made
            g.requests = types.SimpleNamespace(post=None)
            g.json = json_module
            return "rebinder"

    def module_dumps(*args, **kwargs):  # changes the module the next call reads
        json_module.dumps = rec.callee("new module dumps", lambda *a, **k: "again")
        return "first"

    g.logger = types.SimpleNamespace(info=rec.callee("info", info))
    return [
        ("tok", "x"), ("tok", "y"), (Rebinder(), "z"),
        lambda: setattr(g, "requests", first_requests),
        lambda: setattr(json_module, "dumps", rec.callee("module dumps", module_dumps)),
        ("tok", "a"), ("tok", "b"), ("tok", "c"),
        lambda: setattr(g, "json", first_json),
        ("tok", "d"),
    ]


def mutating_callees_scenario(rec):
    """Callees that change the dictionaries they get, keep them, or neither."""
    g = rec.module
    kept = []

    def dumps(message):
        content = message["text"]
        if content["content"] == "keep":
            kept.append(content)
        elif content["content"] == "change":
            del message["msgtype"]
            content["extra"] = 1
        return json.dumps(message)

    def post(url, data, headers):
        if "change" in data:
            headers["Content-Type"] = "text/plain"
            headers["X-Extra"] = "1"
        elif "keep" in data:
            kept.append(headers)
        return holder(rec, "method", "json", rec.callee("json", lambda *a, **k: {"ok": True}))

    def reach_kept_dictionaries():  # code that finds a kept message all the same
        for obj in gc.get_objects():
            if type(obj) is dict and obj.get("msgtype") == "text" and obj.get("text") == {"content": None}:
                obj["msgtype"] = "reached"

    install(rec, "method")
    g.json = types.SimpleNamespace(dumps=rec.callee("dumps", dumps))
    g.requests = types.SimpleNamespace(post=rec.callee("post", post))
    return [("tok", t) for t in ("plain", "change", "plain", "keep", "plain", "plain")] + [
        reach_kept_dictionaries, ("tok", "plain")]


def failures_scenario(rec):
    g = rec.module
    install(rec, "method")
    good = g.logger, g.requests, g.json
    steps = []
    for name in ("logger", "requests", "json"):
        steps += [lambda name=name: delattr(g, name), ("tok", "x"),
                  lambda name=name: setattr(g, name, types.SimpleNamespace()), ("tok", "x"),
                  lambda name=name, i=("logger", "requests", "json").index(name): setattr(g, name, good[i])]
    steps += [lambda: setattr(g, "requests", types.SimpleNamespace(post=5)), ("tok", "x"),
              lambda: setattr(g, "requests", good[1]), ("tok", {1, 2}), ("tok", "ok")]
    return steps


SCENARIOS = {f"shape: {shape}": shapes(shape) for shape in (
    "method", "staticmethod", "classmethod", "function", "bound method", "callable object", "class",
    "module", "module __getattr__", "shadowed by the instance")}
SCENARIOS.update({
    "builtins": builtins_scenario,
    "tokens": tokens_scenario,
    "replies": replies_scenario,
    "rebinding during calls": rebinding_scenario,
    "callees that change or keep their dictionaries": mutating_callees_scenario,
    "failures": failures_scenario,
})


def run(module, scenario):
    saved = {name: getattr(module, name) for name in ("logger", "requests", "json")}
    rec = Recorder(module)
    try:
        for step in scenario(rec):
            if callable(step):
                step()
                continue
            try:
                result = module.send(*step)
            except Exception as exc:
                rec.log.append(("raised", type(exc).__name__, str(exc)))
            else:
                rec.log.append(("returned", type(result).__name__, result))
    finally:
        for name, value in saved.items():
            setattr(module, name, value)
    return rec.log


@pytest.mark.parametrize("name", SCENARIOS)
def test_native_matches_the_interpreted_function(name):
    native = run(main, SCENARIOS[name])
    interpreted = run(reference_main, SCENARIOS[name])
    assert native == interpreted
    assert any(entry[0] == "returned" for entry in native)
