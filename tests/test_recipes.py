"""The README's recipes: each test runs the python block of one README section
as it stands there (with the names it uses filled in) through the stand-in."""
import ast
import asyncio
import io
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
from conftest import MAIN_LIBRARY, ROOT, TESTS_DIR, apply_standin_env, skip_without_tls
from support import guard, stubs, webhook_standin as ws
from support.lines import SEND
from support.stubs import OK
from support.netguard import network_guard  # noqa: F401  (autouse: loopback only)

skip_without_tls()

TOKEN, SIGNED, KEYWORDS, GATEWAY = "recipe-token", "recipe-signed", "recipe-keywords", "gateway"
SECRET = "SEC" + "feedc0de" * 8
LOGURU_06 = tuple(int(n) for n in __import__("loguru").__version__.split(".")[:2]) < (0, 7)


def recipe(heading, language="python"):
    """The first block in `language` of the README section `heading`."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split(f"\n### {heading}\n", 1)[1]
    section = re.split(r"\n##+ ", section, maxsplit=1)[0]
    return re.search(rf"```{language}\n(.*?)```", section, re.S).group(1)


def run(code, **names):
    exec(compile(code, "README.md", "exec"), names)
    return names


STANDIN = dict(tokens={TOKEN: (), KEYWORDS: ("deploy",)}, secrets={SIGNED: SECRET},
               rate_limit=None, stall_tokens=["stall"], close_tokens=["drop"], html_tokens=[GATEWAY])


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
    base = logger.patch(lambda r: r["extra"].update(service="deploy")) if patched_before else logger
    code = recipe("Keeping the token out of logs")
    assert "main.logger = logger.patch(hide_token)" in code
    run(code.replace("main.logger = logger.patch(hide_token)", "main.logger = base.patch(hide_token)"),
        base=base)
    seen, plain, serialized = [], io.StringIO(), io.StringIO()
    sinks = [logger.add(lambda m: seen.append((str(m), dict(m.record["extra"])))),
             logger.add(plain, format="{level} {message} | {extra}"),
             logger.add(serialized, serialize=True)]
    try:
        assert main.send(TOKEN, f"the token {TOKEN} in the text too") == OK
    finally:
        for sink in sinks:
            logger.remove(sink)
    (line, extra), = seen
    outputs = [line, str(extra), plain.getvalue(), serialized.getvalue(), capfd.readouterr().err]
    assert all(TOKEN not in out for out in outputs), outputs
    assert "<token>" in line and extra["access_token"] == "<token>"
    assert extra["text"] == "the token <token> in the text too"
    # loguru 0.6 keeps only the last patch function; 0.7 and later run them all.
    assert ("service" in extra) == (patched_before and not LOGURU_06)
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


@pytest.mark.parametrize("text, fits", [
    ("a" * 19956, True), ("a" * 19957, False),
    ("告" * 3326, True), ("告" * 3327, False),
])
def test_message_size_limit(standin, text, fits):
    assert main.send(TOKEN, text) == (OK if fits else str(ws.reply_payload("too_long")))



def test_rate_limit(monkeypatch, tmp_path):
    with ws.StandIn([TOKEN], workdir=str(tmp_path)) as limited:          # 20 a minute
        apply_standin_env(monkeypatch, limited)
        replies = [main.send(TOKEN, f"n{i}") for i in range(21)]
    assert replies == [OK] * 20 + [str(ws.reply_payload("rate_limited"))]


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


@pytest.mark.skipif(shutil.which("sh") is None, reason="no POSIX shell (sh) to run the recipe's shell line")
def test_from_a_shell_script(standin):
    line = recipe("From a shell script", "sh").strip()
    assert " python3 -c " in line
    env = dict(os.environ, DINGTALK_TOKEN=TOKEN, PYTHONPATH=os.path.dirname(MAIN_LIBRARY))
    out = guard.run(["sh", "-c", line.replace(" python3 -c ", f" {sys.executable} -c ")],
                    capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [OK]
    (record,) = standin.requests
    assert record.query == f"access_token={TOKEN}"
    assert json.loads(record.body)["text"]["content"] == "deploy finished"


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
                mocked.add(responses.POST, re.compile(r"https://oapi\.dingtalk\.com/robot/send.*"),
                           json={"errcode": 0, "errmsg": "mocked"})
                reply = main.send(TOKEN, "caught")
                reached = len(mocked.calls)
    assert reply == "{'errcode': 0, 'errmsg': 'mocked'}" and reached == 1 and connects == []


def test_project_with_its_own_main_py(standin, tmp_path):
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
    (project / "main.py").write_text(child_prelude() + recipe("Your project has its own main.py")
                                     + 'print(main.__file__, main.send(sys.argv[1], "from main.py"))\n')
    out = guard.run([sys.executable, "main.py", TOKEN], capture_output=True, text=True, cwd=project,
                    env=dict(os.environ, PYTHONPATH=str(site)))
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == f"{site / library} {OK}"
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
