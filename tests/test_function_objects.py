"""Function objects as callers meet them: calls, binding, attributes, pickling,
weak references and garbage collection; and their type, registered once per
process under a shared module and taken from there by every module that
uses it."""
import gc
import inspect
import os
import pickle
import weakref

import pytest

import main
import main_testhelper as helper
from support.platforms import address

SELF_ARG, STATIC = helper.NATIVE_FUNCTION_SELF_ARG, helper.NATIVE_FUNCTION_STATIC
make = helper.make_function
BAD_FLAGS = "Bad call flags in native_function_call. METH_OLDARGS is no longer supported!"


class Probe:
    """Appends `probe()` to `seen` when it is released."""

    def __init__(self, probe, seen):
        self.probe, self.seen = probe, seen

    def __del__(self):
        self.seen.append(self.probe())


def test_dispatch_on_the_calling_convention():
    v, k, n, o, c = make("varargs"), make("keywords"), make("noargs"), make("o"), make("varargs_coexist")
    arg = object()
    assert v(1, 2) == ("varargs", v, (1, 2)) and v(**{}) == ("varargs", v, ())
    assert c(1) == ("varargs", c, (1,))   # bits above the convention are ignored
    assert k(1, a=2) == ("keywords", k, (1,), {"a": 2})
    assert k() == ("keywords", k, (), None) and k(**{}) == ("keywords", k, (), {})
    assert n() == ("noargs", n, False) and n(**{}) == ("noargs", n, False)
    assert o(arg) == ("o", o, arg) and o(*[arg], **{}) == ("o", o, arg)
    with pytest.raises(TypeError, match=r"^noargs\(\) takes no arguments \(2 given\)$"):
        n(1, 2)
    for args in [(), (1, 2)]:
        with pytest.raises(TypeError, match=rf"^o\(\) takes exactly one argument \({len(args)} given\)$"):
            o(*args)
    for func in [v, n, o]:
        with pytest.raises(TypeError, match=rf"^{func.__name__}\(\) takes no keyword arguments$"):
            func(1, 2, key=3)          # the keyword test comes before the count
    for name in ["flags_zero", "keywords_alone", "noargs_varargs", "o_noargs"]:
        with pytest.raises(SystemError, match=rf"^{BAD_FLAGS}$"):
            make(name)(1)


def test_self_from_the_first_argument():
    first = object()
    assert make("varargs", SELF_ARG)(first, 1) == ("varargs", first, (1,))
    assert make("noargs", SELF_ARG)(first) == ("noargs", first, False)
    for flags in [STATIC, SELF_ARG | STATIC]:
        f = make("varargs", flags)
        assert f(first, 1) == ("varargs", f, (first, 1))
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        make("varargs", SELF_ARG)()


def test_binding_as_a_class_attribute():
    plain, method = make("varargs"), make("varargs", SELF_ARG)
    C = type("C", (), {"plain": plain, "method": method, "send": main.send})
    c = C()
    assert C.plain is plain and C.send is main.send
    assert c.send.__self__ is c and c.send.__func__ is main.send
    assert c.plain(1) == ("varargs", plain, (c, 1))
    assert c.method(1) == ("varargs", c, (1,))


def test_send_attributes():
    send = main.send
    assert (send.__name__, send.func_name, send.__qualname__, send.__module__) == ("send",) * 3 + ("main",)
    assert send.__doc__ is None and send.__self__ is None and send.__closure__ is None
    assert send.__defaults__ is None and send.__kwdefaults__ is None
    assert send.__globals__ is vars(main) and send.__code__.co_name == "send"
    assert repr(send) == f"<native function send at {address(send)}>"
    assert str(inspect.signature(send)) == "(access_token, text)"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(send, protocol)) is send


def test_writable_attributes():
    f = make("documented")
    assert f.__doc__ == "Answers with its own name." and f.__doc__ is f.func_doc
    f.__doc__ = 5
    del f.func_doc
    assert f.__doc__ is None
    assert f.__name__ is f.func_name is f.__name__
    f.func_name, f.__qualname__ = "renamed", "Outer.renamed"
    assert (f.__name__, f.__reduce__(), repr(f)) == ("renamed", "documented", f"<native function Outer.renamed at {address(f)}>")
    d = f.__dict__
    assert d == {} and f.func_dict is d
    f.extra = 1
    assert d == {"extra": 1}
    f.__dict__ = {"__name__": "hidden"}
    assert f.__name__ == "renamed"   # the attribute table wins over the dictionary
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    f.__defaults__, f.__kwdefaults__ = (1,), {"k": 2}
    assert (f.func_defaults, f.__kwdefaults__) == ((1,), {"k": 2})
    del f.__defaults__, f.__kwdefaults__
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    a = f.__annotations__
    assert a == {} and f.__annotations__ is a
    f.__annotations__ = None
    assert f.__annotations__ == {} and f.__annotations__ is not a
    f.__module__ = 7
    assert f.__module__ == 7
    del f.__module__
    assert f.__module__ is None


@pytest.mark.parametrize("name, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("func_name", None, "__name__ must be set to a string object"),
    ("__qualname__", b"q", "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", [1], "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", 1, "__annotations__ must be set to a dict object"),
])
def test_setters_refuse_and_keep_the_old_value(name, value, message):
    f = make("o")
    old = getattr(f, name)
    with pytest.raises(TypeError, match=f"^{message}$"):
        setattr(f, name, value)
    assert getattr(f, name) is old


@pytest.mark.parametrize("name, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
    ("__dict__", "function's dictionary may not be deleted"),
])
def test_deletion_refused(name, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        delattr(make("o"), name)


@pytest.mark.parametrize("name", ["__self__", "__globals__", "func_globals", "__closure__", "func_closure",
                                  "__code__", "func_code"])
def test_read_only_attributes(name):
    f = make("o")
    with pytest.raises(AttributeError, match="not writable"):
        setattr(f, name, None)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(f, name)


class Str(str):
    pass


class Tuple(tuple):
    pass


class Dict(dict):
    pass


@pytest.mark.parametrize("name, kind", [
    ("__doc__", Str), ("__name__", Str), ("__qualname__", Str), ("__dict__", Dict),
    ("__defaults__", Tuple), ("__kwdefaults__", Dict), ("__annotations__", Dict),
])
def test_a_release_in_a_setter_sees_the_new_value(name, kind):
    f, seen = make("o"), []
    old, new = kind(), kind()
    old.probe = Probe(lambda: getattr(f, name), seen)   # dies with `old`
    setattr(f, name, old)
    del old
    setattr(f, name, new)
    assert seen == [new] and seen[0] is new


def test_defaults_loader():
    f = make("o")
    helper.set_defaults_loader(f, "ok")
    assert (f.__kwdefaults__, f.__defaults__, helper.loader_calls()) == ({"k": 3}, (1, 2), 1)

    g = make("o")
    helper.set_defaults_loader(g, "failing", 2)
    for attempt, name in enumerate(["__defaults__", "__kwdefaults__"], 1):
        with pytest.raises(RuntimeError, match="defaults loader failed"):
            getattr(g, name)
        assert helper.loader_calls() == attempt
    assert (g.__defaults__, g.__kwdefaults__, helper.loader_calls()) == ((1, 2), {"k": 3}, 3)

    h = make("o")
    helper.set_defaults_loader(h, "ok")
    h.__defaults__ = None
    assert h.__defaults__ is None and helper.loader_calls() == 0
    assert h.__kwdefaults__ == {"k": 3} and h.__defaults__ == (1, 2)   # the fill replaces both

    bad = make("o")
    helper.set_defaults_loader(bad, "malformed")
    for _ in range(2):
        with pytest.raises(SystemError, match="must return a tuple of two items"):
            bad.__defaults__
    assert helper.loader_calls() == 2


def test_weak_reference_callback_runs_while_the_fields_are_intact():
    f, seen = make("o"), []
    f.payload = payload = type("Payload", (), {})()
    payload_ref = weakref.ref(payload)
    del payload
    ref = weakref.ref(f, lambda r: seen.append(payload_ref() is not None))
    del f
    assert ref() is None and seen == [True] and payload_ref() is None


@pytest.mark.parametrize("tie", [
    lambda f: setattr(f, "me", f),
    lambda f: f.__annotations__.update(me=f),
    lambda f: setattr(f, "__defaults__", (f,)),
    lambda f: setattr(f, "__kwdefaults__", {"me": f}),
    lambda f: setattr(f, "__module__", [f]),
    lambda f: setattr(f, "__doc__", [f]),
    lambda f: helper.set_defaults_block(f, None, f),
])
@pytest.mark.parametrize("through_self", [False, True])
def test_reference_cycles_are_collected(tie, through_self):
    f = make("o", closure=[] if through_self else None)
    if through_self:
        f.__self__.append(f)
    tie(f)
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


def test_an_emptied_object_answers_soundly():
    f, seen = make("o", code=main.send.__code__), []
    f.__annotations__ = {"probe": Probe(lambda: (f.__qualname__, f.__globals__, repr(f)), seen)}
    f.__doc__ = Probe(lambda: f.__doc__, seen)
    block = [type("Slot", (), {})()]
    helper.set_defaults_block(f, block[0], None)
    witness = weakref.ref(block.pop())
    helper.clear(f)
    assert seen == [None, (None, None, f"<native function o at {address(f)}>")]
    assert witness() is None and f.__code__ is None and f.__module__ is None
    assert f(1) == ("o", f, 1)
    helper.clear(f)   # a second clearing finds nothing to release


# --- the shared type -----------------------------------------------------------

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
    # Importing _asyncio leaves a few objects to the interpreter's exit, which
    # the leak checker of the sanitizer build would report.
    asan = os.environ.get("ASAN_OPTIONS")
    env = {"ASAN_OPTIONS": asan + ":detect_leaks=0"} if asan and "_asyncio" in seed else None
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
    """, env=env)


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


def test_the_type_cannot_be_instantiated_or_subclassed():
    native = type(main.send)
    with pytest.raises(TypeError, match=f"cannot create '{NAME}' instances"):
        native()
    with pytest.raises(TypeError, match=f"type '{NAME}' is not an acceptable base type"):
        type("Sub", (native,), {})
