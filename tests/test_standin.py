"""The webhook stand-in, exercised with real requests through its proxy and TLS."""
import json
import os
import shlex
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

import pytest
import requests

from conftest import apply_standin_env as apply_env, python_env, skip_without_tls
from support import guard, webhook_standin as ws
from support.stubs import Clock
from support.webhook import HOST, PATH, URL
from support.netguard import network_guard  # noqa: F401  (autouse: loopback only)

skip_without_tls()

JSON = {"Content-Type": "application/json;charset=UTF-8"}
SECRET = "SEC" + "0123456789abcdef" * 4


# Both clocks of the stand-in are driven by the tests, so that no rate window
# or timestamp depends on when a test runs; the wall clock starts 2026-01-01.
STANDIN = dict(tokens={"tok": (), "kw-tok": ("告警", "alarm"), "other": ()}, clock=Clock(),
               wall_clock=Clock(1_767_225_600.0), secrets={"signed": SECRET}, close_tokens=["close-tok"],
               html_tokens=["html-tok"], stall_tokens=["stall-tok"])


def text_message(content):
    return json.dumps({"msgtype": "text", "text": {"content": content}})


def message(msgtype, **fields):
    return json.dumps({"msgtype": msgtype, msgtype: fields})


def post(token="tok", data=None, headers=JSON, url=URL, session=requests, timeout=guard.GUARD, **kwargs):
    query = {} if token is None else {"access_token": token}
    return session.post(url, params=query, headers=headers, timeout=timeout,
                        data=text_message("hello") if data is None else data, **kwargs)


# --- replies -----------------------------------------------------------------

REPLY_CASES = {
    "ok": dict(),
    "ok-with-keyword": dict(token="kw-tok", data=text_message("告警: disk full")),
    "token_missing": dict(token=None),
    "token_empty": dict(token="", reply="token_missing"),
    "token_unknown": dict(token="nobody"),
    "content_type-plain": dict(headers={"Content-Type": "text/plain"}, reply="content_type"),
    "content_type-none": dict(headers={}, reply="content_type"),
    "not_json-garbage": dict(data="{not json", reply="not_json"),
    "not_json-array": dict(data="[1, 2]", reply="not_json"),
    "not_json-latin1": dict(data="\xe9".encode("latin-1"), reply="not_json"),
    "not_json-no-content": dict(data=message("text"), reply="not_json"),
    "too_long": dict(data=text_message("x" * (ws.MAX_MESSAGE - len(text_message("")) + 1))),
    "ok-20000-bytes": dict(data=text_message("x" * (ws.MAX_MESSAGE - len(text_message(""))))),
    "keyword": dict(token="kw-tok", data=text_message("no word here")),
    # the other message types, well-formed and not
    "ok-markdown": dict(token="kw-tok", data=message("markdown", title="告警", text="# disk")),
    "ok-link": dict(data=message("link", title="t", text="x", messageUrl="https://e.test/")),
    "ok-actionCard-single": dict(token="kw-tok", data=message(
        "actionCard", title="t", text="x", singleTitle="alarm", singleURL="https://e.test/")),
    "ok-actionCard-btns": dict(data=message(
        "actionCard", title="t", text="x", btns=[{"title": "a", "actionURL": "https://e.test/"}])),
    "ok-feedCard": dict(token="kw-tok", data=message(
        "feedCard", links=[{"title": "告警 1", "messageURL": "u", "picURL": "p"}])),
    "keyword-markdown": dict(token="kw-tok", data=message("markdown", title="t", text="x")),
    "not_json-markdown-no-title": dict(data=message("markdown", text="x"), reply="not_json"),
    "not_json-actionCard-no-button": dict(data=message("actionCard", title="t", text="x"),
                                          reply="not_json"),
    "not_json-feedCard-empty": dict(data=message("feedCard", links=[]), reply="not_json"),
    "msgtype-image": dict(data=message("image", url="x")),
    "not_found-path": dict(url=URL + "x"),
}


@pytest.mark.parametrize("case", REPLY_CASES)
def test_replies_follow_the_table(standin, case):
    args = dict(REPLY_CASES[case])
    expected = args.pop("reply", case.split("-")[0])
    r = post(**args)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "application/json;charset=UTF-8"
    assert r.json() == ws.reply_payload(expected)
    assert [rec.reply for rec in standin.requests] == [expected]


def test_table_holds_the_service_codes():
    assert ws.reply_payload("ok") == {"errcode": 0, "errmsg": "ok"}
    assert ws.reply_payload("token_unknown") == {"errcode": 300005, "errmsg": "token is not exist"}
    assert ws.reply_payload("too_long") == {
        "errcode": 460101, "errmsg": "message too long, exceed 20000 bytes"}
    assert ws.reply_payload("rate_limited") == {
        "errcode": 130101, "errmsg": "send too fast, exceed 20 times per minute"}
    assert all(code != 0 for name, (code, _) in ws.REPLIES.items() if name != "ok")


def signed_query(timestamp, secret=SECRET, encode=True, token="signed"):
    sign = ws.signature(timestamp, secret)
    return f"access_token={token}&timestamp={timestamp}&sign={urllib.parse.quote_plus(sign) if encode else sign}"


def timestamp_with_plus(now_ms):
    """A timestamp near now_ms whose sign carries a '+', which must be encoded."""
    return next(t for t in range(now_ms, now_ms + 1000) if "+" in ws.signature(t, SECRET))


MINUTE = 60_000
# Each case is the query for a stand-in whose clock reads `now` milliseconds.
SIGNED_CASES = {
    "ok": lambda now: signed_query(now),
    "ok-59-minutes-old": lambda now: signed_query(now - 59 * MINUTE),
    "ok-plus-encoded": lambda now: signed_query(timestamp_with_plus(now)),
    "sign-plus-not-encoded": lambda now: signed_query(timestamp_with_plus(now), encode=False),
    "sign-other-secret": lambda now: signed_query(now, secret="SECother"),
    "sign-missing": lambda now: f"access_token=signed&timestamp={now}",
    "timestamp-missing": lambda now: f"access_token=signed&sign={ws.signature(now, SECRET)}",
    "timestamp-61-minutes-old": lambda now: signed_query(now - 61 * MINUTE),
    "timestamp-61-minutes-ahead": lambda now: signed_query(now + 61 * MINUTE),
    "timestamp-in-seconds": lambda now: signed_query(now // 1000),
    "ok-unsigned-robot-ignores-both": lambda now: signed_query(now, secret="whatever", token="tok"),
}


@pytest.mark.parametrize("case", SIGNED_CASES)
def test_signed_robots_check_timestamp_and_sign(standin, case):
    query = SIGNED_CASES[case](int(standin.wall_clock() * 1000))
    r = post(token=None, url=f"{URL}?{query}")
    expected = case.split("-")[0]
    assert (r.status_code, r.json()) == (200, ws.reply_payload(expected))


def test_timestamps_hold_when_the_clock_moves_on_after_collection():
    # The signed cases of this file and of the recipes, run in a pytest of
    # their own whose clock jumps once collection is done (support.timewarp).
    # Under the sanitizers, this pytest leaves leak checking to the outer one:
    # with some memory layouts LeakSanitizer's own thread crashes at the exit
    # of a process that started and ended many threads ("Tracer caught
    # signal 11").
    tests = os.path.dirname(os.path.abspath(__file__))
    asan = os.environ.get("ASAN_OPTIONS")
    proc = guard.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "support.timewarp", "-k", "signed",
         os.path.join(tests, "test_standin.py"), os.path.join(tests, "test_recipes.py")],
        capture_output=True, text=True, env=python_env({"ASAN_OPTIONS": asan + ":detect_leaks=0"} if asan else None))
    assert proc.returncode == 0, proc.stdout[-3000:]
    assert "\n12 passed" in proc.stdout, proc.stdout[-500:]


def test_rate_limit_per_token_and_window(standin):
    clock = standin.clock
    replies = [post().json()["errcode"] for _ in range(21)]
    assert replies == [0] * 20 + [130101]
    assert post().json() == ws.reply_payload("rate_limited")
    assert post(token="other").json()["errcode"] == 0          # its own count
    clock.now += ws.DEFAULT_RATE_WINDOW - 1
    assert post().json()["errcode"] == 130101
    clock.now += 1
    assert post().json()["errcode"] == 0                        # window moved on


def test_close_and_html_behaviours(standin):
    with pytest.raises(requests.exceptions.ConnectionError):
        post(token="close-tok")
    r = post(token="html-tok")
    assert r.status_code == 502 and r.headers["Content-Type"].startswith("text/html")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        r.json()
    assert [rec.reply for rec in standin.requests] == ["close", "html"]


def test_stall_holds_the_request_until_the_client_or_the_stand_in_gives_up(standin, monkeypatch):
    with pytest.raises(requests.exceptions.ReadTimeout) as caught:
        post(token="stall-tok", timeout=(guard.GUARD, 0.3))      # connecting is not timed
    assert "Read timed out. (read timeout=0.3)" in str(caught.value)
    assert [rec.reply for rec in standin.requests] == ["stall"]
    assert standin.wait(lambda: standin.held == 0)               # the client went away

    with ws.StandIn(["tok"], stall_tokens=["stall-tok"]) as other:
        apply_env(monkeypatch, other)
        failed = []
        client = threading.Thread(target=lambda: failed.append(pytest.raises(
            requests.exceptions.ConnectionError, post, token="stall-tok")))
        client.start()
        assert other.wait(lambda: other.held == 1)
        other.stop()                                 # with the request still held
        guard.join(client)
        assert failed and other.held == 0


# --- the proxy -----------------------------------------------------------------

@pytest.mark.parametrize("url", [f"https://example.com{PATH}", f"https://{HOST}:8443{PATH}",
                                 f"https://127.0.0.1{PATH}"])
def test_other_connect_targets_get_403(standin, url, network_guard):
    with pytest.raises(requests.exceptions.ProxyError, match="403"):
        requests.post(url, data=text_message("x"), headers=JSON, timeout=guard.GUARD)
    assert [t.status for t in standin.tunnels] == [403]
    assert standin.requests == [] and network_guard == []


def raw_proxy_exchange(standin, head):
    with socket.create_connection(("127.0.0.1", standin.port), timeout=guard.GUARD) as sock:
        sock.sendall(head)
        return sock.recv(4096)


def test_proxy_refuses_plain_requests(standin):
    reply = raw_proxy_exchange(standin, f"GET http://{HOST}{PATH} HTTP/1.1\r\nHost: {HOST}\r\n\r\n".encode())
    assert reply.startswith(b"HTTP/1.1 405")
    reply = raw_proxy_exchange(standin, f"CONNECT {HOST.upper()}:80 HTTP/1.1\r\n\r\n".encode())
    assert reply.startswith(b"HTTP/1.1 403")
    assert standin.requests == []


def tunnel_with_sni(standin, server_name, check_hostname=False):
    sock = socket.create_connection(("127.0.0.1", standin.port), timeout=guard.GUARD)
    sock.sendall(f"CONNECT {HOST}:443 HTTP/1.1\r\nHost: {HOST}:443\r\n\r\n".encode())
    assert sock.recv(4096) == b"HTTP/1.1 200 Connection established\r\n\r\n"
    ctx = ssl.create_default_context(cafile=standin.ca_file)
    ctx.check_hostname = check_hostname
    return ctx.wrap_socket(sock, server_hostname=server_name)


def request_head(host, *headers):
    """The head of a raw POST to the send path for the token "tok"."""
    return f"POST {PATH}?access_token=tok HTTP/1.1\r\nHost: {host}\r\n".encode() + b"".join(
        header + b"\r\n" for header in headers) + b"\r\n"


def test_sni_is_what_the_client_sent(standin):
    post()
    assert standin.requests[0].sni == HOST
    assert standin.tunnels[0].sni == HOST
    with tunnel_with_sni(standin, "elsewhere.test") as tls:
        body = text_message("raw").encode()
        tls.sendall(request_head("x", b"Content-Type: application/json", b"Connection: close",
                                 b"Content-Length: %d" % len(body)) + body)
        reply = b"".join(iter(lambda: tls.recv(4096), b""))
    assert reply.startswith(b"HTTP/1.1 200") and reply.endswith(b'{"errcode": 0, "errmsg": "ok"}')
    assert standin.requests[1].sni == "elsewhere.test"


def test_certificate_is_for_the_host_only(standin):
    with pytest.raises(ssl.SSLCertVerificationError, match="mismatch"):
        tls = tunnel_with_sni(standin, "elsewhere.test", check_hostname=True)
        tls.close()
    with pytest.raises(requests.exceptions.SSLError):
        post(verify=requests.certs.where())                  # the usual CAs
    assert standin.wait_settled()
    assert [t.tls_error is not None for t in standin.tunnels] == [True, True]
    assert standin.requests == []
    with open(standin.ca_file) as f:
        assert f.read().count("BEGIN CERTIFICATE") == 1


# --- recording, connections ---------------------------------------------------

def test_records_and_json_lines(standin, tmp_path):
    post(data=text_message("第一"))
    post(data=b"\xff\xfe", token="other")
    out = tmp_path / "records.jsonl"
    standin.write_records(str(out))
    first, second = [json.loads(line) for line in out.read_text("utf-8").splitlines()]
    assert first["method"] == "POST" and first["path"] == PATH
    assert first["query"] == "access_token=tok" and first["sni"] == HOST
    assert ["Content-Type", "application/json;charset=UTF-8"] in first["headers"]
    assert json.loads(first["body"]) == {"msgtype": "text", "text": {"content": "第一"}}
    assert first["reply"] == "ok" and first["status"] == 200
    assert second["body_base64"] == "//4=" and "body" not in second


def read_reply(tls):
    """One HTTP reply from a raw TLS connection: (head, body)."""
    data = b""
    while b"\r\n\r\n" not in data:
        data += tls.recv(65536)
    head, body = data.split(b"\r\n\r\n", 1)
    length = int(next(line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length")))
    while len(body) < length:
        body += tls.recv(65536)
    return head, body


def test_oversized_bodies_get_the_size_error_on_a_live_connection(standin):
    # 10 MB, well past what a record keeps: read to the end and answered, the
    # connection left for the next request (an early reply tore it: SSLError).
    body = text_message("x" * 10_000_000).encode()
    with requests.Session() as session:
        assert post(session=session, data=body).json() == ws.reply_payload("too_long")
        assert post(session=session).json() == ws.reply_payload("ok")
    # The same in chunks (requests 2.28 cannot send chunks through a proxy's tunnel).
    with tunnel_with_sni(standin, HOST) as tls:
        tls.sendall(request_head(HOST, b"Content-Type: application/json", b"Transfer-Encoding: chunked"))
        for i in range(0, len(body), 1 << 20):
            piece = body[i:i + (1 << 20)]
            tls.sendall(b"%x\r\n%s\r\n" % (len(piece), piece))
        tls.sendall(b"0\r\n\r\n")
        head, reply = read_reply(tls)
        assert head.startswith(b"HTTP/1.1 200") and json.loads(reply) == ws.reply_payload("too_long")
        small = text_message("after").encode()
        tls.sendall(request_head(HOST, b"Content-Type: application/json", b"Content-Length: %d" % len(small))
                    + small)
        assert json.loads(read_reply(tls)[1]) == ws.reply_payload("ok")
    assert len(standin.tunnels) == 2
    records = [(r.reply, r.body_size, r.body) for r in standin.requests]
    assert records == [("too_long", len(body), body[:ws.MAX_BODY]), ("ok", len(text_message("hello")), text_message("hello").encode()),
                       ("too_long", len(body), body[:ws.MAX_BODY]), ("ok", len(small), small)]


def test_keep_alive_requests_share_one_connection(standin):
    with requests.Session() as session:
        replies = [post(session=session).json()["errcode"] for _ in range(15)]
    assert replies == [0] * 15
    assert len(standin.tunnels) == 1 and len(standin.requests) == 15


def test_idle_connections_time_out_by_the_stand_ins_clock(monkeypatch, tmp_path):
    clock = Clock()
    with ws.StandIn(["tok"], idle_timeout=30, clock=clock, workdir=str(tmp_path)) as standin:
        apply_env(monkeypatch, standin)
        with requests.Session() as session:
            post(session=session)
            clock.now += 29
            post(session=session)                 # within the time-out: the same connection
            assert len(standin.tunnels) == 1
            clock.now += 30
            assert standin.wait_idle()            # the stand-in closed it
            assert post(session=session).json()["errcode"] == 0
        assert len(standin.tunnels) == 2
        session = requests.Session()
        post(session=session)
        standin.stop()                        # with a live keep-alive connection
        with pytest.raises(requests.exceptions.ConnectionError):
            post(session=session)
        session.close()


def test_command_prints_environment_and_records(tmp_path, monkeypatch):
    record_file, env_file = tmp_path / "rec.jsonl", tmp_path / "env.sh"
    proc = subprocess.Popen(
        [sys.executable, ws.__file__, "--token", "cli-tok",
         "--keyword", "kw", "--record-file", str(record_file), "--env-file", str(env_file),
         "--workdir", str(tmp_path / "ca"), "--secret", f"signed={SECRET}",
         "--unknown-token-code", "300001"],
        stdout=subprocess.PIPE, text=True)
    try:
        lines = [proc.stdout.readline().strip() for _ in range(6)]
        assert env_file.read_text().splitlines() == lines
        # Shell lines: a Windows path is quoted (its backslashes).
        env = dict(shlex.split(line)[1].split("=", 1) for line in lines if line.startswith("export "))
        assert sorted(env) == ["HTTPS_PROXY", "REQUESTS_CA_BUNDLE", "https_proxy"]
        assert {line for line in lines if line.startswith("unset")} >= {"unset NO_PROXY", "unset no_proxy"}
        assert env["HTTPS_PROXY"].startswith("http://127.0.0.1:")
        for key, value in env.items():
            monkeypatch.setenv(key, value)
        for key in ("NO_PROXY", "no_proxy", "CURL_CA_BUNDLE"):
            monkeypatch.delenv(key, raising=False)
        assert post(token="cli-tok", data=text_message("kw!")).json()["errcode"] == 0
        assert post(token="cli-tok").json() == ws.reply_payload("keyword")
        # This stand-in reads the real clock: the timestamp is taken now.
        assert post(token=None, url=f"{URL}?{signed_query(int(time.time() * 1000))}",
                    data=text_message("kw")).json()["errcode"] == 0
        assert post(token="nobody").json() == {"errcode": 300001, "errmsg": "token is not exist"}
        records = [json.loads(line) for line in record_file.read_text().splitlines()]
        assert [r["reply"] for r in records] == ["ok", "keyword", "ok", "token_unknown"]
    finally:
        if sys.platform == "win32":
            proc.terminate()                  # no SIGTERM there: TerminateProcess, exit status 1
            assert guard.wait(proc) == 1
        else:
            proc.send_signal(signal.SIGTERM)  # the command's own clean stop
            assert guard.wait(proc) == 0
        proc.stdout.close()
