#!/usr/bin/python3.11d
"""Reference and memory-block leak runner for the module main.

Runs each scenario a few times to warm caches, then measures
sys.gettotalrefcount() and sys.getallocatedblocks() around `--rounds` more
runs, `--reps` times. A scenario leaks when every repetition grows by more
than the noise allowance. Needs a debug interpreter and a debug build:

    /usr/bin/python3.11d tests/support/leakcheck.py [--build build-dbg] [--rounds N]

The import scenarios run in a fresh child interpreter of their own, since
they need `main` not to be imported yet. Exit status: 0 clean, 1 growth,
2 cannot run (not a debug interpreter, or a scenario misbehaved).
"""
import argparse
import gc
import importlib
import json as json_module
import os
import sys

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TESTS_DIR)
NOISE = 8  # refs or blocks a repetition may grow by without counting as a leak


class ScenarioError(Exception):
    """A scenario did something other than what it expects: not a leak, a fault."""


def expect(exc_type, line, func, *args, **kwargs):
    """Runs func, which must raise exc_type with a main.py entry at `line`."""
    from support.tracebacks import last_main_py_line

    try:
        func(*args, **kwargs)
    except exc_type as exc:
        got = last_main_py_line(exc)
        if got != line:
            raise ScenarioError(f"{exc_type.__name__} reported at line {got}, expected {line}") from None
        return
    raise ScenarioError(f"no {exc_type.__name__} raised")


# --- stand-ins ------------------------------------------------------------


class Obj:
    """Attribute bag whose callables are plain instance attributes."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def module_json_dumps(obj):  # a plain function: the unpacked fast path
    return json_module.dumps(obj)


class JsonBound:  # dumps as a bound method: unpacked to function + self
    def dumps(self, obj):
        return json_module.dumps(obj)


def send_scenarios(main, stubs):
    """(name, one round) for everything that runs in this interpreter."""
    from support import cases
    from support.lines import SEND

    good_logger, good_requests = stubs.Logger(), stubs.Requests()

    def reset():
        main.logger, main.requests, main.json = good_logger, good_requests, json_module
        good_logger.calls.clear()
        good_requests.calls.clear()

    def ok(*args, **kwargs):
        reset()
        if main.send(*args, **kwargs) != stubs.OK:
            raise ScenarioError("unexpected reply")

    def failing(line, exc_type, bindings, args):
        def run():
            reset()
            cases.rebind(main, bindings)
            try:
                expect(exc_type, line, main.send, *args)
            finally:
                reset()
        return run

    def reply(obj):
        return Obj(post=lambda **kw: obj)

    def bind(*args, **kwargs):
        def run():
            reset()
            expect(TypeError, SEND.definition, main.send, *args, **kwargs)
        return run

    def road(name):
        def run():
            cases.road(main, name)
            if main.send("t", "x") != stubs.OK:
                raise ScenarioError("unexpected reply")
            reset()
        return run

    import main_testhelper

    class EqualText(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return str.__eq__(self, other)

    scenarios = [(f"send ok {args} {kwargs}", lambda args=args, kwargs=kwargs: ok(*args, **kwargs))
                 for args, kwargs in cases.BINDS]
    scenarios += [(f"bind {args} {kwargs}", bind(*args, **kwargs)) for args, kwargs, _ in cases.BIND_ERRORS]
    scenarios += [(f"send ok road {name}", road(name)) for name in cases.ROADS]
    scenarios += [(f"fails: {name}", failing(*case)) for name, case in cases.FAILURES.items()]
    scenarios += [
        ("send ok str-subclass keyword", lambda: ok(**{EqualText("access_token"): "tok", "text": "t"})),
        ("send ok dumps function", lambda: (setattr(main, "json", Obj(dumps=module_json_dumps)),
                                            main.send("t", "x"), reset())),
        ("send ok dumps bound method", lambda: (setattr(main, "json", JsonBound()), main.send("t", "x"), reset())),
        ("send ok reply json builtin", lambda: (setattr(main, "requests", reply(Obj(json={"a": 1}.copy))),
                                                main.send("t", "x"), reset())),
        ("send ok reply json function", lambda: (setattr(main, "requests", reply(Obj(json=lambda: [1]))),
                                                 main.send("t", "x"), reset())),
        ("bind non-str keyword", lambda: expect(TypeError, SEND.definition, main_testhelper.pyobject_fastcalldict,
                                                main.send, ("a", "b"), {1: 2})),
    ]
    return scenarios + attribute_scenarios(main)


def attribute_scenarios(main):
    """Reads and writes of main.send's attributes. Attributes the type does not
    serve (yet) raise AttributeError, which is tolerated: refs must balance
    either way."""
    f = main.send
    soft = (AttributeError, TypeError)

    def tolerant(op):
        def run():
            try:
                op()
            except soft:
                pass
        return run

    def rw(name, value, delete=True):
        def op():
            try:
                old = getattr(f, name)
            except AttributeError:
                return
            try:
                setattr(f, name, value)
                if delete:
                    try:
                        delattr(f, name)
                    except soft:
                        pass
            finally:
                try:
                    setattr(f, name, old)
                except soft:
                    pass
        return tolerant(op)

    reads = ["__name__", "func_name", "__qualname__", "__doc__", "func_doc", "__dict__", "func_dict",
             "__module__", "__defaults__", "__kwdefaults__", "__annotations__", "__code__", "__globals__",
             "__self__", "__closure__", "func_code", "func_globals", "func_closure", "func_defaults"]
    scenarios = [
        ("attr reads", tolerant(lambda: [getattr(f, n, None) for n in reads])),
        ("attr repr and reduce", tolerant(lambda: (repr(f), f.__reduce__()))),
        ("attr write __doc__", rw("__doc__", "doc text")),
        ("attr write __name__", rw("__name__", "renamed", delete=False)),
        ("attr write __qualname__", rw("__qualname__", "q.renamed", delete=False)),
        ("attr write __module__", rw("__module__", object())),
        ("attr write __defaults__", rw("__defaults__", (1, 2))),
        ("attr write __kwdefaults__", rw("__kwdefaults__", {"k": 1})),
        ("attr write __annotations__", rw("__annotations__", {"a": int})),
        ("attr write __dict__", rw("__dict__", {"x": 1}, delete=False)),
        ("attr refused writes", lambda: [tolerant(op)() for op in (
            lambda: setattr(f, "__name__", 1), lambda: delattr(f, "__name__"),
            lambda: setattr(f, "__qualname__", None), lambda: setattr(f, "__dict__", []),
            lambda: delattr(f, "__dict__"), lambda: setattr(f, "__defaults__", []),
            lambda: setattr(f, "__kwdefaults__", []), lambda: setattr(f, "__annotations__", 1),
            lambda: setattr(f, "__code__", None), lambda: setattr(f, "__globals__", {}))]),
        ("attr arbitrary set and delete", tolerant(lambda: (setattr(f, "extra", [1]), delattr(f, "extra")))),
        ("attr bound method via class", tolerant(lambda: type("C", (), {"m": f})().m)),
    ]
    return scenarios


def import_scenarios():
    """(name, one round); runs in a fresh interpreter before main is imported."""
    from support import cases
    from support.tracebacks import last_main_py_line

    import loguru  # noqa: F401  (imported up front: their import is not ours)
    import requests  # noqa: F401

    saved = {name: sys.modules[name] for name in ("loguru", "requests", "json")}

    def failing(entries, _, line):
        def run():
            cases.refuse_imports(entries)
            try:
                expect_import_failure(ImportError, line)
            finally:
                sys.modules.update(saved)
        return run

    def expect_import_failure(exc_type, line):
        try:
            importlib.import_module("main")
        except exc_type as exc:
            got = last_main_py_line(exc, "init main")
            if got != line:
                raise ScenarioError(f"import failed at line {got}, expected {line}") from None
            if "main" in sys.modules:
                raise ScenarioError("failed import left main in sys.modules")
            return
        raise ScenarioError("import did not fail")

    def reimport():
        sys.modules.pop("main", None)
        module = importlib.import_module("main")
        if module is not first[0]:
            raise ScenarioError("re-import gave another module object")

    first = []

    def first_import():
        first.append(importlib.import_module("main"))
        return []

    return [(f"import fails: {name}", failing(*case)) for name, case in cases.IMPORT_FAILURES.items()] + [
        (None, first_import),
        ("re-import after success", reimport),
    ]


def measure(name, func, warmup, rounds, reps):
    for _ in range(warmup):
        func()
    deltas = []
    for _ in range(reps):
        gc.collect()
        refs0, blocks0 = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(rounds):
            func()
        gc.collect()
        refs1, blocks1 = sys.gettotalrefcount(), sys.getallocatedblocks()
        deltas.append((refs1 - refs0, blocks1 - blocks0))
    # The first repetition may still see caches and free lists fill up, and
    # such growth keeps shrinking; a leak grows by about as much in every
    # later repetition.
    later = deltas[1:] or deltas

    def grows(values):
        return all(v > NOISE for v in values) and values[-1] * 2 >= values[0]

    leaked = grows([r for r, _ in later]) or grows([b for _, b in later])
    return {"name": name, "deltas": deltas, "leaked": leaked}


def run_scenarios(scenarios, args):
    results = []
    for name, func in scenarios:
        if name is None:  # a step between scenarios, not measured
            func()
            continue
        if args.only and args.only not in name:
            continue
        try:
            results.append(measure(name, func, args.warmup, args.rounds, args.reps))
        except ScenarioError as exc:
            results.append({"name": name, "deltas": [], "leaked": False, "error": str(exc)})
    return results


def child_import(args):
    sys.path[:0] = [args.build, TESTS_DIR]
    # The import system's own caches settle slowly (hundreds of imports), and
    # an import costs well under a millisecond: warm up for longer.
    args.warmup = max(args.warmup, 600)
    if sys.version_info >= (3, 13):
        # From 3.13 failing imports leave up to ~60 references per repetition
        # whatever its number of rounds (a pure-Python module shows the same):
        # more rounds, so that a leak of one per import still stands out.
        global NOISE
        args.rounds, NOISE = max(args.rounds, 400), 100
    print(json_module.dumps(run_scenarios(import_scenarios(), args)))


def parent(args):
    sys.path[:0] = [args.build, TESTS_DIR]
    import main
    from support import stubs

    results = run_scenarios(send_scenarios(main, stubs), args)
    from support import guard
    proc = guard.run(
        [sys.executable, os.path.abspath(__file__), "--child-import", "--build", args.build,
         "--rounds", str(args.rounds), "--warmup", str(args.warmup), "--reps", str(args.reps),
         *(["--only", args.only] if args.only else [])],
        capture_output=True, text=True, minutes=10)
    if proc.returncode != 0:
        print(proc.stdout, proc.stderr, sep="\n", file=sys.stderr)
        print("import scenarios: child interpreter failed", file=sys.stderr)
        return 2
    results += json_module.loads(proc.stdout.strip().splitlines()[-1])

    status = 0
    width = max(len(r["name"]) for r in results)
    print(f"{'scenario':<{width}}  refs/blocks per repetition of {args.rounds} rounds")
    for r in results:
        if "error" in r:
            verdict, status = f"ERROR: {r['error']}", max(status, 2)
        elif r["leaked"]:
            verdict, status = "LEAK", max(status, 1)
        else:
            verdict = "ok"
        cells = "  ".join(f"{d[0]:+d}/{d[1]:+d}" for d in r["deltas"])
        print(f"{r['name']:<{width}}  {cells:<30} {verdict}")
    print(f"{len(results)} scenarios, {sum(r['leaked'] for r in results)} leaking, "
          f"{sum('error' in r for r in results)} misbehaving")
    return status


def main_entry():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("MAIN_BUILD_DIR", os.path.join(ROOT, "build-dbg")))
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--warmup", type=int, default=30)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--only", help="run only scenarios whose name contains this text")
    parser.add_argument("--child-import", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    if not hasattr(sys, "gettotalrefcount"):
        print("leakcheck needs a debug interpreter (python3.11d)", file=sys.stderr)
        return 2
    if args.child_import:
        child_import(args)
        return 0
    return parent(args)


if __name__ == "__main__":
    sys.exit(main_entry())
