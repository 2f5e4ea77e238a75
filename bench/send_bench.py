"""Measures main.send against the same function in plain Python, and the import.

    MAIN_BUILD_DIR=build /usr/bin/python3 bench/send_bench.py [MODE ...] [options]

Modes (default: all three):

wall       ns per call of main.send and of bench/reference_main.py's send, runs
           interleaved in one interpreter, best round of each, for two setups:
           cheap stand-ins for logger and requests with the real json module,
           and with a stand-in json as well.
callgrind  instructions per call under valgrind's callgrind (counts do not
           depend on the machine's load): native, interpreted, and the floor
           of each, the same dependency calls made directly from a C loop of
           the test helper module, so that what is left is the glue, the
           function's own work. The native floor formats the token with
           format(token, "") where the interpreted one runs str.format on the
           URL template, as each implementation does.
import     our own import (loguru, requests and json already imported) in
           fresh interpreters: median time and the resident memory it adds;
           the interpreted reference's import for comparison; with valgrind,
           its instructions as well, counted from just before the import
           statement (as in the process mode).
process    what a script that sends one notification pays, in instructions
           under callgrind: interpreter start, the dependencies' import, our
           import, one send (the real logger, a canned reply instead of the
           network) and exit, native against interpreted (the reference as
           main.py, from its warm .pyc). Send and exit are told apart by
           running the same script up to each step and ending it there with
           os._exit, which skips the interpreter's finalisation.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD_DIR = os.path.abspath(os.environ.get("MAIN_BUILD_DIR", os.path.join(ROOT, "build")))

TOKEN = "0123456789abcdef"
TEXT = "服务已部署完成 deploy finished"
TEMPLATE = "[钉钉通知] 该APP执行参数为: {access_token} {text}"
URL_TEMPLATE = "https://oapi.dingtalk.com/robot/send?access_token={access_token}"
HEADERS = {"Content-Type": "application/json;charset=UTF-8"}


class Logger:
    def info(self, message, **fields):
        pass


class Reply:
    payload = {"errcode": 0, "errmsg": "ok"}

    def json(self):
        return self.payload


class Requests:
    reply = Reply()

    def post(self, url, data, headers):
        return self.reply


class CheapJson:
    @staticmethod
    def dumps(value):
        return "{}"


SETUPS = (("real json", json), ("stand-in json", CheapJson()))


def load_modules():
    sys.path[:0] = [BUILD_DIR, HERE]
    import main
    import reference_main
    return main, reference_main


def install(modules, json_module):
    logger, requests = Logger(), Requests()
    for module in modules:
        module.logger, module.requests, module.json = logger, requests, json_module
    main, reference = modules
    assert main.send(TOKEN, TEXT) == reference.send(TOKEN, TEXT)


# --- wall time ---------------------------------------------------------------

def time_calls(function, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        function(TOKEN, TEXT)
    return (time.perf_counter_ns() - start) / calls


def wall(options):
    modules = load_modules()
    main, reference = modules
    ratios = {}
    for label, json_module in SETUPS:
        install(modules, json_module)
        native, interpreted = [], []
        for _ in range(options.rounds):
            native.append(time_calls(main.send, options.calls))
            interpreted.append(time_calls(reference.send, options.calls))
        best_native, best_interpreted = min(native), min(interpreted)
        ratios[label] = best_native / best_interpreted
        print(f"-- wall time, {label} (best of {options.rounds} rounds of {options.calls} calls)")
        print(f"  native        {best_native:8.0f} ns/call")
        print(f"  interpreted   {best_interpreted:8.0f} ns/call")
        print(f"  ratio         {ratios[label]:8.3f}")
    return ratios


# --- callgrind -----------------------------------------------------------------

def floor_steps(implementation, logger, requests, json_module):
    """The dependency calls one send makes, with their arguments built beforehand."""
    message = {"msgtype": "text", "text": {"content": TEXT}}
    url = URL_TEMPLATE.format(access_token=TOKEN)
    data = json_module.dumps(message)
    reply = requests.reply
    steps = [(type(logger).info, (logger, TEMPLATE, TOKEN, TEXT), ("access_token", "text"))]
    if implementation == "native":
        steps.append(("format", (TOKEN, ""), None))
    else:
        steps.append((str.format, (URL_TEMPLATE, TOKEN), ("access_token",)))
    steps += [
        (json_module.dumps, (message,), None),
        (type(requests).post, (requests, url, data, dict(HEADERS)), ("url", "data", "headers")),
        (type(reply).json, (reply,), None),
        ("str", (reply.payload,), None),
    ]
    return tuple(steps)


def callgrind_child(options):
    """Runs under callgrind: every measured_calls or measured_floor is one dump."""
    modules = load_modules()
    main, reference = modules
    import main_testhelper as helper
    labels = []
    for label, json_module in SETUPS:
        install(modules, json_module)
        for name, function in (("native", main.send), ("interpreted", reference.send)):
            for _ in range(2000):  # warm: caches filled, bytecode specialised
                function(TOKEN, TEXT)
            helper.call_repeatedly(function, (TOKEN, TEXT), options.calls)
            labels.append((label, name))
        for name in ("native", "interpreted"):
            steps = floor_steps(name, main.logger, main.requests, json_module)
            helper.dependency_floor(steps, 200)
            helper.dependency_floor(steps, options.calls)
            labels.append((label, "floor " + name))
    print(json.dumps(labels))


def instructions_in(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def callgrind(options):
    if shutil.which("valgrind") is None:
        sys.exit("callgrind mode needs valgrind (apt-get install valgrind)")
    with tempfile.TemporaryDirectory() as out:
        base = os.path.join(out, "cg.out")
        # The warm-up floor run is dumped too: dumps come in pairs there.
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + base, "--collect-atstart=no",
             "--toggle-collect=measured_*",
             "--dump-after=measured_calls", "--dump-after=measured_floor",
             sys.executable, os.path.abspath(__file__), "--callgrind-child", "--calls", str(options.calls)],
            # A fixed hash seed: dictionary probes then take the same road every run.
            capture_output=True, text=True, env=dict(os.environ, MAIN_BUILD_DIR=BUILD_DIR, PYTHONHASHSEED="0"))
        if proc.returncode != 0:
            sys.exit(f"callgrind run failed:\n{proc.stdout}\n{proc.stderr[-3000:]}")
        labels = [tuple(x) for x in json.loads(proc.stdout.strip().splitlines()[-1])]
        dumps = sorted((f for f in os.listdir(out) if f.startswith("cg.out.")), key=lambda f: int(f.split(".")[-1]))
        counts = [instructions_in(os.path.join(out, f)) for f in dumps]
    # Dump order per setup: native, interpreted, floor warm-up, floor native,
    # floor warm-up, floor interpreted.
    per_setup = len(counts) // len(SETUPS)
    figures = {}
    for i, (label, _) in enumerate(SETUPS):
        c = counts[i * per_setup:(i + 1) * per_setup]
        native, interpreted, floor_native, floor_interpreted = (x / options.calls for x in (c[0], c[1], c[3], c[5]))
        glue_native, glue_interpreted = native - floor_native, interpreted - floor_interpreted
        figures[label] = {"whole": native / interpreted, "glue": glue_native / glue_interpreted}
        print(f"-- instructions per call, {label} ({options.calls} calls)")
        print(f"  native        {native:8.0f}   floor {floor_native:8.0f}   glue {glue_native:7.0f}")
        print(f"  interpreted   {interpreted:8.0f}   floor {floor_interpreted:8.0f}   glue {glue_interpreted:7.0f}")
        print(f"  ratio whole call {native / interpreted:6.3f}   glue {glue_native / glue_interpreted:6.3f}")
    return figures


# --- import ----------------------------------------------------------------------

IMPORT_CHILD = r"""
import gc, json, os, sys, time
sys.path[:0] = [sys.argv[1], sys.argv[2]]
import loguru, requests  # the dependencies are not ours to count
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
gc.collect()
rss, start = resident(), time.perf_counter_ns()
__import__(sys.argv[3])
elapsed, added = time.perf_counter_ns() - start, resident() - rss
print(json.dumps([elapsed, added]))
"""


def import_cost(module, samples):
    times, sizes = [], []
    for _ in range(samples):
        out = subprocess.run([sys.executable, "-c", IMPORT_CHILD, BUILD_DIR, HERE, module],
                             capture_output=True, text=True, check=True).stdout
        elapsed, added = json.loads(out)
        times.append(elapsed / 1e6)
        sizes.append(added / 1024)
    return statistics.median(times), statistics.median(sizes)


def import_mode(options):
    warm_reference()
    print(f"-- import in a fresh interpreter, dependencies already imported (median of {options.samples})")
    results = {}
    for label, module in (("native", "main"), ("interpreted", "reference_main")):
        ms, kib = import_cost(module, options.samples)
        results[label] = (ms, kib)
        print(f"  {label:<12}  {ms:6.3f} ms   {kib:6.0f} KiB resident added")
    return results


# --- whole process ------------------------------------------------------------------

PROCESS_CHILD = r"""
import os, sys
sys.path[:0] = [sys.argv[1]]
module, upto = sys.argv[2], sys.argv[3]
import json, loguru, requests  # what every such script imports first


class Reply:
    def json(self):
        return {"errcode": 0, "errmsg": "ok"}


def post(**kwargs):
    return Reply()


requests.post = post
if module != "none":
    m = __import__(module)
    if upto != "import":
        m.send("0123456789abcdef", "deploy finished")
if upto != "exit":
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)
"""


def twin_directories(root):
    """Two directories of one name length under `root`, each holding a module
    "main": the native library (linked) and the interpreted reference as
    main.py with its .pyc. The processes compared then differ in nothing but
    the module: the same arguments, names and path lengths, which move the
    interpreter's memory layout and with it the instruction counts of
    everything else in the process by tens of thousands."""
    native, interpreted = os.path.join(root, "native"), os.path.join(root, "interp")
    os.mkdir(native)
    os.mkdir(interpreted)
    library = next(f for f in os.listdir(BUILD_DIR) if f.startswith("main.") and f.endswith(".so"))
    os.symlink(os.path.join(BUILD_DIR, library), os.path.join(native, library))
    shutil.copy(os.path.join(HERE, "reference_main.py"), os.path.join(interpreted, "main.py"))
    subprocess.run([sys.executable, "-m", "py_compile", os.path.join(interpreted, "main.py")], check=True)
    return {"none": native, "native": native, "interpreted": interpreted}


def process_instructions(twins, kind, upto, only=None):
    """Instructions of PROCESS_CHILD for `kind` ("none", "native" or
    "interpreted"), ended after `upto` ("import", "send") or by a normal exit
    ("exit"); with `only`, just those inside that function."""
    with tempfile.TemporaryDirectory() as out:
        path = os.path.join(out, "cg.out")
        toggle = ["--collect-atstart=no", "--toggle-collect=" + only] if only else []
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + path, *toggle,
             sys.executable, "-c", PROCESS_CHILD, twins[kind], "none" if kind == "none" else "main", upto],
            capture_output=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        return instructions_in(path)


def warm_reference():
    """Writes the interpreted reference's .pyc, as a user's second run finds it."""
    subprocess.run([sys.executable, "-m", "py_compile", os.path.join(HERE, "reference_main.py")], check=True)


IMPORT_CHILD_ZEROED = r"""
import os, sys
sys.path[:0] = [sys.argv[1]]
import json, loguru, requests
os.getppid()  # callgrind starts counting afresh here
if sys.argv[2] != "none":
    __import__(sys.argv[2])
os._exit(0)
"""


def import_instructions():
    """Instructions of the import statement alone, counted from just before it
    to the end of the process (os._exit right after), for a module "main" in
    the first path entry, native or interpreted (twin_directories): unlike a
    difference of whole processes, untouched by how the interpreter's start
    and the dependencies' imports vary with the process's memory layout."""

    def count(twins, kind):
        with tempfile.TemporaryDirectory() as out:
            path = os.path.join(out, "cg.out")
            subprocess.run(
                ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + path, "--zero-before=os_getppid*",
                 sys.executable, "-c", IMPORT_CHILD_ZEROED, twins[kind], "none" if kind == "none" else "main"],
                capture_output=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
            return instructions_in(path)

    with tempfile.TemporaryDirectory() as root:
        twins = twin_directories(root)
        base = count(twins, "none")
        return {kind: count(twins, kind) - base for kind in ("native", "interpreted")}


def process_mode():
    if shutil.which("valgrind") is None:
        sys.exit("process mode needs valgrind (apt-get install valgrind)")
    warm_reference()
    # The interpreter's exit is Py_FinalizeEx. What the C library's exit
    # handlers do after it (OpenSSL's cleanup, which frees its tables) varies
    # by a few hundred thousand instructions from one process to another with
    # the heap's layout, whatever is imported: the process figure leaves it out.
    # The send column is a difference of two whole processes, and shares
    # their variation (tens of thousands of instructions); the import column
    # is counted alone (import_instructions).
    own_import = import_instructions()
    figures = {}
    with tempfile.TemporaryDirectory() as root:
        twins = twin_directories(root)
        base_exit = process_instructions(twins, "none", "exit", "Py_FinalizeEx")
        for label in ("native", "interpreted"):
            imported = process_instructions(twins, label, "import")
            sent = process_instructions(twins, label, "send")
            figures[label] = {"import": own_import[label], "send": sent - imported,
                              "exit": process_instructions(twins, label, "exit", "Py_FinalizeEx") - base_exit,
                              "process": process_instructions(twins, label, "exit")
                              - process_instructions(twins, label, "exit", "__run_exit_handlers")}
    print("-- one script: start, imports, one send with a canned reply, exit (instructions)")
    print(f"  {'':<12} {'import':>10} {'send':>10} {'exit':>10} {'process':>12}")
    for label, f in figures.items():
        print(f"  {label:<12} {f['import']:>10,} {f['send']:>10,} {f['exit']:>+10,} {f['process']:>12,}")
    n, i = figures["native"], figures["interpreted"]
    print(f"  {'ratio':<12} {n['import'] / i['import']:>10.3f} {n['send'] / i['send']:>10.3f} "
          f"{'':>10} {n['process'] / i['process']:>12.4f}")
    print("  exit: the interpreter's finalisation beyond a process that never imported the module;")
    print("  process: everything but the C library's exit handlers")
    return figures


def main_():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modes", nargs="*", metavar="MODE",
                        help="wall, callgrind, import or process (default: all)")
    parser.add_argument("--rounds", type=int, default=15, help="wall: rounds per setup")
    parser.add_argument("--calls", type=int, default=20000, help="calls per round (callgrind: per count)")
    parser.add_argument("--samples", type=int, default=21, help="import: fresh interpreters")
    parser.add_argument("--callgrind-child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.callgrind_child:
        callgrind_child(options)
        return
    modes = options.modes or ["wall", "callgrind", "import", "process"]
    unknown = set(modes) - {"wall", "callgrind", "import", "process"}
    if unknown:
        parser.error(f"unknown mode: {', '.join(sorted(unknown))}")
    summary = []
    if "callgrind" in modes:
        saved, options.calls = options.calls, min(options.calls, 1000)
        figures = callgrind(options)
        options.calls = saved
        summary += [
            ("instructions, whole call, real json, native/interpreted", f"{figures['real json']['whole']:.3f}"),
            ("instructions, whole call, json stubbed", f"{figures['stand-in json']['whole']:.3f}"),
            ("glue instructions, native/interpreted (real / stubbed json)",
             f"{figures['real json']['glue']:.3f} / {figures['stand-in json']['glue']:.3f}"),
        ]
    if "wall" in modes:
        ratios = wall(options)
        summary.append(("wall time ratio, real json / json stubbed",
                        f"{ratios['real json']:.3f} / {ratios['stand-in json']:.3f}"))
    if "import" in modes:
        results = import_mode(options)
        summary += [("own import (deps already imported), median", f"{results['native'][0]:.3f} ms"),
                    ("resident memory added by the import", f"{results['native'][1]:.0f} KiB")]
        if shutil.which("valgrind") is not None:
            counts = import_instructions()
            print(f"  instructions: native {counts['native']:,}, interpreted {counts['interpreted']:,}")
            summary.append(("own import, instructions, native/interpreted",
                            f"{counts['native'] / counts['interpreted']:.3f}"))
    if "process" in modes:
        figures = process_mode()
        summary.append(("whole process, instructions, native/interpreted",
                        f"{figures['native']['process'] / figures['interpreted']['process']:.4f}"))
    print("-- summary")
    for name, value in summary:
        print(f"  {name:<62} {value}")


if __name__ == "__main__":
    main_()
