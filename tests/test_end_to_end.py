"""main.send end to end: real requests, real loguru, real TLS, against the local stand-in.

The stand-in is reached only through the environment, which requests reads on
every call; each test sets it through monkeypatch, so it is restored after.
"""
import json
import os
import re
import sys
import threading
import traceback

import pytest
import requests
import urllib3
from loguru import logger

import main
from conftest import ROOT, apply_standin_env as apply_env, skip_without_tls
from support import guard, webhook_standin as ws
from support.lines import SEND
from support.stubs import OK, TEMPLATE
from support.webhook import HOST, PATH
from support.netguard import network_guard  # noqa: F401  (autouse: loopback only)

skip_without_tls()

TOKEN = "e2e-token"
URLLIB3_1 = urllib3.__version__.startswith("1.")      # Debian 12's; PyPI's is 2.x


def message_bytes(text):
    return json.dumps({"msgtype": "text", "text": {"content": text}}).encode()


def frames(exc):
    return "".join(traceback.format_tb(exc.__traceback__))


STANDIN = dict(tokens=[TOKEN, "other-token"], rate_limit=None, close_tokens=["drop-token"],
               html_tokens=["html-token"])


@pytest.fixture
def log_records():
    """Every loguru record while the test runs (the default stderr sink stays)."""
    records = []
    sink = logger.add(lambda message: records.append(message.record), level="DEBUG")
    yield records
    logger.remove(sink)


# --- one notification -----------------------------------------------------------

@pytest.mark.parametrize("text", ["hello", "部署完成 ✓ \"quoted\" {braces}\n第二行", ""])
def test_wire_format_and_reply(standin, text):
    assert main.send(TOKEN, text) == OK
    (record,) = standin.requests
    assert (record.method, record.path, record.query) == ("POST", PATH, f"access_token={TOKEN}")
    assert record.header("Content-Type") == "application/json;charset=UTF-8"
    assert record.header("Host") == HOST
    assert record.body == message_bytes(text)
    assert record.sni == HOST
    assert [(t.target, t.status) for t in standin.tunnels] == [(f"{HOST}:443", 200)]


def test_one_info_line_through_loguru(standin, log_records):
    text = "build 42 {not a field}"
    main.send(TOKEN, text)
    (record,) = log_records
    assert record["level"].name == "INFO"
    assert record["message"] == TEMPLATE.format(access_token=TOKEN, text=text)
    assert record["message"] == f"[钉钉通知] 该APP执行参数为: {TOKEN} {text}"
    assert record["extra"] == {"access_token": TOKEN, "text": text}


def test_reply_is_the_decoded_json_as_text(standin):
    assert main.send("unknown-token", "x") == str(ws.reply_payload("token_unknown"))
    assert main.send("", "x") == str(ws.reply_payload("token_missing"))
    assert [r.reply for r in standin.requests] == ["token_unknown", "token_missing"]


def test_rate_limit_comes_back_as_text(monkeypatch, tmp_path):
    # The service's limit, 20 a minute: the refused sends still reach it.
    with ws.StandIn([TOKEN], workdir=str(tmp_path)) as standin:
        apply_env(monkeypatch, standin)
        replies = [main.send(TOKEN, f"n{i}") for i in range(22)]
    limited = str({"errcode": 130101, "errmsg": "send too fast, exceed 20 times per minute"})
    assert replies == [OK] * 20 + [limited] * 2
    assert len(standin.requests) == 22


# --- failures -----------------------------------------------------------------

@pytest.mark.parametrize("bundle", ["unset", "usual CAs"])
def test_tls_is_verified(standin, monkeypatch, log_records, bundle):
    if bundle == "unset":
        monkeypatch.delenv("REQUESTS_CA_BUNDLE")
    else:
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", requests.certs.where())
    with pytest.raises(requests.exceptions.SSLError) as caught:
        main.send(TOKEN, "secret")
    assert f'File "main.py", line {SEND.post}, in main.send' in frames(caught.value)
    assert standin.wait_settled()
    assert standin.requests == []
    assert "certificate verify failed" in str(caught.value)
    assert standin.tunnels[0].tls_error is not None
    assert len(log_records) == 1                    # logged before the post


def test_connection_closed_without_reply(standin):
    # Through a proxy both urllib3 lines call it a proxy failure, in their own words.
    with pytest.raises(requests.exceptions.ProxyError) as caught:
        main.send("drop-token", "dropped")
    wording = "Cannot connect to proxy." if URLLIB3_1 else "Unable to connect to proxy"
    assert f"Caused by ProxyError('{wording}', RemoteDisconnected(" in str(caught.value)
    assert f'File "main.py", line {SEND.post}, in main.send' in frames(caught.value)
    assert [r.body for r in standin.requests] == [message_bytes("dropped")]


def test_html_reply_fails_to_decode(standin):
    with pytest.raises(requests.exceptions.JSONDecodeError) as caught:
        main.send("html-token", "page")
    assert isinstance(caught.value, json.JSONDecodeError)
    text = frames(caught.value)
    assert f'File "main.py", line {SEND.reply}, in main.send' in text
    assert f'File "main.py", line {SEND.post}' not in text
    (record,) = standin.requests
    assert record.body == message_bytes("page") and record.reply == "html"


def test_misset_proxy_never_leaves_loopback(standin, monkeypatch, network_guard):
    # Windows has one variable under both names (environment names ignore case there).
    for key in ("HTTPS_PROXY", "https_proxy"):
        monkeypatch.delenv(key, raising=False)
    assert "https_proxy" not in {key.lower() for key in os.environ}
    with pytest.raises(requests.exceptions.ConnectionError):
        main.send(TOKEN, "nowhere")
    assert network_guard and network_guard[0][0] == HOST
    assert standin.requests == [] and standin.tunnels == []


# --- many sends -----------------------------------------------------------------

def test_sequential_sends(standin):
    texts = [f"sequential {i} 第{i}条" for i in range(100)]
    assert [main.send(TOKEN, t) for t in texts] == [OK] * 100
    assert [r.body for r in standin.requests] == [message_bytes(t) for t in texts]
    assert {r.query for r in standin.requests} == {f"access_token={TOKEN}"}
    assert len(standin.tunnels) == 100              # a fresh connection each


def test_threaded_sends(standin):
    replies, errors = [], []

    def worker(n):
        try:
            for i in range(25):
                token = TOKEN if i % 2 else "other-token"
                replies.append((token, f"t{n}-{i}", main.send(token, f"t{n}-{i}")))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    guard.join(*threads)
    assert errors == [] and len(replies) == 200
    assert {r[2] for r in replies} == {OK}
    received = sorted((r.query, r.body) for r in standin.requests)
    assert received == sorted((f"access_token={tok}", message_bytes(text)) for tok, text, _ in replies)


def test_rate_script_prints_every_figure():
    env = dict(os.environ, MAIN_BUILD_DIR=os.path.dirname(os.path.abspath(main.__file__)))
    proc = guard.run([sys.executable, os.path.join(ROOT, "bench", "e2e_rate.py"),
                      "--count", "10", "--rounds", "1", "--guard"], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    figures = dict(re.findall(r"^(main\.send|main\.send over one Session|python reference): "
                              r"([\d.]+) sends/s$", proc.stdout, re.M))
    assert set(figures) == {"main.send", "main.send over one Session", "python reference"}, \
        proc.stdout
    # Every send was answered "ok" (the script stops at any other reply), and
    # the ratio is that of the figures, up to their rounding.
    ratio = float(re.search(r"^ratio main\.send / python reference: ([\d.]+)$", proc.stdout, re.M).group(1))
    assert ratio == pytest.approx(float(figures["main.send"]) / float(figures["python reference"]), rel=0.05)
