"""Argument binding of send(access_token, text): by position or keyword, with
the interpreter's wording of errors, each reported at the definition line
with nothing run; and keyword dictionaries whose keys misbehave."""
import ctypes
import sys

import pytest

import main
import main_testhelper as helper
from support import cases
from support.lines import SEND
from support.stubs import OK, Boom
from support.tracebacks import main_py_entries
from support.webhook import url_for


@pytest.mark.parametrize("args, kwargs", cases.BINDS)
def test_binds(standins, args, kwargs):
    logger, _ = standins
    main.send(*args, **kwargs)
    assert logger.calls[-1][1] == {"access_token": "t", "text": "x"}


@pytest.mark.parametrize("args, kwargs, message", cases.BIND_ERRORS)
def test_errors_raise_at_the_definition_line_and_run_nothing(standins, args, kwargs, message):
    logger, requests = standins
    with pytest.raises(TypeError) as info:
        main.send(*args, **kwargs)
    assert str(info.value) == message
    assert main_py_entries(info.value) == [("main.send", SEND.definition)]
    assert logger.calls == [] and requests.calls == []


def call_with_dict(args, kwargs):
    """main.send called through the native interface with exactly this dict."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    return call(main.send, args, kwargs)


def test_empty_keyword_dictionary_is_like_none(standins):
    assert call_with_dict(("t", "x"), {}) == OK
    with pytest.raises(TypeError, match=r"\(1 given\)"):
        call_with_dict(("t",), {})


def test_non_string_key_through_the_native_interface(standins):
    with pytest.raises(TypeError, match=r"^send\(\) keywords must be strings$"):
        call_with_dict(("t", "x"), {1: 2})


def test_equal_but_distinct_and_subclass_keys_match_by_content(standins):
    logger, _ = standins

    class Key(str):
        pass

    distinct = "".join(["acc", "ess_token"])   # equal to the parameter's name, not the same object
    assert distinct == "access_token" and distinct is not sys.intern("access_token")
    main.send(**{distinct: "t", Key("text"): "x"})
    assert logger.calls[-1][1] == {"access_token": "t", "text": "x"}
    with pytest.raises(TypeError, match="multiple values for keyword argument 'text'"):
        main.send("t", "x", **{Key("text"): "y"})


def test_binding_matches_a_python_function(standins):
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


def test_keyword_keys_with_raising_eq_or_hash(standins):
    logger, _ = standins

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
        helper.pyobject_fastcalldict(main.send, (), kwargs)
    assert main_py_entries(info.value) == [("main.send", SEND.definition)]
    # The keyword scan compares by content and never calls __eq__.
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'text'") as info:
        helper.pyobject_fastcalldict(main.send, ("tok", "y"), {RaisingEq("text"): "y"})
    assert main_py_entries(info.value) == [("main.send", SEND.definition)]
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
        import main, main_testhelper
        from support import stubs
        logger, requests = stubs.put_standins(main)

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
        print(main_testhelper.pyobject_fastcalldict(main.send, (), kwargs))
        print(requests.calls[-1][1]["url"])
    """)
    assert proc.stdout.splitlines() == [OK, url_for("kept")]
