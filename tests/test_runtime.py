"""The runtime under the module, reached through the test-only helper module:
call helpers, the cached global look-up with its dictionary stamps, and the
traceback entries with their code-object cache and native-line switch."""
import gc
import sys
import traceback
import weakref

import pytest

import main_testhelper as helper
from support import stubs


@pytest.fixture(scope="module", autouse=True)
def runtime_globals():
    globals_ = {"__builtins__": __builtins__, "present": "global value"}
    helper.setup_runtime(globals_)
    return globals_


class TestCallHelpers:
    def test_builtin_entries_get_what_their_flags_ask_for(self):
        assert helper.call_one_arg(helper.echo_o, "x") == ("O", "x")
        assert helper.call_one_arg(helper.echo_varargs, "x") == ("VARARGS", ("x",))
        assert helper.call_one_arg(helper.echo_fastcall, "x") == ("FASTCALL", ("x",))
        assert helper.call_two_args(helper.echo_fastcall, 1, 2) == ("FASTCALL", (1, 2))
        assert helper.call_two_args(helper.echo_varargs, 1, 2) == ("VARARGS", (1, 2))
        assert helper.call_no_args(helper.echo_noargs) == ("NOARGS", None)
        assert helper.call_no_args(helper.echo_varargs) == ("VARARGS", ())

    @pytest.mark.parametrize("name, flags", [
        ("noargs", 0), ("varargs", 0), ("noargs", helper.NATIVE_FUNCTION_SELF_ARG),
        ("noargs", helper.NATIVE_FUNCTION_SELF_ARG | helper.NATIVE_FUNCTION_STATIC),
    ])
    def test_native_function_objects_without_arguments_answer_as_a_direct_call(self, name, flags):
        f = helper.make_function(name, flags=flags)

        def outcome(call):
            try:
                return call()
            except Exception as e:
                return type(e)
        assert outcome(lambda: helper.call_no_args(f)) == outcome(f)

    def test_python_functions_of_every_shape_give_ordinary_results(self):
        def plain(a, b):
            return (a, b)

        def one_default(a, b=5):
            return (a, b)

        def all_defaults(a=1, b=2):
            return (a, b)

        def gen(a):
            yield a

        def star(*args):
            return args

        def kwonly(a, *, k=3):
            return (a, k)

        free = 7

        def closure(a):
            return (a, free)

        assert helper.call_two_args(plain, 1, 2) == (1, 2)
        assert helper.call_one_arg(one_default, 1) == (1, 5)
        assert helper.call_no_args(all_defaults) == (1, 2)
        assert list(helper.call_one_arg(gen, 4)) == [4]
        assert helper.call_two_args(star, 1, 2) == (1, 2)
        assert helper.call_one_arg(kwonly, 1) == (1, 3)
        assert helper.call_one_arg(closure, 1) == (1, 7)
        with pytest.raises(TypeError, match="missing 1 required positional argument"):
            helper.call_one_arg(plain, 1)

    def test_bound_methods_and_types_go_through_the_call_slot(self):
        class Thing:
            def method(self, x):
                return ("method", x)

        assert helper.call_one_arg(Thing().method, 3) == ("method", 3)
        assert helper.call_one_arg(str, 42) == "42"
        assert helper.call_object(dict, (), {"a": 1}) == {"a": 1}

    def test_not_callable_and_null_without_error(self):
        with pytest.raises(TypeError, match="'int' object is not callable"):
            helper.call_object(5, ())
        with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$"):
            helper.call_object(helper.SilentNull(), ())
        with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$"):
            helper.call_one_arg(helper.SilentNull(), 1)

    def test_recursion_guard_refuses_and_restores_depth(self):
        def recurse(n):
            return helper.call_one_arg(recurse, n + 1)

        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        # From 3.12 Py_EnterRecursiveCall guards the C stack only: the Python frames meet the limit first.
        message = "while calling a Python object" if sys.version_info < (3, 12) else "maximum recursion depth exceeded"
        try:
            with pytest.raises(RecursionError, match=message):
                recurse(0)
        finally:
            sys.setrecursionlimit(limit)
        # The depth came back down: deep but legal recursion still works.
        def depth(n):
            return 0 if n == 0 else 1 + depth(n - 1)
        assert depth(limit - 100) == limit - 100

    def test_arguments_keep_their_reference_counts(self):
        arg = object()
        before = sys.getrefcount(arg)
        for _ in range(100):
            helper.call_one_arg(helper.echo_o, arg)
            helper.call_two_args(helper.echo_varargs, arg, arg)
            helper.call_one_arg(lambda x: None, arg)
        assert sys.getrefcount(arg) == before


class TestGlobalLookup:
    def test_cache_follows_the_dictionary(self, runtime_globals):
        value, _, cached = helper.lookup_global("present")
        assert value == "global value" and cached is value
        runtime_globals["unrelated"] = 1
        assert helper.lookup_global("present")[0] is value
        runtime_globals["present"] = "rebound"
        assert helper.lookup_global("present")[0] == "rebound"

    def test_an_unchanged_dictionary_is_not_probed_again(self, runtime_globals):
        # A key met on the way to "present" raises when compared: only a
        # look-up that probes the dictionary meets it.
        key = stubs.CollidesWith("present")
        stubs.put_first(runtime_globals, "present", key)
        value = runtime_globals["present"]
        try:
            assert helper.lookup_global("present")[0] is value
            key.armed = True
            if sys.version_info < (3, 14):    # a version tag tells the dictionary is unchanged
                assert helper.lookup_global("present")[0] is value
            else:                             # no tag: every look-up probes
                with pytest.raises(RuntimeError, match="colliding key"):
                    helper.lookup_global("present")
        finally:
            del runtime_globals[key]

    def test_builtins_fallback_is_never_cached(self, runtime_globals):
        import builtins
        assert helper.lookup_global("len")[0] is len
        assert helper.lookup_global("len")[2] is None
        builtins.late_builtin_for_test = "late"
        try:
            assert helper.lookup_global("late_builtin_for_test")[0] == "late"
        finally:
            del builtins.late_builtin_for_test
        with pytest.raises(NameError, match="^name 'late_builtin_for_test' is not defined$"):
            helper.lookup_global("late_builtin_for_test")

    def test_deleted_global_falls_back_then_fails(self, runtime_globals):
        runtime_globals["len"] = "shadow"
        assert helper.lookup_global("len")[0] == "shadow"
        del runtime_globals["len"]
        assert helper.lookup_global("len")[0] is len
        runtime_globals["gone"] = 1
        helper.lookup_global("gone")
        del runtime_globals["gone"]
        with pytest.raises(NameError, match="name 'gone' is not defined") as info:
            helper.lookup_global("gone")
        assert info.value.name == "gone"


    def test_a_rebound_value_is_not_kept_by_the_cache(self, runtime_globals):
        class Value:
            pass
        runtime_globals["held"] = old = Value()
        assert helper.lookup_global("held")[0] is old
        gone = weakref.ref(old)
        runtime_globals["held"] = Value()
        del old
        gc.collect()
        assert gone() is None
        assert type(helper.lookup_global("held")[0]) is Value


class Logger:
    def info(self, *args, **kwargs):
        pass


class Reply:
    def json(self):
        return {"errcode": 0}


class Requests:
    def post(self, **kwargs):
        return Reply()


class Json:
    def dumps(self, message):
        return "{}"


@pytest.mark.parametrize("name, kind", [("logger", Logger), ("requests", Requests), ("json", Json)])
def test_a_rebound_global_goes_when_its_caller_drops_it_as_with_the_plain_function(name, kind):
    # After a send has read it, a global rebound and dropped by its caller is
    # freed at once: the look-up caches keep nothing alive.
    import main
    import reference_main

    def kept(module):
        with stubs.kept_globals(module):
            module.logger, module.requests, module.json = Logger(), Requests(), Json()
            old = kind()
            setattr(module, name, old)
            assert module.send("tok", "text") == "{'errcode': 0}"
            gone = weakref.ref(old)
            setattr(module, name, kind())
            del old
            gc.collect()
            return gone() is not None
    assert (kept(main), kept(reference_main)) == (False, False)


CACHE_SCRIPT = """
import sys, traceback
import main_testhelper as h
h.setup_runtime({"__builtins__": __builtins__})

def fail(name, native, line):
    try:
        h.fail_with_traceback(ValueError("boom"), name, native, line)
    except ValueError as e:
        entry = traceback.extract_tb(e.__traceback__)[-1]
        return e, entry

def code_of(e):  # the code object of the entry added last
    tb = e.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb.tb_frame.f_code
"""


def test_code_objects_are_cached_by_line(fresh):
    # Entries at many lines, made in shuffled order (the cache grows and
    # inserts anywhere), then again: each line gets back its own code object.
    out = fresh(CACHE_SCRIPT + """
import random
lines = list(range(1, 301))
random.Random(1).shuffle(lines)
first = {line: code_of(fail("main.send", 0, line)[0]) for line in lines}
for line in reversed(lines):
    e, entry = fail("main.send", 0, line)
    assert code_of(e) is first[line] and entry.lineno == line
assert code_of(fail("main.send", 0, 0)[0]) is not code_of(fail("main.send", 0, 0)[0])   # line 0: not cached
print("ok")
""")
    assert out.stdout.strip() == "ok"


def test_traceback_entry_keeps_the_exception_and_shows_the_line(fresh):
    out = fresh(CACHE_SCRIPT + """
exc = ValueError("boom")
e, entry = fail("main.send", 0, 14)
assert (entry.filename, entry.lineno, entry.name) == ("main.py", 14, "main.send"), entry
e2, entry = fail("main.send", 0, 0)
assert entry.lineno == 0
# Formatting works for the whole traceback.
text = "".join(traceback.format_exception(e))
assert 'File "main.py", line 14, in main.send' in text, text
print("ok")
""")
    assert out.stdout.strip() == "ok"


def test_native_line_switch(fresh):
    out = fresh(CACHE_SCRIPT + """
import re
rt = sys.modules["native_runtime"]
assert not hasattr(rt, "native_line_in_traceback")
_, entry = fail("main.send", 1234, 16)
assert entry.name == "main.send" and entry.lineno == 16
assert rt.native_line_in_traceback is False
names = {}
for value in (True, 1, "yes", 0, "", None, False):
    rt.native_line_in_traceback = value
    names[repr(value)] = fail("main.send", 1234, 16)[1].name
site = names["True"]
assert re.fullmatch(r"main\\.send \\(\\S*helper/runtime_helpers\\.cpp:1234\\)", site), site
assert names == {"True": site, "1": site, "'yes'": site, "0": "main.send", "''": "main.send",
                 "None": "main.send", "False": "main.send"}, names
rt.native_line_in_traceback = True
e, entry = fail("main.send", 1234, 16)
assert entry.lineno == 16 and code_of(e) is code_of(fail("main.send", 1234, 16)[0])
rt.native_line_in_traceback = False
assert fail("main.send", 1234, 16)[1].name == "main.send"
print("ok")
""")
    assert out.stdout.strip() == "ok"


def test_cached_entry_never_shows_another_function_name(fresh):
    out = fresh(CACHE_SCRIPT + """
assert fail("init main", 0, 9)[1].name == "init main"
assert fail("main.send", 0, 9)[1].name == "main.send"
assert fail("main.send", 0, 9)[1].name == "main.send"
assert fail("init main", 0, 9)[1].name == "init main"
print("ok")
""")
    assert out.stdout.strip() == "ok"


ENTRY_SCRIPT = """
import sys
import main
from support import stubs
from support.lines import SEND
from support.tracebacks import main_py_entries
stubs.put_standins(main)
rt = sys.modules["native_runtime"]

def entries():  # the main.py entries of a failure of json.dumps
    try:
        main.send("tok", {1, 2})
    except TypeError as exc:
        return main_py_entries(exc)
"""


@pytest.mark.parametrize("case", [
    # A switch whose read raises counts as off for this entry and stays as set.
    """rt.native_line_in_traceback = True
key = stubs.CollidesWith("native_line_in_traceback")
stubs.put_first(vars(rt), "native_line_in_traceback", key)
key.armed = True
assert entries() == [("main.send", SEND.dumps)]
assert rt.native_line_in_traceback is True
assert entries()[0][0].startswith("main.send (notify/send.cpp:")""",
    # The frame finds its builtins without the module's __builtins__ ...
    """del main.__builtins__
assert entries() == [("main.send", SEND.dumps)]""",
    # ... and past a harmless key whose __eq__ runs while it looks.
    """stubs.put_first(vars(main), "__builtins__", stubs.CollidesWith("__builtins__"))
assert entries() == [("main.send", SEND.dumps)]""",
], ids=["switch-read-raises", "no-builtins", "colliding-builtins-key"])
def test_traceback_entry_is_built_apart_from_the_exception(fresh, case):
    fresh(ENTRY_SCRIPT + case)
