"""The function-object type: its registration under the shared module, and what
Python code may (not) do with the type itself."""
import sys

import pytest

import main
import main_testhelper as helper

SHARED = "_native_abi_1_0"
NAME = "native_function_or_method"


def test_fresh_import_registers_the_shared_type(fresh):
    fresh(f"""
        import sys
        assert {SHARED!r} not in sys.modules
        import main
        shared = sys.modules[{SHARED!r}]
        assert shared.{NAME} is type(main.send)
        assert (type(main.send).__name__, type(main.send).__module__) == ({NAME!r}, "builtins")
        import main_testhelper as helper
        assert helper.native_type() is type(main.send)
        assert helper.own_type_state() == (False, False)   # the helper's copy stays unused
    """)


def test_a_type_registered_first_by_another_module_is_taken(fresh):
    fresh(f"""
        import main_testhelper as helper
        theirs = helper.native_type()
        assert helper.own_type_state() == (True, True)
        import main
        assert type(main.send) is theirs
        assert main.send.__name__ == "send" and main.send.__module__ == "main"
    """)


NOT_A_TYPE = f"TypeError: Shared native type {NAME} is not a type object"
WRONG_SIZE = f"TypeError: Shared native type {NAME} has the wrong size, try recompiling"


@pytest.mark.parametrize("seed, error", [
    ("5", NOT_A_TYPE),
    (f"type({NAME!r}, (), {{}})", WRONG_SIZE),
    # A Python class of the same instance size (20 slots) is a heap type.
    (f"type({NAME!r}, (), {{'__slots__': tuple(f's{{i}}' for i in range(20))}})", NOT_A_TYPE),
    # A static type of the standard library (on 3.11 of the very same size).
    pytest.param("__import__('_asyncio').Task", {NOT_A_TYPE, WRONG_SIZE}, id="asyncio-task"),
    # Static types of another extension, each of the same size and different
    # in one thing that the records or the calls rely on.
    *[pytest.param(f"__import__('main_testhelper').lookalike_type({kind!r})", error, id=f"lookalike-{kind}")
      for kind, error in [("name", NOT_A_TYPE), ("gc", WRONG_SIZE), ("dict", WRONG_SIZE),
                          ("weaklist", WRONG_SIZE), ("vectorcall", NOT_A_TYPE), ("method_descriptor", NOT_A_TYPE)]],
])
def test_a_wrong_seed_fails_the_import_and_leaves_no_module(fresh, seed, error):
    errors = error if isinstance(error, set) else {error}
    fresh(f"""
        import sys, types
        shared = types.ModuleType({SHARED!r})
        shared.{NAME} = {seed}
        sys.modules[{SHARED!r}] = shared
        try:
            import main
        except Exception as exc:
            assert f"{{type(exc).__name__}}: {{exc}}" in {errors!r}, exc
        else:
            raise AssertionError("import succeeded")
        assert "main" not in sys.modules
        # With the seed gone, a second import registers the type afresh.
        del sys.modules[{SHARED!r}]
        import main
        assert type(main.send) is sys.modules[{SHARED!r}].{NAME}
    """)


def test_a_lookup_error_other_than_attribute_error_propagates(fresh):
    fresh(f"""
        import sys, types
        shared = types.ModuleType({SHARED!r})
        def __getattr__(name):
            raise LookupError("no lookups today")
        shared.__getattr__ = __getattr__
        sys.modules[{SHARED!r}] = shared
        try:
            import main
        except LookupError as exc:
            assert str(exc) == "no lookups today"
        else:
            raise AssertionError("import succeeded")
        assert "main" not in sys.modules
    """)


def test_record_layout_matches_the_shared_type():
    assert helper.record_layout() == {"size": 176, "weaklist": 40, "dict": 48}
    native = type(main.send)
    assert (native.__basicsize__, native.__weakrefoffset__, native.__dictoffset__) == (176, 40, 48)


def test_the_type_cannot_be_instantiated_or_subclassed():
    native = type(main.send)
    with pytest.raises(TypeError, match=f"cannot create '{NAME}' instances"):
        native()
    with pytest.raises(TypeError, match=f"type '{NAME}' is not an acceptable base type"):
        type("Sub", (native,), {})


def test_many_function_objects_die_without_leaking(fresh):
    # References are counted under the debug interpreter; memory (the
    # defaults blocks included) under both.
    fresh("""
        import gc, sys, tracemalloc, weakref, main, main_testhelper as helper
        refs = getattr(sys, "gettotalrefcount", lambda: 0)

        def churn(count):
            for i in range(count):
                f = helper.make_function("documented", closure=[i], code=main.send.__code__)
                f.__name__, f.__doc__, f.__dict__, f.__annotations__["x"] = f.__name__, f.__doc__, f.__dict__, i
                f.__defaults__, f.__kwdefaults__, f.extra = (i,), {"k": i}, str(i)
                helper.set_defaults_block(f, [i], None, f)      # a cycle through the block
                g = helper.make_function("varargs")
                helper.set_defaults_loader(g, "ok")
                g.__kwdefaults__, g.__qualname__, g.me = None, "q", g
                w = weakref.ref(g, lambda r: None)
                del f, g, w
            gc.collect()

        churn(200)
        tracemalloc.start()
        before, memory = refs(), tracemalloc.get_traced_memory()[0]
        churn(3000)
        assert refs() - before < 50, (before, refs())
        assert tracemalloc.get_traced_memory()[0] - memory < 20000

    """)
