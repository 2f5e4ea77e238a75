"""The recipes of the README and of docs/recipes.md: each test runs the first
block of one section as it stands there (with the names it uses filled in)
through the stand-in."""
import ast
import asyncio
import contextlib
import io
import itertools
import json
import os
import re
import shutil
import socket
import sys
import threading
import time
import traceback
from unittest import mock

import pytest
import requests
from loguru import logger

import main
from conftest import MAIN_LIBRARY, ROOT, TESTS_DIR, skip_without_tls
from support import guard, stubs, webhook_standin as ws
from support.lines import SEND
from support.stubs import OK
from support.webhook import URL
from support.netguard import network_guard  # noqa: F401  (autouse: loopback only)

skip_without_tls()

TOKEN, SIGNED, KEYWORDS, GATEWAY = "recipe-token", "recipe-signed", "recipe-keywords", "gateway"
DROPPED, UNKNOWN = "recipe-dropped-token", "recipe-unknown-token"     # closed without a reply; no robot's
SECRET = "SEC" + "feedc0de" * 8


RECIPE_FILES = ("README.md", os.path.join("docs", "recipes.md"))


def recipe(heading, language="python"):
    """The first block in `language` of the section `heading`, in the README
    or in docs/recipes.md (in one of them only)."""
    sections = []
    for name in RECIPE_FILES:
        with open(os.path.join(ROOT, name), encoding="utf-8") as f:
            sections += re.split(rf"\n##+ {re.escape(heading)}\n", f.read())[1:]
    assert len(sections) == 1, f"{heading!r}: {len(sections)} sections in {RECIPE_FILES}"
    section = re.split(r"\n##+ ", sections[0], maxsplit=1)[0]
    return re.search(rf"```{language}\n(.*?)```", section, re.S).group(1)


def run(code, **names):
    exec(compile(code, "README.md", "exec"), names)
    return names


STANDIN = dict(tokens={TOKEN: (), KEYWORDS: ("deploy",)}, secrets={SIGNED: SECRET},
               rate_limit=None, stall_tokens=["stall"], close_tokens=["drop", DROPPED], html_tokens=[GATEWAY])


def test_signed_robot(standin, monkeypatch):
    # A timestamp whose sign carries '+' and '/': both must reach the service encoded.
    now = int(time.time() * 1000)
    stamp = next(t for t in range(now, now + 5000)
                 if {"+", "/"} <= set(ws.signature(t, SECRET)))
    monkeypatch.setattr(time, "time", lambda: stamp / 1000)
    names = run(recipe("A signed robot"), access_token=SIGNED, secret=SECRET, text="signed")
    assert names["reply"] == OK
    (record,) = standin.requests
    assert record.query.startswith(f"access_token={SIGNED}&timestamp={stamp}&sign=")
    assert "%2B" in record.query and "%2F" in record.query and record.reply == "ok"


def test_bounded_wait(standin):
    code = recipe("A bounded wait")
    assert "timeout=10)" in code
    # Connecting is not timed; the answered request has ample time for its reply.
    timeout = 2
    run(code.replace("timeout=10)", f"timeout=({guard.GUARD}, {timeout}))"))
    assert main.send(TOKEN, "answered") == OK
    with pytest.raises(requests.exceptions.ReadTimeout) as caught:
        main.send("stall", "never answered")
    assert f"(read timeout={timeout})" in str(caught.value)
    assert f'File "main.py", line {SEND.post}, in main.send' in "".join(traceback.format_tb(caught.tb))
    assert [r.reply for r in standin.requests] == ["ok", "stall"]


def test_bursts_over_one_connection(standin):
    run(recipe("Bursts over one connection"))
    assert isinstance(main.requests, requests.Session)
    try:
        assert [main.send(TOKEN, f"burst {i}") for i in range(10)] == [OK] * 10
    finally:
        main.requests.close()
    assert len(standin.tunnels) == 1 and len(standin.requests) == 10


@pytest.mark.parametrize("token, errcode", [(TOKEN, 0), ("nobody", 300005), (KEYWORDS, 310000)])
def test_reading_the_reply(standin, token, errcode):
    names = run(recipe("Reading the reply"))
    reply = main.send(token, "no word")
    assert ast.literal_eval(reply)["errcode"] == errcode
    with pytest.raises(json.JSONDecodeError):
        json.loads(reply)
    if errcode:
        with pytest.raises(names["DingTalkError"]) as caught:
            names["send_or_raise"](token, "no word")
        assert caught.value.args == (errcode, ast.literal_eval(reply)["errmsg"])
    else:
        assert names["send_or_raise"](token, "no word") == {"errcode": 0, "errmsg": "ok"}


@pytest.mark.parametrize("patched_before", [False, True])
def test_token_kept_out_of_logs(standin, capfd, patched_before):
    if patched_before:
        main.logger = logger.patch(lambda r: r["extra"].update(service="deploy"))
    run(recipe("Keeping the token out of logs"))
    seen, plain, serialized = [], io.StringIO(), io.StringIO()
    sinks = [logger.add(lambda m: seen.append((str(m), dict(m.record["extra"]), m.record["function"]))),
             logger.add(plain, format="{level} {message} | {extra}"),
             logger.add(serialized, serialize=True)]
    try:
        assert main.send(TOKEN, f"the token {TOKEN} in the text too") == OK
    finally:
        for sink in sinks:
            logger.remove(sink)
    (line, extra, function), = seen
    outputs = [line, str(extra), plain.getvalue(), serialized.getvalue(), capfd.readouterr().err]
    assert all(TOKEN not in out for out in outputs), outputs
    assert "<token>" in line and extra["access_token"] == "<token>"
    assert extra["text"] == "the token <token> in the text too"
    assert function == "test_token_kept_out_of_logs"             # still the caller of send
    assert ("service" in extra) == patched_before                # the earlier patch still runs
    sink = logger.add(lambda m: seen.append(m.record["message"]))
    try:
        main.logger.warning("the rest of the logger passes through as it was: {}", TOKEN)
    finally:
        logger.remove(sink)
    assert seen[1:] == [f"the rest of the logger passes through as it was: {TOKEN}"]
    assert standin.requests[0].query == f"access_token={TOKEN}"      # the service still gets it


@pytest.mark.parametrize("patched", [False, True])
def test_log_record_location(standin, patched):
    if patched:
        run(recipe("Where the INFO record says it came from"))
    records = []
    sink = logger.add(lambda m: records.append("{name}:{function}:{line}".format(**m.record)))
    try:
        line = sys._getframe().f_lineno + 1
        assert main.send(TOKEN, "where from") == OK
    finally:
        logger.remove(sink)
    assert records == (["main:send:10"] if patched else [f"{__name__}:test_log_record_location:{line}"])


def test_requests_errors_carry_the_token(standin):
    with pytest.raises(requests.exceptions.ConnectionError, match="access_token=drop"):
        main.send("drop", "x")


def unreachable_proxy(monkeypatch):
    """Points requests at a proxy port that refuses connections (bound, not
    listening); returns the socket that holds the port."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    for key in ("HTTPS_PROXY", "https_proxy"):
        monkeypatch.setenv(key, "http://127.0.0.1:%d" % sock.getsockname()[1])
    return sock


@pytest.mark.parametrize("failure", ["dropped", "unreachable", "gateway"])
def test_token_kept_out_of_the_exceptions(standin, monkeypatch, capfd, failure):
    token = {"dropped": DROPPED, "unreachable": TOKEN, "gateway": GATEWAY}[failure]
    records, diagnosed = io.StringIO(), io.StringIO()
    with unreachable_proxy(monkeypatch) if failure == "unreachable" else contextlib.nullcontext():
        with pytest.raises(requests.exceptions.RequestException) as unmasked:
            main.send(token, "x")
        send = run(recipe("Keeping the token out of logs"))["send"]
        with pytest.raises(type(unmasked.value)) as caught:
            send(token, "x")
        sinks = [logger.add(records, diagnose=False, backtrace=True), logger.add(diagnosed, diagnose=True)]
        try:
            try:
                send(token, "x")
            except requests.exceptions.RequestException:
                logger.exception("the notice failed")
        finally:
            for sink in sinks:
                logger.remove(sink)
    capfd.readouterr()                              # loguru's default handler diagnoses too
    printed = "".join(traceback.format_exception(caught.value))
    assert token not in printed and token not in records.getvalue(), printed
    assert f'File "main.py", line {SEND.post if failure != "gateway" else SEND.reply}, in main.send' in printed
    # The variables that loguru's diagnose shows hold the URL: what the README warns of.
    assert token in diagnosed.getvalue()

    def message(exc):
        return re.sub(r" at 0x[0-9a-f]+", "", str(exc))

    if failure == "gateway":                        # no URL in its message: nothing to mask
        assert message(caught.value) == message(unmasked.value)
    else:
        assert token in str(unmasked.value)
        assert message(caught.value) == message(unmasked.value).replace(token, "<token>")
        assert "<token>" in str(caught.value) and "<token>" in records.getvalue()


@pytest.mark.parametrize("text, fits", [
    ("a" * 19956, True), ("a" * 19957, False),
    ("告" * 3326, True), ("告" * 3327, False),
    ("a" * 10_000_000, False),                   # the size error still, on a connection left whole
])
def test_message_size_limit(standin, text, fits):
    assert main.send(TOKEN, text) == (OK if fits else str(ws.reply_payload("too_long")))


def test_retries(standin):
    code = recipe("Retries")
    assert "backoff_factor=1" in code
    session = run(code.replace("backoff_factor=1", "backoff_factor=0"))["session"]   # no pauses here
    try:
        with pytest.raises(requests.exceptions.RetryError):
            main.send(GATEWAY, "through a bad gateway")
        assert main.send(TOKEN, "straight through") == OK
    finally:
        session.close()
    assert [r.reply for r in standin.requests] == ["html"] * 3 + ["ok"]


def test_reply_that_is_not_json(standin):
    session = run(recipe("A reply that is not JSON"))["session"]
    warnings = []
    sink = logger.add(lambda m: warnings.append(m.record["message"]), level="WARNING")
    try:
        assert main.send(TOKEN, "a JSON reply") == OK
        with pytest.raises(requests.exceptions.JSONDecodeError) as caught:
            main.send(GATEWAY, "an HTML reply")
    finally:
        logger.remove(sink)
        session.close()
    assert caught.value.doc == ws.HTML_REPLY.decode()
    assert warnings == [f"webhook answered HTTP 502: {ws.HTML_REPLY.decode()}"]


def test_loguru_module_switches(standin):
    # Without the patch, neither switch silences send's INFO line.
    filtered, every = [], []
    sinks = [logger.add(lambda m: filtered.append(m.record["name"]), filter={"main": "WARNING"}),
             logger.add(lambda m: every.append(m.record["name"]))]
    logger.disable("main")
    try:
        assert main.send(TOKEN, "switched") == OK
    finally:
        logger.enable("main")
        for sink in sinks:
            logger.remove(sink)
    assert every == filtered == [__name__]


def test_loguru_module_switches_recipe_output(standin, tmp_path):
    # The block as a program's start: what reaches standard error after it.
    program = child_prelude() + recipe("loguru's per-module switches") + (
        "print(main.send(sys.argv[1], 'switched'))\n"
        "main.logger.warning('a warning of main')\n"
        "logger.info('a line of the program')\n")
    out = run_child(program, tmp_path, TOKEN, env=dict(os.environ, PYTHONPATH=os.path.dirname(MAIN_LIBRARY)))
    assert out.stdout.splitlines() == [OK]
    assert "a warning of main" in out.stderr and "a line of the program" in out.stderr
    assert "该APP执行参数为" not in out.stderr, out.stderr
    assert [r.reply for r in standin.requests] == ["ok"]


def child_prelude():
    """The start of a child program: the network guard, as in the tests."""
    return (f"import sys\nsys.path.insert(0, {TESTS_DIR!r})\n"
            "from support import netguard\nnetguard.install()\ndel sys.path[0]\n")


def run_child(program, tmp_path, *args, **kwargs):
    (tmp_path / "program.py").write_text(program)
    out = guard.run([sys.executable, "program.py", *args], capture_output=True, text=True, cwd=tmp_path, **kwargs)
    assert out.returncode == 0, out.stderr
    return out


def guarded_pythonpath(tmp_path):
    """PYTHONPATH for a child that runs none of our code: a sitecustomize that
    installs the network guard, then the build."""
    (tmp_path / "guard").mkdir()
    (tmp_path / "guard" / "sitecustomize.py").write_text(child_prelude())
    return os.pathsep.join([str(tmp_path / "guard"), os.path.dirname(MAIN_LIBRARY)])


# What the CI step meets: (DINGTALK_TOKEN, what it prints, its exit status, its error's words).
SHELL_CASES = {
    "accepted": (TOKEN, [OK], 0, None),
    "refused": (UNKNOWN, [str(ws.reply_payload("token_unknown"))], 1, "DingTalk refused the message"),
    "dropped": (DROPPED, [], 1, "ProxyError: "),        # a ConnectionError through the proxy
    "unreachable": (TOKEN, [], 1, "ProxyError: "),
    "gateway": (GATEWAY, [], 1, "JSONDecodeError: "),
    "no token": ("", [], 1, "DINGTALK_TOKEN is not set"),
}


@pytest.mark.skipif(shutil.which("sh") is None, reason="no POSIX shell (sh) to run the recipe's shell line")
@pytest.mark.parametrize("case", SHELL_CASES)
def test_from_a_shell_script(standin, monkeypatch, tmp_path, case):
    token, printed, status, why = SHELL_CASES[case]
    line = recipe("From a shell script", "sh").strip()
    assert line.startswith('echo "deploy finished" | .venv/bin/python ')
    # A checkout with a main.py of its own, where the step runs.
    checkout = tmp_path / "checkout"
    checkout.mkdir()
    (checkout / "main.py").write_text('raise ImportError("the checkout\'s own main.py")\n')
    env = dict(os.environ, DINGTALK_TOKEN=token, PYTHONPATH=guarded_pythonpath(tmp_path))
    with unreachable_proxy(monkeypatch) if case == "unreachable" else contextlib.nullcontext():
        env.update({key: os.environ[key] for key in ("HTTPS_PROXY", "https_proxy")})
        out = guard.run(["sh", "-c", line.replace(".venv/bin/python ", f"{sys.executable} ", 1)],
                        capture_output=True, text=True, env=env, cwd=checkout)
    assert (out.returncode, out.stdout.splitlines()) == (status, printed), out.stderr
    if why is None:
        assert out.stderr.count("\n") == 1 and "该APP执行参数为: *** deploy finished" in out.stderr
    else:
        assert out.stderr.splitlines()[-1].startswith(why), out.stderr
        assert "Traceback" not in out.stderr
    if token:
        assert token not in out.stdout + out.stderr, out.stderr
    sent = [(r.query, json.loads(r.body)["text"]["content"]) for r in standin.requests]
    assert sent == ([] if case in ("unreachable", "no token") else [(f"access_token={token}", "deploy finished")])


def test_a_session_per_thread(standin):
    run(recipe("A Session per thread"))
    sessions, replies = set(), []

    def sender(n):
        for i in range(3):
            replies.append(main.send(TOKEN, f"thread {n}, message {i}"))
        sessions.add(id(main.requests.session))
        main.requests.session.close()

    threads = [threading.Thread(target=sender, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(guard.GUARD)
    assert replies == [OK] * 12 and len(sessions) == 4
    assert len(standin.requests) == 12 and len(standin.tunnels) == 4    # one connection each


# The recipes that rebind main.requests, and the testing tools the README
# names for each: the tool answers, and nothing connects anywhere.
REBINDING = ["A bounded wait", "Bursts over one connection", "A Session per thread", "Retries",
             "A reply that is not JSON"]


@pytest.mark.parametrize("tool, heading", [("responses", heading) for heading in REBINDING]
                         + [("mock.patch", "A bounded wait")])
def test_testing_tools_catch_the_recipes(monkeypatch, tool, heading):
    for key in ("HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"):
        monkeypatch.delenv(key, raising=False)
    connects = []
    monkeypatch.setattr(socket.socket, "connect", lambda sock, address: connects.append(address))
    with stubs.kept_globals(main):
        run(recipe(heading))
        if tool == "mock.patch":
            with mock.patch("requests.post") as post:
                post.return_value.json.return_value = {"errcode": 0, "errmsg": "mocked"}
                reply = main.send(TOKEN, "caught")
            reached = post.call_count
        else:
            responses = pytest.importorskip("responses")
            with responses.RequestsMock() as mocked:
                mocked.add(responses.POST, re.compile(re.escape(URL) + ".*"),
                           json={"errcode": 0, "errmsg": "mocked"})
                reply = main.send(TOKEN, "caught")
                reached = len(mocked.calls)
    assert reply == "{'errcode': 0, 'errmsg': 'mocked'}" and reached == 1 and connects == []


PROJECT_CHECK = """
assert sys.modules.get("main") is before, (sys.modules.get("main"), before)
print(dingtalk.__file__, reply)
"""


@pytest.mark.parametrize("where", ["the script itself", "beside main, imported before", "beside main, imported after"])
def test_project_with_its_own_main_py(standin, tmp_path, where):
    # An installed copy: the built module with pip's metadata beside it.
    site, project = tmp_path / "site", tmp_path / "project"
    (site / "main-1.0.0.dist-info").mkdir(parents=True)
    project.mkdir()
    library = os.path.basename(MAIN_LIBRARY)
    if sys.platform == "win32":
        shutil.copyfile(MAIN_LIBRARY, site / library)   # a link needs a privilege there; Wine makes none
    else:
        os.symlink(MAIN_LIBRARY, site / library)
    (site / "main-1.0.0.dist-info" / "METADATA").write_text("Metadata-Version: 2.1\nName: main\nVersion: 1.0.0\n")
    (site / "main-1.0.0.dist-info" / "RECORD").write_text(f"{library},,\nmain-1.0.0.dist-info/METADATA,,\n")
    code = child_prelude() + "access_token, text = sys.argv[1], 'from the project'\n"
    if where == "the script itself":                 # python main.py: no "main" yet
        script = "main.py"
        code += "before = None\n" + recipe("Your project has its own main.py") + PROJECT_CHECK
    else:                                            # python app.py, and its main.py is imported as main
        script = "app.py"
        (project / "main.py").write_text("APP = 'the project'\n")
        imported = "import main\nbefore = main\n"
        recipe_code = recipe("Your project has its own main.py")
        if where.endswith("before"):
            code += imported + recipe_code + PROJECT_CHECK
        else:
            code += "before = None\n" + recipe_code + PROJECT_CHECK + imported
        code += "print(main.APP)\n"
    (project / script).write_text(code)
    out = guard.run([sys.executable, script, TOKEN], capture_output=True, text=True, cwd=project,
                    env=dict(os.environ, PYTHONPATH=str(site)))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == f"{site / library} {OK}"
    assert lines[1:] == ([] if script == "main.py" else ["the project"])
    assert [r.reply for r in standin.requests] == ["ok"]


def test_testing_code_that_calls_send(standin):
    signature = run(recipe("Testing code that calls main.send"))["send"]
    with mock.patch.object(main, "send", autospec=signature):
        with pytest.raises(TypeError):
            main.send("tok")
    with mock.patch.object(main, "send", autospec=True):
        main.send("tok")                     # what a native function's autospec lets through
    assert type(main.send).__name__ == "native_function_or_method" and not standin.requests


def test_async_code(standin):
    send_async = run(recipe("async code"))["send_async"]

    async def three():
        return await asyncio.gather(*(send_async(TOKEN, f"async {n}") for n in range(3)))

    assert asyncio.run(three()) == [OK] * 3
    assert len(standin.requests) == 3


@pytest.mark.parametrize("given_up", [False, True])
def test_async_code_with_a_bounded_wait_against_a_stalled_server(standin, given_up):
    # The stand-in holds the request until the client goes: the read timeout
    # ends the send, and with it the worker thread that asyncio.run waits for.
    code = recipe("A bounded wait")
    run(code.replace("timeout=10)", "timeout=(%r, 0.3))" % guard.GUARD))
    send_async = run(recipe("async code"))["send_async"]

    async def stalled():
        sending = send_async("stall", "never answered")
        return await (asyncio.wait_for(sending, 0.01) if given_up else sending)

    # Given up, the coroutine ends first (unless a loaded machine holds the loop
    # past the read timeout): asyncio.run ends all the same once the send does.
    expected = (asyncio.TimeoutError, requests.exceptions.ReadTimeout) if given_up else requests.exceptions.ReadTimeout
    done = []
    runner = threading.Thread(target=lambda: done.append(pytest.raises(expected, asyncio.run, stalled())))
    runner.start()
    guard.join(runner)
    assert done and standin.wait(lambda: standin.held == 0 and len(standin.requests) == 1)
    assert standin.requests[0].reply == "stall"


def test_logger_recipes_compose(standin, tmp_path):
    # Every order of the recipes that change main.logger, each in a process of
    # its own (the per-module switches replace loguru's handlers): the mask holds.
    headings = ["Keeping the token out of logs", "Where the INFO record says it came from",
                "loguru's per-module switches"]
    check = (
        "import io, json\nfrom loguru import logger\n"
        "where, plain, serialized = [], io.StringIO(), io.StringIO()\n"
        "logger.add(lambda m: where.append('{name}:{function}:{line}'.format(**m.record)))\n"
        "logger.add(plain, format='{level} {message} | {extra}')\n"
        "logger.add(serialized, serialize=True)\n"
        "reply = main.send(sys.argv[1], 'the token ' + sys.argv[1] + ' in the text too')\n"
        "print(json.dumps([reply, where, plain.getvalue(), serialized.getvalue()]))\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(MAIN_LIBRARY))
    for order in itertools.permutations(headings):
        program = child_prelude() + "".join(recipe(heading) for heading in order) + check
        out = run_child(program, tmp_path, TOKEN, env=env)
        reply, where, plain, serialized = json.loads(out.stdout)
        assert TOKEN not in out.stdout + out.stderr, (order, out.stdout + out.stderr)
        assert (reply, where) == (OK, ["main:send:10"]), order
        assert "<token> the token <token> in the text too" in plain and "'access_token': '<token>'" in plain
        assert json.loads(serialized)["record"]["extra"]["access_token"] == "<token>"
        assert "该APP执行参数为" not in out.stderr, order        # the filter of the switches holds
    assert len(standin.requests) == 6


def test_a_test_suite_that_cannot_post(standin, tmp_path):
    # A user's suite that reaches for mock.patch("requests.post") whatever the
    # recipe bound main.requests to: with the fixture nothing reaches the
    # stand-in (the network, were it real); without it the Sessions post.
    recipes = {heading: recipe(heading) for heading in REBINDING}
    recipes["Retries"] = recipes["Retries"].replace("backoff_factor=1", "backoff_factor=0")
    suite = tmp_path / "suite"
    suite.mkdir()
    (suite / "test_user.py").write_text(f"""
import json, pytest, requests
from unittest import mock
import main

RECIPES = {recipes!r}

@pytest.mark.parametrize("heading", [None, *RECIPES])
def test_notice(heading):
    if heading:
        exec(RECIPES[heading], {{}})
    with mock.patch("requests.post") as post:
        post.return_value.json.return_value = {{"errcode": 0, "errmsg": "mocked"}}
        try:
            reply = main.send("{TOKEN}", "from a user's test")
        except requests.exceptions.ConnectionError as exc:
            reply = type(exc).__name__
    print("REPLY", json.dumps([heading, reply]))
""")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(MAIN_LIBRARY))
    replies = {}
    for fixture in (False, True):
        (suite / "conftest.py").write_text(recipe("A test suite that cannot post") if fixture else "")
        out = guard.run([sys.executable, "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider", "test_user.py"],
                        capture_output=True, text=True, cwd=suite, env=env)
        assert out.returncode == 0, out.stdout[-3000:]
        replies[fixture] = dict(json.loads(found) for found in re.findall(r"REPLY (\[.*\])", out.stdout))
        posted = len(standin.requests)
        standin.clear()
        assert (posted == 0) == fixture, (fixture, posted)
    mocked = "{'errcode': 0, 'errmsg': 'mocked'}"
    # The plain binding and "A bounded wait" meet the mock; the Sessions post, or fail unsent.
    meets_the_mock = {None: mocked, "A bounded wait": mocked}
    assert replies[False] == {**dict.fromkeys(REBINDING, OK), **meets_the_mock}
    assert replies[True] == {**dict.fromkeys(REBINDING, "ProxyError"), **meets_the_mock}


