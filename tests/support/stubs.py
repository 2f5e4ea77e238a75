"""Stand-ins for loguru's logger and the requests module, recording every call."""
import json


class Reply:
    def __init__(self, payload=None, body=None):
        self.payload = {"errcode": 0, "errmsg": "ok"} if payload is None else payload
        self.body = body

    def json(self):
        if self.body is not None:
            return json.loads(self.body)
        return self.payload


class Logger:
    def __init__(self):
        self.calls = []

    def info(self, *args, **kwargs):
        self.calls.append((args, kwargs))


class Requests:
    def __init__(self, reply=None):
        self.calls = []
        self.reply = Reply() if reply is None else reply

    def post(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.reply


class CallSlot:
    """An instance of a heap type that calls `function`: a callee with a call
    slot and no vectorcall entry."""

    def __init__(self, function):
        self.function = function

    def __call__(self, *args, **kwargs):
        return self.function(*args, **kwargs)


def raiser(error):
    """A callable that raises `error`, whatever it is given."""
    def call(*args, **kwargs):
        raise error
    return call


def install(module, reply=None):
    """Puts fresh stand-ins into `module`'s globals; returns (logger, requests)."""
    logger, requests = Logger(), Requests(reply)
    module.logger = logger
    module.requests = requests
    return logger, requests


class CollidesWith:
    """A dictionary key that shares the hash of `name` and equals nothing; its
    __eq__ raises once after `armed` is set."""

    def __init__(self, name):
        self.name, self.armed = name, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            raise RuntimeError("a colliding key's __eq__")
        return NotImplemented


def put_first(namespace, name, key):
    """Stores `key` in `namespace` so that it comes before `name` in the
    dictionary's probe sequence of `name` (its look-up then meets the key)."""
    value = namespace.pop(name)
    namespace[key] = None
    namespace[name] = value
