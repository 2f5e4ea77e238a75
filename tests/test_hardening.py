"""Threads, re-entrant calls and hostile inputs: each ends in a correct result
or a clean exception at its line of "main.py", and main.send keeps working."""
import json
import os
import subprocess
import sys
import threading
import time

import _testcapi
import pytest

import main
import stubs
from conftest import TESTS_DIR, python_env

DEBUG = hasattr(sys, "gettotalrefcount")
OK = "{'errcode': 0, 'errmsg': 'ok'}"


class Boom(Exception):
    pass


def main_py_line(exc):
    lines = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "main.py":
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines[-1] if lines else None


@pytest.fixture
def recorded():
    """Fresh recording stand-ins; afterwards main.send must still work."""
    saved = main.logger, main.requests, main.json
    logger, requests = stubs.install(main)
    yield logger, requests
    stubs.install(main)
    main.json = saved[2]
    assert main.send("tok", "after") == OK
    main.logger, main.requests, main.json = saved


def raises_at(exc_type, line, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        main.send(*args, **kwargs)
    assert main_py_line(info.value) == line, info.value
    return info.value


# --- threads -----------------------------------------------------------------


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="with the sanitizer runtime preloaded, plain Python daemon threads crash at exit too")
def test_daemon_threads_inside_send_at_exit_let_the_process_end_cleanly():
    # Each run exits while eight daemon threads are inside send; the
    # interpreter ends them as it shuts down. No cleanup of ours may run then.
    script = os.path.join(TESTS_DIR, "scripts", "daemon_exit.py")
    runs = 10 if DEBUG else 20
    failures = []
    for _ in range(runs):
        proc = subprocess.run([sys.executable, script, "8"], capture_output=True, text=True,
                              env=python_env(), timeout=120)
        if proc.returncode != 0:
            failures.append(f"status {proc.returncode}: {proc.stderr[-300:]}")
    assert failures == [], f"{len(failures)} of {runs} runs failed:\n" + "\n".join(failures)


class Replying:
    """A post that lets other threads run before it answers `who`."""

    def __init__(self, who):
        self.reply = stubs.Reply({"who": who})

    def post(self, url, data, headers):
        time.sleep(0)
        return self.reply


class Counting:
    def __init__(self):
        self.count = 0

    def info(self, template, access_token, text):
        self.count += 1


def test_threads_with_globals_rebound_underneath():
    threads, calls = 16, (1000 if DEBUG else 2000)
    posts = Replying("a"), Replying("b")
    loggers = Counting(), Counting()
    expected = {"{'who': 'a'}", "{'who': 'b'}"}
    saved = main.logger, main.requests
    main.logger, main.requests = loggers[0], posts[0]
    stop = threading.Event()
    bad, errors = [], []

    def rebind():
        i = 0
        while not stop.is_set():
            i += 1
            main.requests = posts[i % 2]
            main.logger = loggers[(i // 3) % 2]
            time.sleep(0)

    def worker(n):
        try:
            for i in range(calls):
                result = main.send(f"tok{n}", i)
                if result not in expected:
                    bad.append(result)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    rebinder = threading.Thread(target=rebind)
    workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
    try:
        rebinder.start()
        for t in workers:
            t.start()
        for t in workers:
            t.join()
    finally:
        stop.set()
        rebinder.join()
        sys.setswitchinterval(old_interval)
        main.logger, main.requests = saved
    assert not errors and not bad
    assert sum(lg.count for lg in loggers) == threads * calls


# --- re-entrant calls --------------------------------------------------------


def test_reentrant_calls_from_logger_and_post(recorded):
    logger, requests = recorded
    inner = []

    class ReentrantLogger:
        def info(self, template, access_token, text):
            if text == "outer":
                inner.append(main.send("inner-tok", "from-logger"))

    class ReentrantPost:
        def post(self, url, data, headers):
            if "outer" in data:
                inner.append(main.send("inner-tok", "from-post"))
            return stubs.Reply({"url": url})

    main.logger, main.requests = ReentrantLogger(), ReentrantPost()
    result = main.send("outer-tok", "outer")
    assert result == str({"url": "https://oapi.dingtalk.com/robot/send?access_token=outer-tok"})
    assert inner == [str({"url": "https://oapi.dingtalk.com/robot/send?access_token=inner-tok"})] * 2

    # A failure deep inside a nested call reports its own line, the outer call its own.
    main.logger, main.requests = logger, stubs.Requests(None)
    requests = main.requests
    requests.post = lambda **kw: main.send("x", {1})
    with pytest.raises(TypeError) as info:
        main.send("tok", "text")
    assert traceback_lines(info.value) == [14, 16]


def traceback_lines(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "main.py":
            out.append(tb.tb_lineno)
        tb = tb.tb_next
    return out


# --- hostile arguments -------------------------------------------------------


class RaisingFormat:
    def __format__(self, spec):
        raise Boom("format")


class RaisingStr:
    def __str__(self):
        raise Boom("str")


@pytest.mark.parametrize("token", [RaisingFormat(), RaisingStr()], ids=["__format__", "__str__"])
def test_token_that_cannot_be_formatted_fails_at_line_15(recorded, token):
    logger, requests = recorded
    raises_at(Boom, 15, token, "text")
    assert len(logger.calls) == 1 and requests.calls == []


def test_text_json_rejects_fails_at_line_16(recorded):
    logger, requests = recorded
    raises_at(TypeError, 16, "tok", {1, 2})
    assert len(logger.calls) == 1 and requests.calls == []


def test_lone_surrogates_and_a_10mb_text_travel_intact(recorded):
    logger, requests = recorded
    assert main.send("\udcff-tok", "lone \ud800 surrogate") == OK
    kw = requests.calls[-1][1]
    assert kw["url"].endswith("access_token=\udcff-tok")
    assert json.loads(kw["data"])["text"]["content"] == "lone \ud800 surrogate"
    assert "\\ud800" in kw["data"]

    big = "\u4e2d" * (10 * 1024 * 1024 // 3) + "x" * 7
    assert main.send("tok", big) == OK
    data = requests.calls[-1][1]["data"]
    assert json.loads(data)["text"]["content"] == big
    assert logger.calls[-1][1]["text"] is big


def test_keyword_keys_with_raising_eq_or_hash(recorded):
    logger, requests = recorded

    class RaisingEq(str):
        armed = False
        __hash__ = str.__hash__

        def __eq__(self, other):
            if RaisingEq.armed:
                raise Boom("eq")
            return str.__eq__(self, other)

    class RaisingHash(str):
        armed = False

        def __hash__(self):
            if RaisingHash.armed:
                raise Boom("hash")
            return str.__hash__(self)

        __eq__ = str.__eq__

    # A key equal in content and hash to "text" whose __eq__ raises: the
    # direct look-up fails, which reads as a missing argument.
    kwargs = {"access_token": "tok", RaisingEq("text"): "x"}
    RaisingEq.armed = True
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)") as info:
        _testcapi.pyobject_fastcalldict(main.send, (), kwargs)
    assert main_py_line(info.value) == 9
    # The keyword scan compares by content and never calls __eq__.
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'text'") as info:
        _testcapi.pyobject_fastcalldict(main.send, ("tok", "y"), {RaisingEq("text"): "y"})
    assert main_py_line(info.value) == 9
    RaisingEq.armed = False
    assert main.send(**{"access_token": "tok", RaisingEq("text"): "y"}) == OK
    # The hash is taken when the dictionary is built, never again.
    kwargs = {RaisingHash("access_token"): "tok", RaisingHash("text"): "z"}
    RaisingHash.armed = True
    assert main.send(**kwargs) == OK
    RaisingHash.armed = False
    assert [c[1]["text"] for c in logger.calls] == ["y", "z"]


def test_keyword_eq_that_drops_the_token_from_the_dictionary(fresh):
    # The look-up of "text" runs a colliding key's __eq__, which empties the
    # caller's dictionary; the token bound just before must stay alive. (In a
    # fresh interpreter: this used to crash.)
    proc = fresh("""
        import _testcapi, main, stubs
        logger, requests = stubs.install(main)

        class Dropping(str):
            armed = False
            __hash__ = str.__hash__

            def __eq__(self, other):
                if Dropping.armed:
                    Dropping.armed = False
                    kwargs.pop("access_token")
                return False

        class Token:
            def __format__(self, spec):
                return "kept"

        kwargs = {"access_token": Token(), Dropping("text"): "evil", "text": "plain"}
        Dropping.armed = True
        print(_testcapi.pyobject_fastcalldict(main.send, (), kwargs))
        print(requests.calls[-1][1]["url"])
    """)
    assert proc.stdout.splitlines() == [OK, "https://oapi.dingtalk.com/robot/send?access_token=kept"]


# --- hostile dependencies ----------------------------------------------------


def test_logger_that_deletes_requests_mid_call(recorded):
    logger, requests = recorded

    class Deleting:
        def info(self, *args, **kwargs):
            del main.requests

    main.logger = Deleting()
    exc = raises_at(NameError, 14, "tok", "text")
    assert str(exc) == "name 'requests' is not defined" and exc.name == "requests"
    assert requests.calls == []


def test_replies_that_cannot_be_decoded_fail_at_line_25(recorded):
    logger, requests = recorded

    class PropertyReply:
        @property
        def json(self):
            raise Boom("property")

    requests.reply = PropertyReply()
    raises_at(Boom, 25, "tok", "text")
    requests.reply = None
    raises_at(AttributeError, 25, "tok", "text")
    requests.reply = stubs.Reply(body="not json")
    raises_at(json.JSONDecodeError, 25, "tok", "text")
    assert len(requests.calls) == 3


# --- hostile globals -----------------------------------------------------------


def test_a_global_look_up_that_raised_is_retried_next_call(recorded):
    key = stubs.CollidesWith("json")
    stubs.put_first(vars(main), "json", key)
    try:
        key.armed = True
        raises_at(RuntimeError, 16, "tok", "text")
        assert main.send("tok", "text") == OK
    finally:
        del vars(main)[key]


ENTRY_SCRIPT = """
import sys, traceback
import main, stubs
stubs.install(main)
rt = sys.modules["native_runtime"]

def entries():  # the main.py entries of a failure at line 16
    try:
        main.send("tok", {1, 2})
    except TypeError as exc:
        return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == "main.py"]
"""


@pytest.mark.parametrize("case", [
    # A switch whose read raises counts as off for this entry and stays as set.
    """rt.native_line_in_traceback = True
key = stubs.CollidesWith("native_line_in_traceback")
stubs.put_first(vars(rt), "native_line_in_traceback", key)
key.armed = True
assert entries() == [("main.send", 16)]
assert rt.native_line_in_traceback is True
assert entries()[0][0].startswith("main.send (main.cpp:")""",
    # The frame finds its builtins without the module's __builtins__ ...
    """del main.__builtins__
assert entries() == [("main.send", 16)]""",
    # ... and past a harmless key whose __eq__ runs while it looks.
    """stubs.put_first(vars(main), "__builtins__", stubs.CollidesWith("__builtins__"))
assert entries() == [("main.send", 16)]""",
], ids=["switch-read-raises", "no-builtins", "colliding-builtins-key"])
def test_traceback_entry_is_built_apart_from_the_exception(fresh, case):
    fresh(ENTRY_SCRIPT + case)
