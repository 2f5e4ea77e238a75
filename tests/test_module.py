"""The module's life cycle: import, creation and execution of the module main,
its one-interpreter rule, its version check, and imports that fail."""
import builtins
import os
import re
import shutil
import sys
import types
import warnings

import pytest

import main
import main_testhelper as helper
import reference_main
from conftest import BUILD_DIR, MAIN_LIBRARY, script
from support import cases, guard, platforms, stubs
from support.lines import SEND

INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded "
                      "into one interpreter per process.")


def test_attributes_after_import():
    names = set(vars(main))
    assert names == {"__name__", "__doc__", "__spec__", "__loader__", "__file__", "__package__",
                     "__builtins__", "logger", "requests", "json", "send", "__test__"}
    import json, loguru, requests
    assert main.__doc__ is None
    assert main.__builtins__ is builtins
    assert main.logger is loguru.logger and main.requests is requests and main.json is json
    assert main.__test__ == {}
    assert main.__package__ == "" and main.__loader__ is main.__spec__.loader
    assert main.__file__ == main.__spec__.origin
    assert type(main.send).__name__ == "native_function_or_method"


def test_reimport_gives_the_same_module_without_running_again(fresh):
    fresh("""
        import sys, main
        first, send = main, main.send
        main.marker = 1
        del sys.modules["main"]
        import main
        assert main is first and main.send is send and main.marker == 1
        assert main.__test__ == {}
    """)


def test_sub_interpreter_is_refused_after_the_main_one(fresh):
    out = fresh("""
        import main, main_testhelper
        print(main_testhelper.run_in_subinterp("import main"))
    """)
    assert out.stdout.strip() == "-1"
    assert "ImportError: " + INTERPRETER_CHANGE in out.stderr


def test_first_sub_interpreter_keeps_the_module(fresh):
    out = fresh("""
        import main_testhelper
        print(main_testhelper.run_in_subinterp("import main"))
        try:
            import main
        except ImportError as e:
            print(e)
    """)
    assert out.stdout.splitlines() == ["0", INTERPRETER_CHANGE]


def test_failed_sub_interpreter_import_leaves_no_owner(fresh):
    # The strings and constants the failed execution built inside the
    # sub-interpreter outlive it (the next execution uses them), and its
    # collector is gone: the leak checker would report them.
    asan = os.environ.get("ASAN_OPTIONS")
    out = fresh("""
        import main_testhelper
        print(main_testhelper.run_in_subinterp("import loguru, requests, sys; sys.modules['json'] = None; import main"))
        import main
        print(type(main.send).__name__)
    """, env={"ASAN_OPTIONS": asan + ":detect_leaks=0"} if asan else None)
    assert out.stdout.splitlines() == ["-1", "native_function_or_method"]


def test_exports_only_the_entry_point_and_the_flag():
    if platforms.WINDOWS:
        # Windows exports what is marked, and only the entry point is; the
        # module needs the interpreter, the kernel and the interpreter's own
        # C runtime (the UCRT), never a second one (msvcrt.dll) or MinGW's.
        assert platforms.exported_symbols(MAIN_LIBRARY) == ["PyInit_main"]
        dlls = platforms.PortableExecutable(MAIN_LIBRARY).imported_dlls()
        python_dll = "python%d%d.dll" % sys.version_info[:2]
        assert {dll.lower() for dll in dlls} >= {python_dll, "kernel32.dll"}
        assert [dll for dll in dlls if not re.fullmatch(
            rf"{python_dll}|kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll|vcruntime140\.dll",
            dll.lower())] == []
    else:
        assert platforms.exported_symbols(MAIN_LIBRARY) == ["PyInit_main", "module_is_main_main"]


def test_flag_makes_the_module_run_as_main(fresh):
    out = fresh("""
        import ctypes, sys
        from conftest import MAIN_LIBRARY as path
        try:
            flag = ctypes.c_int.in_dll(ctypes.CDLL(path), "module_is_main_main")
        except ValueError:
            print("not exported")   # Windows: the flag stays internal and 0
        else:
            flag.value = 1
        import main
        print(main.__name__, sys.modules["main"] is main)
    """)
    if platforms.WINDOWS:
        assert out.stdout.split() == ["not", "exported", "main", "True"]
    else:
        assert out.stdout.split() == ["__main__", "True"]


def test_imported_under_another_name_also_enters_main(fresh):
    out = fresh("""
        import importlib.util, sys
        from conftest import MAIN_LIBRARY as path
        spec = importlib.util.spec_from_file_location("pkg.main", path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        print(mod.__name__, sys.modules["main"] is mod, mod.__package__)
    """)
    assert out.stdout.split() == ["pkg.main", "True", "pkg"]


def test_spec_attributes(fresh):
    out = fresh(script("loader_origin.py"))
    lines = out.stdout.splitlines()
    assert lines[0] == ("['__doc__', '__loader__', '__name__', '__package__', '__path__', '__spec__'] "
                        "None None ['somewhere']")
    assert lines[1:] == ["False", "raised origin broke", "False"]


@pytest.mark.parametrize("case", cases.IMPORT_FAILURES)
def test_failing_import_reports_its_line_and_can_be_retried(fresh, case):
    entries, error, line = cases.IMPORT_FAILURES[case]
    out = fresh(f"""
        import sys, traceback
        from support import cases
        saved = dict(sys.modules)
        cases.refuse_imports({entries!r})
        try:
            import main
        except ImportError:
            traceback.print_exc()
        print("left behind:", "main" in sys.modules)
        for name in ("loguru", "requests", "json"):
            if name in saved:
                sys.modules[name] = saved[name]
            else:
                sys.modules.pop(name, None)
        import main
        print(type(main.send).__name__, main.__test__)
    """)
    assert error in out.stderr
    assert f'File "main.py", line {line}, in init main' in out.stderr
    assert out.stdout.splitlines() == ["left behind: False", "native_function_or_method {}"]


def test_failed_import_leaves_later_modules_unimported(fresh):
    out = fresh("""
        import sys
        sys.modules['loguru'] = None
        try:
            import main
        except ImportError:
            pass
        print('requests' in sys.modules)
    """)
    assert out.stdout.strip() == "False"


def test_shared_runtime_switch_module_exists(fresh):
    out = fresh("""
        import sys, main
        rt = sys.modules["native_runtime"]
        print(type(rt).__name__, sorted(k for k in vars(rt) if not k.startswith("__")))
    """)
    assert out.stdout.strip() == "module []"


CODE_FIELDS = ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_nlocals", "co_varnames",
               "co_name", "co_firstlineno", "co_flags", "co_freevars", "co_cellvars")


def test_code_object_of_send():
    # The same description as the function in plain Python has, but for the
    # file, which tracebacks name "main.py", and the body, which is native.
    code, plain = main.send.__code__, reference_main.send.__code__
    assert {f: getattr(code, f) for f in CODE_FIELDS} == {f: getattr(plain, f) for f in CODE_FIELDS}
    assert code.co_filename == "main.py"
    if sys.version_info < (3, 15):  # co_lnotab is gone from 3.15, deprecated from 3.12
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            assert code.co_lnotab == b""
    # Running it by mistake raises instead of executing garbage.
    with pytest.raises(AssertionError) as info:
        types.FunctionType(code, {})("t", "x")
    assert info.traceback[-1].lineno == SEND.definition - 1  # pytest counts lines from 0


def test_failed_import_under_another_name_leaves_no_main_entry(fresh):
    out = fresh("""
        import importlib.util, sys
        from conftest import MAIN_LIBRARY as path
        sys.modules["loguru"] = None
        spec = importlib.util.spec_from_file_location("pkg.main", path)
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError:
            pass
        print("main" in sys.modules)
        del sys.modules["loguru"]
        import main
        print(type(main.send).__name__)
    """)
    assert out.stdout.split() == ["False", "native_function_or_method"]


class TestVersionCheck:
    def test_versions_that_share_a_prefix_still_warn(self):
        with pytest.warns(RuntimeWarning) as record:
            helper.check_version(3, 11, 0x030105F0)  # 3.1.5
            helper.check_version(3, 1, 0x030B02F0)  # 3.11.2
            helper.check_version(3, 11, 0x030C00A1)  # 3.12.0a1
            helper.check_version(3, 15, 0x040F00F0)  # 4.15.0
        assert [str(w.message) for w in record] == [
            "compiletime version 3.11 of module 'main' does not match runtime version 3.1",
            "compiletime version 3.1 of module 'main' does not match runtime version 3.11",
            "compiletime version 3.11 of module 'main' does not match runtime version 3.12",
            "compiletime version 3.15 of module 'main' does not match runtime version 4.15",
        ]

    def test_matching_version_is_silent_and_error_filter_raises(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            helper.check_version(3, 11, 0x030B02F0)
            helper.check_version(*sys.version_info[:2], sys.hexversion)
            with pytest.raises(RuntimeWarning, match="runtime version 3.10"):
                helper.check_version(3, 11, 0x030A01F0)


@pytest.mark.parametrize("nested_fails", [True, False], ids=["nested-fails", "nested-succeeds"])
def test_nested_import_during_execution_is_refused_and_leaves_the_outer_whole(fresh, nested_fails):
    # The registry's __getattr__ runs inside main's own execution and loads
    # the same file again under another name.
    out = fresh(f"""
        import importlib.util, sys, types, main_testhelper
        import json, loguru, requests
        from conftest import MAIN_LIBRARY as path
        registry = types.ModuleType("_native_abi_1_0")
        nested = []

        def __getattr__(name):
            del registry.__getattr__
            spec = importlib.util.spec_from_file_location("other.main", path)
            if {nested_fails}:
                sys.modules["requests"] = None
            try:
                spec.loader.exec_module(importlib.util.module_from_spec(spec))
            except ImportError as e:
                nested.append(str(e))
            finally:
                sys.modules["requests"] = requests
            raise AttributeError(name)

        registry.__getattr__ = __getattr__
        sys.modules["_native_abi_1_0"] = registry
        import main
        print(nested)
        print(main_testhelper.run_in_subinterp("import main"))
        print(main.logger is loguru.logger, main.requests is requests, main.json is json)
        print("other.main" in sys.modules, sys.modules["main"] is main)
    """)
    lines = out.stdout.splitlines()
    assert lines[0] == repr(["Module 'main' is already being imported: a nested import of it during its own "
                             "execution is not supported."])
    assert lines[1:] == ["-1", "True True True", "False True"]
    assert "ImportError: " + INTERPRETER_CHANGE in out.stderr


def test_module_is_let_go_at_exit_and_send_still_works_after(fresh):
    # An exit handler registered before the import runs after the module's
    # own: by then only the interpreter's module table holds the module.
    out = fresh("""
        import atexit, gc, sys, weakref
        from support import stubs

        def late():
            module = sys.modules["main"]
            logger, posted = stubs.put_standins(module)
            print(module.send("tok", "late"), len(posted.calls))
            ref = weakref.ref(sys.modules.pop("main"))
            del module
            gc.collect()
            print(ref() is None)
            import main as again                  # executes afresh
            stubs.put_standins(again)
            print(again.send("tok", "again"))

        atexit.register(late)
        module = __import__("main")               # bound nowhere that outlives the script
        stubs.put_standins(module)
        module.send("tok", "early")
        del module
    """)
    assert out.stdout.splitlines() == [f"{stubs.OK} 1", "True", stubs.OK]


# After the module went at exit, a fresh import of it fails (json refused) or
# succeeds; an older send keeps reading the globals of the execution that made
# it, as a def keeps its __globals__. Run through the exit handlers by hand, or
# from a handler registered before the import, at a real exit (handlers run
# last in, first out: the module's own runs first).
REIMPORT_AFTER_EXIT = """
    import atexit, gc, sys
    sys.path.insert(0, {path!r})
    from support import stubs

    def reimport():
        global main
        del main
        del sys.modules["main"]
        gc.collect()
        saved = sys.modules["json"]
        if {fails}:
            sys.modules["json"] = None
        try:
            import main
            new_logger, _ = stubs.put_standins(main)
            print("imported", main is not old_module)
        except ImportError:
            new_logger = stubs.Logger()
            print("import failed")
        finally:
            sys.modules["json"] = saved
        gc.collect()
        print(old_send("tok", "x"), len(old_logger.calls), len(new_logger.calls))

    if {at_exit}:
        atexit.register(reimport)
    import main
    old_module = main
    old_logger, _ = stubs.put_standins(main)
    old_send = main.send
    del old_module
    old_module = None
    if not {at_exit}:
        atexit._run_exitfuncs()
        reimport()
"""


@pytest.mark.parametrize("at_exit", [False, True], ids=["exit-handlers", "real-exit"])
@pytest.mark.parametrize("fails", [True, False], ids=["reimport-fails", "reimport-succeeds"])
@pytest.mark.parametrize("kind", ["native", "plain"])
def test_older_send_reads_its_own_globals_after_a_reimport(fresh, tmp_path, kind, fails, at_exit):
    path = BUILD_DIR
    if kind == "plain":
        path = str(tmp_path)
        shutil.copy(reference_main.__file__, tmp_path / "main.py")
    out = fresh(REIMPORT_AFTER_EXIT.format(path=path, fails=fails, at_exit=at_exit))
    first = "import failed" if fails else "imported True"
    assert out.stdout.splitlines() == [first, f"{stubs.OK} 1 0"]


# After the module was let go at exit, a fresh execution starts at an awkward
# moment: while the released module object is being freed (from a weak
# reference's callback, which runs before the module's own end), or inside an
# older send's call (from its logger's attribute look-up). Either way the
# import gets a module of its own, and the older send ends its call with the
# words it started with (the churn reuses whatever the execution freed).
REIMPORT_DURING = {
    "module-going": """
        import weakref
        sent = []

        def import_again(ref):
            import main as again
            stubs.put_standins(again)
            sent.append(again.send("tok", "again"))

        ref = weakref.ref(sys.modules["main"], import_again)
        del sys.modules["main"]
        print(sent)
    """,
    "send-running": """
        del sys.modules["main"]
        gc.collect()

        class Logger:
            def __getattr__(self, name):
                import main as again
                churn = [tuple(["access_token", str(i)]) for i in range(200)]
                return lambda template, **kw: print(template == stubs.TEMPLATE, sorted(kw.items()))

        send.__globals__["logger"] = Logger()
        print(send("tok", "x"))
    """,
}


@pytest.mark.parametrize("moment", sorted(REIMPORT_DURING))
@pytest.mark.parametrize("kind", ["native", "plain"])
def test_reimport_while_the_old_module_goes_or_its_send_runs(fresh, tmp_path, kind, moment):
    path = BUILD_DIR
    if kind == "plain":
        path = str(tmp_path)
        shutil.copy(reference_main.__file__, tmp_path / "main.py")
    out = fresh(f"""
        import atexit, gc, sys
        sys.path.insert(0, {path!r})
        from support import stubs
        import main
        stubs.put_standins(main)
        send = main.send
        del main
        atexit._run_exitfuncs()
    """ + REIMPORT_DURING[moment])
    expected = {
        "module-going": [f"[{stubs.OK!r}]"],
        "send-running": ["True [('access_token', 'tok'), ('text', 'x')]", stubs.OK],
    }
    assert out.stdout.splitlines() == expected[moment]


@pytest.mark.parametrize("outer", ["succeeds", "fails"])
def test_load_from_another_thread_waits_for_the_execution(fresh, outer):
    # Thread A's import of main waits inside its execution (in loguru's
    # attribute look-up) while thread B loads the same file under another
    # name. B waits for A's execution, then gets what a load made after it
    # gets: A's module, or a fresh execution when A's failed.
    out = fresh(f"""
        import importlib.util, sys, threading, time, types
        import loguru, requests, json
        from conftest import MAIN_LIBRARY as path

        entered, release = threading.Event(), threading.Event()
        fake = types.ModuleType("loguru")
        lookups = []

        def __getattr__(name):
            if name != "logger":
                raise AttributeError(name)
            lookups.append(name)
            if len(lookups) == 1:
                entered.set()
                release.wait(600)
                if {outer == "fails"}:
                    raise AttributeError(name)
            return loguru.logger

        fake.__getattr__ = __getattr__
        sys.modules["loguru"] = fake
        results = {{}}

        def load_a():
            try:
                import main
                results["a"] = main
            except ImportError as e:
                results["a"] = e

        def load_b():
            try:
                spec = importlib.util.spec_from_file_location("other.main", path)
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
                results["b"] = module
            except ImportError as e:
                results["b"] = e

        a = threading.Thread(target=load_a)
        a.start()
        assert entered.wait(600)
        b = threading.Thread(target=load_b)
        b.start()
        # Until B is inside the extension loader's create step: then it is
        # about to wait, or waits, for A's execution.
        while b.is_alive():
            frame = sys._current_frames().get(b.ident)
            if frame is not None and frame.f_back is not None and frame.f_back.f_code.co_name == "create_module":
                break
            time.sleep(0.001)
        time.sleep(0.05)
        release.set()
        a.join(600)
        b.join(600)
        print(results["a"] is sys.modules["main"] or results["a"])
        module = results["b"]
        print(type(module).__name__, module is sys.modules["main"], type(module.send).__name__)
    """)
    lines = out.stdout.splitlines()
    assert lines[0] == ("True" if outer == "succeeds" else "cannot import name logger")
    assert lines[1] == "module True native_function_or_method"


# Thread A's import of main hangs in its `import requests` (a stand-in that
# waits on a gate) while another load of the same file, under another name,
# waits for it: in this process's main thread, or in a child forked while A
# executes, where A's lock has no thread left to give it back. Ctrl-C ends
# that wait with KeyboardInterrupt, as it ends plain Python's wait on the
# module lock of requests. SIGINT comes again and again once the load is
# under way (the handler raises once) until a guard gives up and opens the
# gate, so a wait that lets no signal through fails instead of hanging.
INTERRUPTED_WAIT = """
    import importlib.util, os, signal, sys, threading, time, warnings
    sys.path[:0] = [{gate!r}, {path!r}]
    import gate
    warnings.simplefilter("ignore", DeprecationWarning)   # fork() with a thread running

    def load_a():
        import main

    def under_way(ident):
        frame = sys._current_frames().get(ident)
        while frame is not None:
            if frame.f_code.co_name == "create_module" if {native} else frame.f_code.co_filename == {file!r}:
                return True
            frame = frame.f_back
        return False

    def interrupt(ident, stop):
        deadline = time.monotonic() + {guard}
        while not under_way(ident) and time.monotonic() < deadline:
            time.sleep(0.01)
        while not stop.is_set() and time.monotonic() < deadline:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)
        gate.release.set()

    raised = []
    def on_sigint(signum, frame):
        if not raised:
            raised.append(signum)
            raise KeyboardInterrupt

    def load_other_interrupted():
        signal.signal(signal.SIGINT, on_sigint)
        stop = threading.Event()
        signaller = threading.Thread(target=interrupt, args=(threading.get_ident(), stop))
        signaller.start()
        try:
            spec = importlib.util.spec_from_file_location("other.main", {file!r})
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
            outcome = "loaded"
        except KeyboardInterrupt:
            outcome = "KeyboardInterrupt"
        outcome += " while A waits" if not gate.release.is_set() else " after A"
        stop.set()
        signaller.join({guard})
        return outcome

    a = threading.Thread(target=load_a, daemon=True)
    a.start()
    assert gate.entered.wait({guard})
    if {forked}:
        child = os.fork()
        if child == 0:
            print("child:", load_other_interrupted(), flush=True)
            os._exit(0)
        deadline = time.monotonic() + {guard}
        while os.waitpid(child, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(child, signal.SIGKILL)
                print("child: hung")
                break
            time.sleep(0.05)
    else:
        print(load_other_interrupted())
    gate.release.set()
    a.join({guard})
    print("A:", type(sys.modules["main"].send).__name__)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork and POSIX signals, which interrupt lock waits")
@pytest.mark.parametrize("forked", [False, True], ids=["this-process", "forked-child"])
@pytest.mark.parametrize("kind", ["native", "plain"])
def test_ctrl_c_ends_a_wait_for_another_threads_execution(fresh, tmp_path, kind, forked):
    gate = tmp_path / "gate"
    gate.mkdir()
    (gate / "gate.py").write_text("import threading\nentered, release = threading.Event(), threading.Event()\n")
    (gate / "requests.py").write_text("import gate\ngate.entered.set()\ngate.release.wait()\n")
    path, file = BUILD_DIR, MAIN_LIBRARY
    if kind == "plain":
        path, file = str(tmp_path), str(tmp_path / "main.py")
        shutil.copy(reference_main.__file__, file)
    out = fresh(INTERRUPTED_WAIT.format(gate=str(gate), path=path, file=file, native=kind == "native",
                                        forked=forked, guard=guard.limit(2)))
    send_type = "native_function_or_method" if kind == "native" else "function"
    prefix = "child: " if forked else ""
    assert out.stdout.splitlines() == [f"{prefix}KeyboardInterrupt while A waits", f"A: {send_type}"]
