"""The body of send(access_token, text), compared with the function in plain
Python (bench/reference_main.py): over the shapes of callables, tokens, texts,
replies, rebindings and failures that its fast paths tell apart, the same
results, the same exceptions (the very objects) at the same lines, the same
arguments (the very objects) reaching every callee. A new behaviour of send is
a scenario of that comparison; the tests after it check what only the native
function has: the builtin str, the native line switch, a cleared function."""
import builtins
import gc
import json
import os
import re
import sys
import traceback
import types

import pytest

import main
import main_testhelper as helper
import reference_main
from conftest import ROOT
from support import cases, stubs
from support.lines import SEND
from support.stubs import OK
from support.tracebacks import main_py_entries


# --- the same as the function in plain Python ----------------------------------------

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


class BareReply:
    """A reply that post returns as it is: no json method unless one is set."""

    def __init__(self, payload):
        self.payload = payload


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
        obj = types.SimpleNamespace(**{attr: stubs.CallSlot(function)})
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


def put_shaped(rec, shape, replies=None, dumps=None):
    """logger, requests and json of rec.module in one shape; requests.post
    answers with the next of `replies`: a BareReply as it is, any other value
    as what json() returns of a reply in the same shape."""
    g = rec.module
    replies = iter(replies or [{"errcode": 0, "errmsg": "ok"}] * 5)

    def next_reply(*args, **kwargs):
        reply = next(replies)
        if not isinstance(reply, BareReply):
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
        put_shaped(rec, shape)
        return [("tok", "hello"), (42, ["x", 1.5])]
    return scenario


def builtins_scenario(rec):
    g = rec.module
    g.logger = types.SimpleNamespace(info="{access_token}/{text}".format)  # bound, takes keywords
    g.json = types.SimpleNamespace(dumps=repr)                             # METH_O

    def replying(decode):
        """A requests whose replies decode with `decode`."""
        def post(*args, **kwargs):
            reply = BareReply(None)
            reply.json = decode
            return reply
        return types.SimpleNamespace(post=rec.callee("post", post))

    g.requests = replying({"a": 1}.copy)                                   # METH_NOARGS, bound
    return [("tok", "text"),
            lambda: setattr(g, "requests", types.SimpleNamespace(post=dict)),  # a type's vectorcall entry
            ("tok", "text"),
            lambda: setattr(g, "requests", replying(dict)),                 # a type called with no argument
            ("tok", "text"),
            # a native function whose self is its first argument, called with none
            lambda: setattr(g, "requests", replying(
                helper.make_function("noargs", flags=helper.NATIVE_FUNCTION_SELF_ARG))),
            ("tok", "text")]


def tokens_scenario(rec):
    put_shaped(rec, "method", replies=[{"n": i} for i in range(18)])

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
        "a&b c", "\udcff-tok", Token(rec, S("from format")), Token(rec, ""), NotText(), Fails())]


def texts_scenario(rec):
    """Texts of every kind through the real json module: each reaches the
    logger as the very object given, and the wire as json.dumps writes it."""
    g = rec.module
    put_shaped(rec, "method", replies=[{"n": i} for i in range(9)])
    g.json = json
    big = "\u4e2d" * (10 * 1024 * 1024 // 3) + "x" * 7
    texts = ["hello", "你好", "部署完成 ✓ \"quoted\" {braces}\n第二行", "", "lone \ud800 surrogate", big,
             7, None, ["x", 1.5]]
    return [("tok", rec.label(text, f"text {i}") if isinstance(text, str) else text)
            for i, text in enumerate(texts)]


def replies_scenario(rec):
    replies = [{"errcode": 310000, "errmsg": "keywords not in content"}, [1, "two"], "text", 3,
               S("a str subclass"), BareReply(None), Shown(S("shown as a subclass")), Shown(3),
               Shown(KeyError("no str")), None]  # the BareReply has no json method
    put_shaped(rec, "method", replies=replies)
    return [("tok", "text")] * len(replies)


def rebinding_scenario(rec):
    g = rec.module
    put_shaped(rec, "method")
    first_requests, first_json = g.requests, g.json
    second = types.SimpleNamespace(post=rec.callee("second post", lambda *a, **k: first_requests.post(**k)))
    json_module = types.ModuleType("json_standin")
    json_module.dumps = rec.callee("module dumps", lambda *a, **k: "serialised")

    def info(*args, **kwargs):  # the log call swaps requests: the post line sees it
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

    put_shaped(rec, "method")
    g.json = types.SimpleNamespace(dumps=rec.callee("dumps", dumps))
    g.requests = types.SimpleNamespace(post=rec.callee("post", post))
    return [("tok", t) for t in ("plain", "change", "plain", "keep", "plain", "plain")] + [
        reach_kept_dictionaries, ("tok", "plain")]


def failures_scenario(rec):
    g = rec.module
    put_shaped(rec, "method", replies=[{"n": i} for i in range(8)])
    good = {name: getattr(g, name) for name in ("logger", "requests", "json")}

    def put_back():
        vars(g).update(good)

    steps = []
    for name in good:
        steps += [lambda name=name: delattr(g, name), ("tok", "x"),
                  lambda name=name: setattr(g, name, types.SimpleNamespace()), ("tok", "x"), put_back]
    steps += [lambda: setattr(g, "requests", types.SimpleNamespace(post=5)), ("tok", "x"), put_back,
              ("tok", {1, 2}), ("tok", "ok")]

    def from_builtins():  # a global missing from the module is looked up in the builtins
        del g.logger
        builtins.logger = holder(rec, "method", "info", rec.callee("builtin info", lambda *a, **k: None))

    error = rec.label(OSError("the very object"), "the error")
    key = stubs.CollidesWith("json")

    def collide():  # a look-up that raises, once: the next call looks up again
        stubs.put_first(vars(g), "json", key)
        key.armed = True

    steps += [from_builtins, ("tok", "x"), lambda: delattr(builtins, "logger"), ("tok", "x"), put_back,
              lambda: setattr(g, "logger", types.SimpleNamespace(info=lambda *a, **k: delattr(g, "requests"))),
              ("tok", "x"), put_back,                            # deleted while send runs
              lambda: setattr(g, "requests", types.SimpleNamespace(post=stubs.raiser(error))), ("tok", "x"),
              put_back, collide, ("tok", "x"), ("tok", "x"), lambda: vars(g).pop(key)]
    return steps


def shared_failures_scenario(rec):
    """The failures that the leak runner and the allocation sweeps also run."""
    g = rec.module
    put_shaped(rec, "method")
    good = {name: getattr(g, name) for name in ("logger", "requests", "json")}
    steps = []
    for line, error, bindings, args in cases.FAILURES.values():
        steps += [lambda bindings=bindings: cases.rebind(g, bindings), args, lambda: vars(g).update(good)]
    return steps + [("tok", "x")]


SCENARIOS = {f"shape: {shape}": shapes(shape) for shape in (
    "method", "staticmethod", "classmethod", "function", "bound method", "callable object", "class",
    "module", "module __getattr__", "shadowed by the instance")}
SCENARIOS.update({
    "builtins": builtins_scenario,
    "tokens": tokens_scenario,
    "texts": texts_scenario,
    "replies": replies_scenario,
    "rebinding during calls": rebinding_scenario,
    "callees that change or keep their dictionaries": mutating_callees_scenario,
    "failures": failures_scenario,
    "the shared failures": shared_failures_scenario,
})


def source_lines(exc):
    """The lines of the entries in the function's own source: "main.py" for
    the module, the reference's file for the plain function."""
    files = ("main.py", reference_main.__file__)
    return [frame.lineno for frame in traceback.extract_tb(exc.__traceback__) if frame.filename in files]


def run(module, scenario):
    rec = Recorder(module)
    with stubs.kept_globals(module), stubs.kept_globals(builtins):
        for step in scenario(rec):
            if callable(step):
                step()
                continue
            try:
                result = module.send(*step)
            except Exception as exc:
                name = exc.name if isinstance(exc, NameError) else None
                rec.log.append(("raised", rec.snap(exc), type(exc).__name__, str(exc), name, source_lines(exc)))
            else:
                rec.log.append(("returned", type(result).__name__, result))
    return rec.log


@pytest.mark.parametrize("name", SCENARIOS)
def test_native_matches_the_interpreted_function(name):
    native = run(main, SCENARIOS[name])
    interpreted = run(reference_main, SCENARIOS[name])
    assert native == interpreted
    assert any(entry[0] == "returned" for entry in native)


# --- what only the native function has ------------------------------------------

def fails_at(line, exc_type, *args, **kwargs):
    """main.send(*args, **kwargs) raises exc_type with one entry, at `line`."""
    with pytest.raises(exc_type) as info:
        main.send(*args, **kwargs)
    assert main_py_entries(info.value) == [("main.send", line)]
    return info.value


def test_rebinding_str_changes_nothing(standins):
    # The plain function reads str as a global; send calls the builtin type.
    main.json = types.SimpleNamespace(dumps=lambda value: "serialised")
    main.str = lambda value: "module str"
    saved = builtins.str
    builtins.str = lambda value: "builtin str"
    try:
        result = main.send("t", "x")
    finally:
        builtins.str = saved
        del main.str
    assert result == OK


@pytest.mark.parametrize("case", ["binding"] + list(cases.FAILURES))
def test_native_line_switch_names_the_failing_site(standins, case):
    # With the switch on, each entry names the native file and line of the
    # site that failed: a line of this checkout that records that failure.
    if case == "binding":
        line, error, args = SEND.definition, TypeError, ("t",)
    else:
        line, error, bindings, args = cases.FAILURES[case]
        cases.rebind(main, bindings)
    runtime = sys.modules["native_runtime"]
    runtime.native_line_in_traceback = True
    try:
        with pytest.raises(error) as info:
            main.send(*args)
    finally:
        runtime.native_line_in_traceback = False
    (name, reported), = main_py_entries(info.value)
    site = re.fullmatch(r"main\.send \((\w+/\w+\.cpp):(\d+)\)", name)
    assert site and reported == line, name
    with open(os.path.join(ROOT, "src", site.group(1)), encoding="utf-8") as source:
        text = source.read().splitlines()[int(site.group(2)) - 1]
    line_name, = (key for key, value in vars(SEND).items() if value == line)
    assert "fail_at(" in text and f"SendLine::{line_name}" in text, text
    fails_at(line, error, *args)          # switched off: the plain name again


def test_a_cleared_send_raises_instead_of_reading_globals(fresh):
    # The collector's clearing empties the function object, its globals too:
    # a call through what is left raises, with no entry (no globals for it).
    out = fresh("""
        import main, main_testhelper as helper
        send = main.send
        helper.clear(send)
        for args in (("t", "x"), ("t",)):
            try:
                send(*args)
            except (SystemError, TypeError) as e:
                print(type(e).__name__, e, e.__traceback__.tb_next)
    """)
    assert out.stdout.splitlines() == [
        "SystemError send() called through a function object that was cleared None",
        "TypeError send() takes exactly 2 positional arguments (1 given) None"]
