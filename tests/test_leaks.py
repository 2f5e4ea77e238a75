"""References and memory that the module's paths must give back: per call of
send on its success and failure paths, per function object, per import.

The full runner (tests/support/leakcheck.py) needs a debug interpreter; the
other checks count references of known objects or memory blocks and run under
either interpreter (reference totals only under the debug one)."""
import os
import sys

import pytest

import main
from conftest import BUILD_DIR, TESTS_DIR
from support import guard, stubs

DEBUG = hasattr(sys, "gettotalrefcount")


@pytest.mark.skipif(not DEBUG, reason="needs a debug interpreter")
def test_no_scenario_leaks():
    proc = guard.run(
        [sys.executable, os.path.join(TESTS_DIR, "support", "leakcheck.py"), "--build", BUILD_DIR,
         "--rounds", "40", "--warmup", "20", "--reps", "5"],
        capture_output=True, text=True, minutes=10)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " 0 leaking, 0 misbehaving" in proc.stdout


def test_reference_counts_of_arguments_reply_and_function_stay(standins):
    logger, requests = standins
    token, text = "token-object", "text-object"
    reply = requests.reply
    # Binding errors before and after a value is bound.
    binding_errors = [((token,), {}), ((token,), {"access_token": token}), ((), {"access_token": token})]
    counts = [sys.getrefcount(o) for o in (token, text, reply, main.send)]
    for _ in range(200):
        main.send(token, text)
        main.send(access_token=token, text=text)
        for args, kwargs in binding_errors:
            try:
                main.send(*args, **kwargs)
            except TypeError:
                pass
    requests.calls.clear()
    logger.calls.clear()
    assert [sys.getrefcount(o) for o in (token, text, reply, main.send)] == counts


@pytest.mark.skipif(not DEBUG, reason="needs a debug interpreter")
def test_no_reference_growth_over_many_calls(standins):
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


@pytest.mark.parametrize("counted", [
    "memory", pytest.param("references", marks=pytest.mark.skipif(
        not DEBUG, reason="reference totals are kept by a debug interpreter only"))])
def test_many_function_objects_die_without_leaking(fresh, counted):
    # Memory: the defaults blocks included.
    fresh("""
        import gc, os, sys, tracemalloc, weakref, main, main_testhelper as helper

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
        if os.environ["COUNTED"] == "references":
            before = sys.gettotalrefcount()
            churn(3000)
            assert sys.gettotalrefcount() - before < 50, (before, sys.gettotalrefcount())
        else:
            tracemalloc.start()
            memory = tracemalloc.get_traced_memory()[0]
            churn(3000)
            assert tracemalloc.get_traced_memory()[0] - memory < 20000
    """, env={"COUNTED": counted})


def test_reimport_keeps_no_memory_block(fresh):
    # The import system drops the state block of the module the create slot
    # hands back; each re-import used to leak one block.
    proc = fresh("""
        import gc, importlib, sys
        import main
        def reimport(n):
            for _ in range(n):
                del sys.modules["main"]
                assert importlib.import_module("main") is main
        reimport(1500)  # the import system's caches settle first
        growth = []
        for _ in range(3):
            gc.collect()
            before = sys.getallocatedblocks()
            reimport(1000)
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
        print(min(growth))
    """)
    assert int(proc.stdout) < 200  # a leak shows as 1000
