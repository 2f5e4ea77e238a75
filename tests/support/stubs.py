"""Stand-ins for loguru's logger and the requests module, recording every
call; what main.send hands them and returns; a clock the tests drive; and
main's globals put back after a test."""
import contextlib
import json

# The template main.send logs with, and what it returns for the stand-ins'
# default reply.
TEMPLATE = "[钉钉通知] 该APP执行参数为: {access_token} {text}"
OK = "{'errcode': 0, 'errmsg': 'ok'}"


class Boom(Exception):
    """What the stand-ins raise."""


class Clock:
    """A clock that reads `now`, which the tests move."""

    def __init__(self, now=1000.0):
        self.now = now

    def __call__(self):
        return self.now


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


@contextlib.contextmanager
def kept_globals(module):
    """Puts `module`'s globals back as they were when the block ends:
    rebound, deleted and added names alike."""
    namespace = vars(module)
    saved = dict(namespace)
    try:
        yield
    finally:
        for name in [name for name in namespace if name not in saved]:
            del namespace[name]
        for name, value in saved.items():
            if namespace.get(name, saved) is not value:
                namespace[name] = value


def put_standins(module, reply=None):
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
