"""The runtime under the module, reached through the test-only helper module:
call helpers, the cached global look-up with its dictionary stamps, and the
traceback entries with their code-object cache and native-line switch."""
import sys
import traceback

import pytest

import main_testhelper as helper


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
        value, version, cached = helper.lookup_global("present")
        assert value == "global value" and cached is value
        # Unchanged dictionary: the stamp stays and the same object comes back.
        assert helper.lookup_global("present")[1:] == (version, cached)
        runtime_globals["unrelated"] = 1
        value2, version2, _ = helper.lookup_global("present")
        assert value2 is value and version2 != version
        runtime_globals["present"] = "rebound"
        assert helper.lookup_global("present")[0] == "rebound"

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


@pytest.mark.skipif(sys.version_info < (3, 14), reason="dictionaries carry a version tag of their own before 3.14")
def test_dictionary_watcher_is_given_back_and_can_be_done_without(fresh):
    fresh("""
        import sys, _testcapi
        import loguru, requests
        from support import stubs

        def free_watchers():
            taken = []
            try:
                while True:
                    taken.append(_testcapi.add_dict_watcher(0))
            except RuntimeError:
                pass
            for watcher in taken:
                _testcapi.clear_dict_watcher(watcher)
            return len(taken)

        free = free_watchers()
        sys.modules["json"] = None
        try:
            import main
        except ImportError:
            pass
        assert free_watchers() == free, "a failed import kept its watcher"
        del sys.modules["json"]
        # With no watcher to be had, every look-up probes and still sees rebinding.
        taken = [_testcapi.add_dict_watcher(0) for _ in range(free)]
        import main
        for n in range(3):
            logger, posted = stubs.install(main)
            main.send("tok", str(n))
            assert [kw["data"] for _, kw in posted.calls] == [f'{{"msgtype": "text", "text": {{"content": "{n}"}}}}']
    """)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="dictionaries carry a version tag of their own before 3.14")
def test_a_watcher_cleared_by_other_code_is_noticed(fresh):
    fresh("""
        import gc, _testcapi
        from support import stubs
        ours = _testcapi.add_dict_watcher(0)      # the lowest free id: the one main takes
        _testcapi.clear_dict_watcher(ours)
        import main
        stubs.install(main)
        main.send("tok", "first")
        _testcapi.clear_dict_watcher(ours)        # other native code, clearing an id it does not own
        for n in range(3):
            logger, posted = stubs.install(main)  # the stand-ins bound before die here
            gc.collect()
            main.send("tok", str(n))
            assert len(posted.calls) == len(logger.calls) == 1
    """)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="dictionaries carry a version tag of their own before 3.14")
@pytest.mark.parametrize("trigger", ["cleared-and-taken-over", "unwatched"])
def test_foreign_watcher_misuse_serves_a_live_value(fresh, trigger):
    # Other native code breaks the watcher rules on main's id; then the logger
    # the caches saw last loses its last reference elsewhere.
    out = fresh(f"""
        import gc, _testcapi
        from support import stubs
        ours = _testcapi.add_dict_watcher(0)      # the lowest free id: the one main takes
        _testcapi.clear_dict_watcher(ours)
        import main
        reached = []

        class Logger:
            def __init__(self, name):
                self.name = name

            def info(self, *args, **kwargs):
                reached.append(self.name)

        stubs.install(main)
        main.logger = Logger("old")
        main.send("tok", "first")
        if "{trigger}" == "unwatched":
            _testcapi.unwatch_dict(ours, vars(main))
        else:
            _testcapi.clear_dict_watcher(ours)
            assert _testcapi.add_dict_watcher(0) == ours
        main.logger = Logger("new")
        gc.collect()
        for n in range(3):
            main.send("tok", str(n))
        print(reached)
    """)
    reached = eval(out.stdout)
    assert len(reached) == 4 and reached[0] == "old"
    if trigger == "unwatched":    # noticed: the next call sees the new logger
        assert reached[1:] == ["new"] * 3
    else:                         # another watcher answers under our id: the old one may stay
        assert set(reached[1:]) <= {"old", "new"}


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
"""


def test_code_cache_grows_sorted_and_reuses(fresh):
    out = fresh(CACHE_SCRIPT + """
for line in range(100, 36, -1):          # 64 keys, descending: each goes first
    fail("main.send", 0, line)
count, capacity, keys, _ = h.code_cache_state()
assert count == 64 and keys == sorted(keys) == list(range(37, 101))
while h.code_cache_state()[0] < capacity:
    fail("main.send", 0, 1000 + h.code_cache_state()[0])
fail("main.send", 0, 5000)               # one key more than the array holds grows it
count, grown, keys, _ = h.code_cache_state()
assert count == capacity + 1 and grown > capacity and keys[-1] == 5000
fail("main.send", 0, 60)                 # a hit adds nothing
assert h.code_cache_state()[0] == count
fail("main.send", 0, 0)                  # key 0 is never cached
assert h.code_cache_state()[0] == count
for line in (3, 900, 2, 70000, 1):
    fail("main.send", 0, line)
keys = h.code_cache_state()[2]
assert keys == sorted(keys) and len(keys) == count + 5
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
rt = sys.modules["native_runtime"]
assert not hasattr(rt, "native_line_in_traceback")
_, entry = fail("main.send", 1234, 16)
assert entry.name == "main.send" and entry.lineno == 16
assert rt.native_line_in_traceback is False
names = {}
for value in (True, 1, "yes", 0, "", None, False):
    rt.native_line_in_traceback = value
    names[repr(value)] = fail("main.send", 1234, 16)[1].name
assert names == {"True": "main.send (main.cpp:1234)", "1": "main.send (main.cpp:1234)",
                 "'yes'": "main.send (main.cpp:1234)", "0": "main.send", "''": "main.send",
                 "None": "main.send", "False": "main.send"}, names
rt.native_line_in_traceback = True
assert -1234 in h.code_cache_state()[2]
_, entry = fail("main.send", 1234, 16)
assert entry.lineno == 16
print("ok")
""")
    assert out.stdout.strip() == "ok"


def test_cached_entry_never_shows_another_function_name(fresh):
    out = fresh(CACHE_SCRIPT + """
assert fail("init main", 0, 9)[1].name == "init main"
assert fail("main.send", 0, 9)[1].name == "main.send"
assert fail("main.send", 0, 9)[1].name == "main.send"
count, _, keys, names = h.code_cache_state()
assert keys.count(9) == 1 and names[keys.index(9)] == "main.send"
print("ok")
""")
    assert out.stdout.strip() == "ok"


ENTRY_SCRIPT = """
import sys
import main
from support import stubs
from support.lines import SEND
from support.tracebacks import main_py_entries
stubs.install(main)
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
assert entries()[0][0].startswith("main.send (main.cpp:")""",
    # The frame finds its builtins without the module's __builtins__ ...
    """del main.__builtins__
assert entries() == [("main.send", SEND.dumps)]""",
    # ... and past a harmless key whose __eq__ runs while it looks.
    """stubs.put_first(vars(main), "__builtins__", stubs.CollidesWith("__builtins__"))
assert entries() == [("main.send", SEND.dumps)]""",
], ids=["switch-read-raises", "no-builtins", "colliding-builtins-key"])
def test_traceback_entry_is_built_apart_from_the_exception(fresh, case):
    fresh(ENTRY_SCRIPT + case)
