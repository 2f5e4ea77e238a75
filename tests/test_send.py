"""send(access_token, text) with stand-ins for loguru's logger and requests."""
import ctypes
import json
import sys
import threading
import time
import traceback

import pytest

import main
import stubs

TEMPLATE = "[钉钉通知] 该APP执行参数为: {access_token} {text}"
URL = "https://oapi.dingtalk.com/robot/send?access_token="
HEADERS = {"Content-Type": "application/json;charset=UTF-8"}


@pytest.fixture(autouse=True)
def standins():
    saved = {name: getattr(main, name) for name in ("logger", "requests", "json")}
    logger, requests = stubs.install(main)
    yield logger, requests
    for name, value in saved.items():
        setattr(main, name, value)


def entries(excinfo):
    """(file, line, function) of every traceback entry after the test's own."""
    return [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(excinfo.value.__traceback__)[1:]]


def fails_at(line, exc_type, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        main.send(*args, **kwargs)
    assert entries(info)[0] == ("main.py", line, "main.send"), entries(info)
    return info


class TestSuccess:
    def test_calls_in_order_with_exact_arguments(self, standins):
        logger, requests = standins
        assert main.send("tok", "hello") == "{'errcode': 0, 'errmsg': 'ok'}"
        assert logger.calls == [((TEMPLATE,), {"access_token": "tok", "text": "hello"})]
        (args, kwargs), = requests.calls
        assert args == ()
        assert list(kwargs) == ["url", "data", "headers"]
        assert list(logger.calls[0][1]) == ["access_token", "text"]
        assert kwargs["url"] == URL + "tok"
        assert kwargs["headers"] == HEADERS
        assert kwargs["data"] == '{"msgtype": "text", "text": {"content": "hello"}}'

    @pytest.mark.parametrize("token, text, url_tail, body", [
        ("t", "你好", "t", '{"msgtype": "text", "text": {"content": "\\u4f60\\u597d"}}'),
        (42, 7, "42", '{"msgtype": "text", "text": {"content": 7}}'),
        ("a&b c", None, "a&b c", '{"msgtype": "text", "text": {"content": null}}'),
        ("t", ["x", 1.5], "t", '{"msgtype": "text", "text": {"content": ["x", 1.5]}}'),
    ])
    def test_wire_format(self, standins, token, text, url_tail, body):
        _, requests = standins
        main.send(token, text)
        kwargs = requests.calls[0][1]
        assert kwargs["url"] == URL + url_tail
        assert kwargs["data"] == body == json.dumps({"msgtype": "text", "text": {"content": text}})

    def test_names_and_texts_are_shared_objects(self, standins):
        import types
        logger, _ = standins
        messages = []
        main.json = types.SimpleNamespace(dumps=lambda value: messages.append(value) or "{}")
        main.send("t", "x")
        main.send("t", "y")
        first, second = messages
        log_keys = list(logger.calls[0][1])
        # One interned "text" serves as keyword, message type and message key.
        assert first["msgtype"] is list(first)[1] is log_keys[1] is list(second)[1]
        assert logger.calls[0][0][0] is logger.calls[1][0][0]
        assert len(TEMPLATE) == 39 and len(TEMPLATE.encode()) == 59

    def test_result_is_always_str_of_the_decoded_reply(self, standins):
        _, requests = standins
        for payload in ({"errcode": 310000, "errmsg": "keywords not in content"}, [1, 2], "text", 3):
            requests.reply = stubs.Reply(payload)
            result = main.send("t", "x")
            assert type(result) is str and result == str(payload)

    def test_rebinding_str_changes_nothing(self, standins):
        import builtins
        import types
        main.json = types.SimpleNamespace(dumps=lambda value: "serialised")
        main.str = lambda value: "module str"
        saved = builtins.str
        builtins.str = lambda value: "builtin str"
        try:
            result = main.send("t", "x")
        finally:
            builtins.str = saved
            del main.str
        assert result == "{'errcode': 0, 'errmsg': 'ok'}"

    def test_rebound_globals_are_seen_at_the_next_call(self, standins):
        main.send("t", "x")
        logger2, requests2 = stubs.Logger(), stubs.Requests(stubs.Reply({"second": True}))
        main.requests = requests2
        assert main.send("t", "x") == "{'second': True}"
        main.logger = logger2
        main.send("t", "y")
        assert len(logger2.calls) == 1 and len(requests2.calls) == 2

    def test_deleted_logger_falls_back_to_a_builtin(self, standins):
        import builtins
        _, requests = standins
        builtin_logger = stubs.Logger()
        del main.logger
        builtins.logger = builtin_logger
        try:
            main.send("t", "x")
        finally:
            del builtins.logger
        assert len(builtin_logger.calls) == 1 and len(requests.calls) == 1

    def test_bound_and_plain_callables_for_dumps_and_json(self, standins):
        _, requests = standins

        class Encoder:
            def dumps(self, value):
                return "bound:" + json.dumps(value)

        class Namespace:
            pass

        main.json = Encoder()
        main.send("t", "x")
        assert requests.calls[-1][1]["data"].startswith("bound:{")
        plain = Namespace()
        plain.dumps = len          # a built-in taking one argument
        main.json = plain
        main.send("t", "x")
        assert requests.calls[-1][1]["data"] == 2
        reply = Namespace()
        reply.json = dict          # a type called with no argument
        requests.reply = reply
        assert main.send("t", "x") == "{}"


class TestFailures:
    def test_missing_logger_is_a_name_error_and_nothing_is_posted(self, standins):
        _, requests = standins
        del main.logger
        info = fails_at(10, NameError, "t", "x")
        assert str(info.value) == "name 'logger' is not defined" and info.value.name == "logger"
        assert requests.calls == []
        assert len(entries(info)) == 1

    def test_log_failures(self, standins):
        _, requests = standins

        class Broken:
            def info(self, *args, **kwargs):
                raise ValueError("log broke")

        main.logger = object()
        fails_at(10, AttributeError, "t", "x")
        main.logger = Broken()
        info = fails_at(10, ValueError, "t", "x")
        assert str(info.value) == "log broke"
        assert requests.calls == []

    def test_post_failures(self, standins):
        del main.requests
        fails_at(14, NameError, "t", "x")
        main.requests = None
        fails_at(14, AttributeError, "t", "x")

        class Down:
            def post(self, **kwargs):
                raise ConnectionError("down")

        main.requests = Down()
        fails_at(14, ConnectionError, "t", "x")

    def test_token_that_cannot_be_formatted(self, standins):
        logger, requests = standins

        class Token:
            def __format__(self, spec):
                raise RuntimeError("no format")

        fails_at(15, RuntimeError, Token(), "x")
        assert len(logger.calls) == 1 and requests.calls == []

    def test_unserialisable_text_fails_after_logging_and_before_posting(self, standins):
        logger, requests = standins
        info = fails_at(16, TypeError, "t", {1, 2})
        assert "not JSON serializable" in str(info.value)
        assert len(logger.calls) == 1 and requests.calls == []
        del main.json
        fails_at(16, NameError, "t", "x")

    def test_reply_failures_come_after_the_post(self, standins):
        _, requests = standins
        requests.reply = stubs.Reply(body="<html>not json</html>")
        fails_at(25, json.JSONDecodeError, "t", "x")
        assert len(requests.calls) == 1
        requests.reply = None
        fails_at(25, AttributeError, "t", "x")

        class BadStr:
            def __str__(self):
                raise ValueError("no str")

        requests.reply = stubs.Reply(BadStr())
        fails_at(25, ValueError, "t", "x")

    def test_exception_is_passed_on_unchanged(self, standins):
        error = OSError("the very object")

        class Down:
            def post(self, **kwargs):
                raise error

        main.requests = Down()
        with pytest.raises(OSError) as info:
            main.send("t", "x")
        assert info.value is error

    def test_native_line_switch_names_the_native_site(self, standins):
        runtime = sys.modules["native_runtime"]
        del main.logger
        runtime.native_line_in_traceback = True
        try:
            with pytest.raises(NameError) as info:
                main.send("t", "x")
        finally:
            runtime.native_line_in_traceback = False
        (filename, line, name), = entries(info)
        assert (filename, line) == ("main.py", 10)
        assert name.startswith("main.send (main.cpp:") and name.endswith(")")


def count_error(given):
    return f"send() takes exactly 2 positional arguments ({given} given)"


class TestBinding:
    @pytest.mark.parametrize("args, kwargs", [
        (("t", "x"), {}),
        ((), {"access_token": "t", "text": "x"}),
        ((), {"text": "x", "access_token": "t"}),
        (("t",), {"text": "x"}),
        (("t", "x"), {}),
    ])
    def test_binds(self, standins, args, kwargs):
        logger, _ = standins
        main.send(*args, **kwargs)
        assert logger.calls[-1][1] == {"access_token": "t", "text": "x"}

    @pytest.mark.parametrize("args, kwargs, message", [
        (("t",), {}, count_error(1)),
        ((), {}, count_error(0)),
        ((), {"text": "x"}, count_error(0)),
        ((), {"access_token": "t"}, count_error(1)),
        (("t", "x", "y"), {}, count_error(3)),
        (("t", "x", "y"), {"text": "x"}, count_error(3)),
        (("t",), {"access_token": "t"}, count_error(1)),
        (("t", "x"), {"text": "x"}, "send() got multiple values for keyword argument 'text'"),
        (("t",), {"text": "x", "access_token": "t"},
         "send() got multiple values for keyword argument 'access_token'"),
        ((), {"access_token": "t", "text": "x", "extra": 1}, "send() got an unexpected keyword argument 'extra'"),
        (("t", "x"), {"extra": 1}, "send() got an unexpected keyword argument 'extra'"),
    ])
    def test_errors_raise_at_the_definition_line_and_run_nothing(self, standins, args, kwargs, message):
        logger, requests = standins
        with pytest.raises(TypeError) as info:
            main.send(*args, **kwargs)
        assert str(info.value) == message
        assert entries(info) == [("main.py", 9, "main.send")]
        assert logger.calls == [] and requests.calls == []

    def test_empty_keyword_dictionary_is_like_none(self, standins):
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object] * 3
        assert call(main.send, ("t", "x"), {}) == "{'errcode': 0, 'errmsg': 'ok'}"
        with pytest.raises(TypeError, match=r"\(1 given\)"):
            call(main.send, ("t",), {})

    def test_non_string_key_through_the_native_interface(self, standins):
        call = ctypes.pythonapi.PyObject_Call
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object] * 3
        with pytest.raises(TypeError, match=r"^send\(\) keywords must be strings$"):
            call(main.send, ("t", "x"), {1: 2})

    def test_equal_but_distinct_and_subclass_keys_match_by_content(self, standins):
        logger, _ = standins

        class Key(str):
            pass

        distinct = "".join(["acc", "ess_token"])
        assert distinct is not "access_token"
        main.send(**{distinct: "t", Key("text"): "x"})
        assert logger.calls[-1][1] == {"access_token": "t", "text": "x"}
        with pytest.raises(TypeError, match="multiple values for keyword argument 'text'"):
            main.send("t", "x", **{Key("text"): "y"})

    def test_binding_matches_a_python_function(self, standins):
        hypothesis = pytest.importorskip("hypothesis")
        st = hypothesis.strategies

        def reference(access_token, text):
            return (access_token, text)

        logger, _ = standins
        names = st.sampled_from(["access_token", "text", "other", "tex", "access_token_"])

        @hypothesis.settings(max_examples=300, deadline=None)
        @hypothesis.given(st.lists(st.integers(), max_size=4), st.dictionaries(names, st.integers(), max_size=4))
        def check(args, kwargs):
            try:
                expected = reference(*args, **kwargs)
            except TypeError as e:
                expected = type(e)
            logger.calls.clear()
            try:
                main.send(*args, **kwargs)
                got = (logger.calls[0][1]["access_token"], logger.calls[0][1]["text"])
            except TypeError as e:
                got = type(e)
            assert got == expected

        check()


class TestConcurrencyAndReferences:
    def test_reentrant_call_from_the_logger(self, standins):
        _, requests = standins
        depth = []

        class Reentrant:
            def info(self, *args, **kwargs):
                depth.append(kwargs["text"])
                if len(depth) == 1:
                    assert main.send("inner", "nested") == "{'errcode': 0, 'errmsg': 'ok'}"

        main.logger = Reentrant()
        assert main.send("outer", "first") == "{'errcode': 0, 'errmsg': 'ok'}"
        assert depth == ["first", "nested"]
        assert [c[1]["url"][-5:] for c in requests.calls] == ["inner", "outer"]

    def test_threads_with_a_slow_post(self, standins):
        class Slow:
            def post(self, url, data, headers):
                time.sleep(0.001)
                return stubs.Reply({"echo": json.loads(data)["text"]["content"]})

        main.requests = Slow()
        results, errors = {}, []

        def worker(n):
            try:
                for i in range(50):
                    results[(n, i)] = main.send(f"t{n}", f"{n}-{i}")
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert results == {(n, i): str({"echo": f"{n}-{i}"}) for n in range(8) for i in range(50)}

    def test_reference_counts_stay(self, standins):
        _, requests = standins
        token, text = "token-object", "text-object"
        reply = requests.reply
        counts = [sys.getrefcount(o) for o in (token, text, reply, main.send)]
        for _ in range(200):
            main.send(token, text)
            main.send(access_token=token, text=text)
            try:
                main.send(token)
            except TypeError:
                pass
        requests.calls.clear()
        standins[0].calls.clear()
        assert [sys.getrefcount(o) for o in (token, text, reply, main.send)] == counts

    @pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
    def test_no_reference_growth_over_many_calls(self, standins):
        class Quiet:
            def info(self, *args, **kwargs):
                pass

        class Post:
            reply = stubs.Reply()

            def post(self, **kwargs):
                return self.reply

        main.logger, main.requests = Quiet(), Post()

        def ok():
            main.send("t", "x")

        def bad_args():
            try:
                main.send("t")
            except TypeError:
                pass

        def bad_body():
            try:
                main.send("t", {1})
            except TypeError:
                pass

        for scenario in (ok, bad_args, bad_body):
            for _ in range(200):
                scenario()
            before = sys.gettotalrefcount()
            for _ in range(10_000):
                scenario()
            assert sys.gettotalrefcount() - before < 50, scenario.__name__
