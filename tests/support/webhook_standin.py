#!/usr/bin/python3
"""A local stand-in for the DingTalk group robot webhook, reached through a proxy.

The stand-in is an HTTP proxy on 127.0.0.1 that accepts one kind of request:
``CONNECT`` to the webhook's host (``webhook.HOST``), port 443. It never opens
an outbound connection. Inside the tunnel it terminates TLS itself, with a
certificate for that host issued by a throw-away CA made at start, and answers
``POST`` to the send path (``webhook.PATH``) the way the DingTalk service does. Every request is recorded. The CA comes from
``trustme``, which needs ``cryptography`` (Debian: python3-trustme).

What it answers, rule by rule, and the public behaviour each rule follows
(DingTalk's custom-robot documentation, and replies observed from the service):

- Every error of the service comes as HTTP 200 with a JSON body
  ``{"errcode": N, "errmsg": "..."}``; errcode 0 means the message was taken.
  The service never answers an error with a 4xx/5xx status.
- No ``access_token`` (or an empty one): 40035 "缺少参数 access_token".
- A token no robot has: 300005 "token is not exist", the code the service
  returns today. It used to return 300001; ``unknown_token_code=300001``
  (``--unknown-token-code 300001``) brings that back.
- A robot with a signing secret ("加签") needs ``timestamp`` and ``sign`` in
  the query. ``timestamp`` is in milliseconds and must lie within one hour of
  the stand-in's clock, else 310000 "invalid timestamp". ``sign`` is the
  base64 of HMAC-SHA256 keyed with the secret over ``f"{timestamp}\\n{secret}"``,
  URL-encoded by the caller; the query is URL-decoded before the comparison,
  so an unencoded ``+`` arrives as a blank. Otherwise 310000 "sign not match".
  Robots without a secret ignore both parameters.
- 20 messages a minute per robot: the 21st within 60 seconds gets 130101
  "send too fast, exceed 20 times per minute". Every request with a valid
  token (and valid signature) counts, whatever its content.
- Content-Type other than application/json: 43004.
- A body over 20,000 bytes: 460101 "message too long, exceed 20000 bytes",
  however long it is: the stand-in reads every body to its end, so the
  connection stays usable (its record keeps the first 1 MiB of a longer one,
  and the whole length in ``body_size``).
- A body that is not a JSON object: 40035 "缺少参数 json".
- The message types the service accepts, when well-formed: text
  (``content``), markdown (``title``, ``text``), link (``title``, ``text``,
  ``messageUrl``, optional ``picUrl``), actionCard (``title``, ``text`` and
  either ``singleTitle`` + ``singleURL`` or a non-empty ``btns`` list of
  ``title`` + ``actionURL``) and feedCard (a non-empty ``links`` list of
  ``title`` + ``messageURL`` + ``picURL``). A missing or mistyped field gets
  40035 "缺少参数 json"; any other ``msgtype`` gets 400105 "不支持的消息类型".
- A robot with keywords takes a message only if one of them appears in its
  visible text (text content; markdown, link, actionCard title and text, and
  button titles; feedCard link titles): else 310000 "keywords not in content".
- Any other path: errcode 404 "请求的URI地址不存在", still with HTTP 200.

Ways to fail that are not the service's, for the client's error handling,
chosen by token: ``close_tokens`` (the connection is closed without a reply),
``html_tokens`` (a 502 HTML page, as a gateway in front of the service gives)
and ``stall_tokens`` (the request is read and recorded and never answered;
the connection is held until the client gives up or the stand-in stops).

Clients are pointed at it through the environment only (see client_env()):
HTTPS_PROXY / https_proxy name the proxy, NO_PROXY / no_proxy are cleared and
REQUESTS_CA_BUNDLE names a file that holds only the stand-in's CA.

In-process use::

    with StandIn(tokens=["t0k3n"], secrets={"signed": "SEC..."}) as standin:
        os.environ.update(standin.client_env())
        ...
        standin.requests   # list of Record

As a command: ``webhook_standin.py --port 0 --token t0k3n`` prints the export
lines a client needs, then serves until interrupted (SIGINT / SIGTERM).
"""
from __future__ import annotations

import argparse
import base64
import collections
import contextlib
import dataclasses
import hashlib
import hmac
import http.server
import json
import os
import re
import select
import shlex
import signal
import socket
import socketserver
import ssl
import sys
import tempfile
import threading
import time
import urllib.parse
from typing import Callable, Iterable, Mapping

try:
    from support import guard
    from support.webhook import HOST, PATH as WEBHOOK_PATH
except ImportError:                 # run as a command: this directory is on sys.path
    import guard
    from webhook import HOST, PATH as WEBHOOK_PATH

PORT = 443
DEFAULT_RATE_LIMIT = 20          # messages per window and token
DEFAULT_RATE_WINDOW = 60.0       # seconds
MAX_MESSAGE = 20000             # bytes of request body the service takes
MAX_BODY = 1 << 20               # bytes of a body a record keeps (the rest is read and dropped)
TIMESTAMP_WINDOW_MS = 3600 * 1000   # a signed request's timestamp, either side of now
TOKEN_UNKNOWN_CODE = 300005      # what the service answers an unknown token with today
OLD_TOKEN_UNKNOWN_CODE = 300001  # ... and what it answered before

# Every reply the webhook gives, by name: (errcode, errmsg). The rate-limit
# message names the configured limit.
REPLIES: dict[str, tuple[int, str]] = {
    "ok": (0, "ok"),
    "token_missing": (40035, "缺少参数 access_token"),
    "token_unknown": (TOKEN_UNKNOWN_CODE, "token is not exist"),
    "timestamp": (310000, "invalid timestamp"),
    "sign": (310000, "sign not match"),
    "content_type": (43004, "无效的HTTP HEADER Content-Type"),
    "too_long": (460101, f"message too long, exceed {MAX_MESSAGE} bytes"),
    "not_json": (40035, "缺少参数 json"),
    "msgtype": (400105, "不支持的消息类型"),
    "keyword": (310000, "keywords not in content"),
    "rate_limited": (130101, "send too fast, exceed {limit} times per minute"),
    "not_found": (404, "请求的URI地址不存在"),
}

# The fields each accepted message type must carry as strings, and its
# visible text (what keywords are looked for in). actionCard and feedCard
# have lists besides; see _visible_text().
_STRING_FIELDS = {
    "text": ("content",),
    "markdown": ("title", "text"),
    "link": ("title", "text", "messageUrl"),
    "actionCard": ("title", "text"),
    "feedCard": (),
}

HTML_REPLY = (b"<html><head><title>502 Bad Gateway</title></head>"
              b"<body><h1>502 Bad Gateway</h1></body></html>\n")


def reply_payload(name: str, limit: int = DEFAULT_RATE_LIMIT,
                  unknown_token_code: int = TOKEN_UNKNOWN_CODE) -> dict:
    """The JSON object the webhook answers with for the reply called `name`."""
    code, message = REPLIES[name]
    if name == "token_unknown":
        code = unknown_token_code
    return {"errcode": code, "errmsg": message.format(limit=limit)}


def signature(timestamp: str | int, secret: str) -> str:
    """The `sign` a signed robot expects for `timestamp`, before URL-encoding."""
    digest = hmac.new(secret.encode("utf-8"), f"{timestamp}\n{secret}".encode("utf-8"),
                      hashlib.sha256).digest()
    return base64.b64encode(digest).decode("ascii")


def _strings(obj: object, *keys: str) -> bool:
    return isinstance(obj, dict) and all(isinstance(obj.get(k), str) for k in keys)


def _visible_text(msgtype: str, body: dict) -> str | None:
    """The text a reader sees in a well-formed message, or None if it is malformed."""
    if not _strings(body, *_STRING_FIELDS[msgtype]):
        return None
    parts = [body[k] for k in _STRING_FIELDS[msgtype] if k not in ("messageUrl",)]
    if msgtype == "link" and "picUrl" in body and not isinstance(body["picUrl"], str):
        return None
    if msgtype == "actionCard":
        buttons = body.get("btns")
        if buttons is not None:
            if not (isinstance(buttons, list) and buttons
                    and all(_strings(b, "title", "actionURL") for b in buttons)):
                return None
            parts += [b["title"] for b in buttons]
        elif _strings(body, "singleTitle", "singleURL"):
            parts.append(body["singleTitle"])
        else:
            return None
    if msgtype == "feedCard":
        links = body.get("links")
        if not (isinstance(links, list) and links
                and all(_strings(link, "title", "messageURL", "picURL") for link in links)):
            return None
        parts += [link["title"] for link in links]
    return "\n".join(parts)


@dataclasses.dataclass
class Record:
    """One request received inside the tunnel."""
    method: str
    path: str
    query: str
    headers: list[tuple[str, str]]
    body: bytes
    sni: str | None
    client: tuple[str, int]
    time: float
    reply: str | None = None        # name in REPLIES, "close", "html" or "stall"
    status: int | None = None
    body_size: int = 0              # bytes of body received; `body` keeps MAX_BODY at most

    def header(self, name: str) -> str | None:
        name = name.lower()
        for key, value in self.headers:
            if key.lower() == name:
                return value
        return None

    def to_json(self) -> dict:
        out = dataclasses.asdict(self)
        out["headers"] = [list(pair) for pair in self.headers]
        out["client"] = list(self.client)
        try:
            out["body"] = self.body.decode("utf-8")
        except UnicodeDecodeError:
            del out["body"]
            out["body_base64"] = base64.b64encode(self.body).decode("ascii")
        return out


@dataclasses.dataclass
class Tunnel:
    """One CONNECT the proxy answered."""
    target: str
    client: tuple[str, int]
    status: int
    sni: str | None = None
    tls_error: str | None = None
    handshake_done: bool = False        # TLS set up or failed (403: at once)


# The server name a client sent, caught during the handshake on this thread.
_sni = threading.local()


def _on_sni(_sslsock, name, _ctx):
    _sni.name = name


def _quickack(sock) -> None:
    # Delayed ACKs meet the client's Nagle algorithm (left on by urllib3 through
    # a proxy) and stall each request by ~40 ms; QUICKACK is cleared by the
    # kernel after a while, so it is set again before every request.
    with contextlib.suppress(OSError, AttributeError):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)


class _WebhookHandler(http.server.BaseHTTPRequestHandler):
    """Serves the webhook on the TLS socket inside one tunnel."""
    protocol_version = "HTTP/1.1"
    server_version = "DingTalkStandIn"
    sys_version = ""
    disable_nagle_algorithm = True

    def __init__(self, request, client_address, standin, sni):
        self.standin = standin
        self.sni = sni
        self.timeout = guard.GUARD       # within a request; between requests, _next_request
        super().__init__(request, client_address, standin._server)

    def handle_one_request(self):
        if not self._next_request():
            self.close_connection = True
            return
        self.arrived = self.standin.clock()
        _quickack(self.connection)
        super().handle_one_request()

    def _next_request(self) -> bool:
        """Waits for the next request on the connection: False once the
        stand-in's clock has moved idle_timeout past the arrival of the last
        one (or the stand-in stops). Clients send one request at a time."""
        standin, conn = self.standin, self.connection
        arrived = getattr(self, "arrived", None)
        arrived = standin.clock() if arrived is None else arrived
        while not standin._stopping.is_set():
            if conn.pending() or select.select([conn], [], [], 0.05)[0]:
                return True
            if standin.clock() - arrived >= standin.idle_timeout:
                return False
        return False

    def log_message(self, format, *args):  # noqa: A002 - quiet by design
        pass

    def _respond(self, status: int, body: bytes, content_type: str) -> None:
        head = [f"HTTP/1.1 {status} {http.HTTPStatus(status).phrase}",
                f"Server: {self.server_version}",
                f"Date: {self.date_time_string()}",
                f"Content-Type: {content_type}",
                f"Content-Length: {len(body)}"]
        if self.close_connection:
            head.append("Connection: close")
        # One write: head and body leave in one TLS record.
        self.wfile.write(("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body)

    def _read_body(self) -> tuple[bytes, int]:
        """The body's first MAX_BODY bytes and its whole length. The whole body
        is read, however long, so that the reply reaches a client still
        sending (a reply before the end would tear the connection)."""
        kept, size = [], 0

        def take(count: int) -> None:
            nonlocal size
            while count > 0:
                data = self.rfile.read(min(count, 1 << 16))
                if not data:
                    raise ConnectionError("the client closed the connection within the body")
                if size < MAX_BODY:
                    kept.append(data[:MAX_BODY - size])
                size += len(data)
                count -= len(data)

        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            while True:
                line = self.rfile.readline(1024)
                chunk = int(line.split(b";")[0].strip() or b"0", 16)
                if chunk == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                take(chunk)
                self.rfile.readline(1024)
        else:
            take(int(self.headers.get("Content-Length") or 0))
        return b"".join(kept), size

    def _handle(self):
        split = urllib.parse.urlsplit(self.path)
        body, size = self._read_body()
        record = Record(method=self.command, path=split.path, query=split.query,
                        headers=list(self.headers.items()), body=body, sni=self.sni,
                        client=self.client_address[:2], time=time.time(), body_size=size)
        status, reply, payload = self.standin._answer(record)
        record.reply, record.status = reply, status
        self.standin._record(record)
        if reply == "close":
            self.close_connection = True
            with contextlib.suppress(OSError):
                self.connection.shutdown(socket.SHUT_RDWR)
            return
        if reply == "html":
            self._respond(502, HTML_REPLY, "text/html; charset=utf-8")
            return
        if reply == "stall":
            self.close_connection = True
            self._hold()
            return
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self._respond(status, data, "application/json;charset=UTF-8")

    def _hold(self) -> None:
        """Keeps the connection open, unanswered, until the client closes it or
        the stand-in stops; whatever the client sends meanwhile is dropped."""
        standin = self.standin
        with standin._changed:
            standin.held += 1
            standin._changed.notify_all()
        try:
            self.connection.settimeout(0.1)
            while not standin._stopping.is_set():
                try:
                    if not self.connection.recv(4096):
                        break
                except TimeoutError:
                    continue
                except (OSError, ValueError):
                    break
        finally:
            with standin._changed:
                standin.held -= 1
                standin._changed.notify_all()

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = do_HEAD = _handle


class _ProxyHandler(http.server.BaseHTTPRequestHandler):
    """Answers the proxy request on the plain connection, then runs the tunnel."""
    protocol_version = "HTTP/1.1"
    server_version = "DingTalkStandInProxy"
    sys_version = ""
    disable_nagle_algorithm = True
    rbufsize = 0       # read exactly the CONNECT head: TLS bytes follow it

    def setup(self):
        self.standin = self.server.standin
        self.timeout = guard.GUARD
        super().setup()
        self.standin._track(self.connection, True)

    def finish(self):
        with contextlib.suppress(OSError):
            super().finish()
        self.standin._track(self.connection, False)

    def handle_one_request(self):
        _quickack(self.connection)
        super().handle_one_request()

    def log_message(self, format, *args):  # noqa: A002
        pass

    def _refuse(self, status: int, reason: str) -> None:
        body = (reason + "\n").encode()
        self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def do_CONNECT(self):
        target = self.path
        client = self.client_address[:2]
        if target.lower() != f"{HOST}:{PORT}":
            self.standin._tunnel(Tunnel(target, client, 403, handshake_done=True))
            self._refuse(403, "tunnels only to %s:%d" % (HOST, PORT))
            return
        tunnel = Tunnel(target, client, 200)
        self.standin._tunnel(tunnel)
        self.close_connection = True
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        _sni.name = None
        try:
            tls = self.standin._tls.wrap_socket(self.connection, server_side=True)
        except (OSError, ValueError) as exc:      # ssl.SSLError is an OSError
            tunnel.tls_error = f"{type(exc).__name__}: {exc}"
            return
        finally:
            tunnel.sni = _sni.name
            self.standin._settled(tunnel)
        self.standin._track(tls, True)
        try:
            _WebhookHandler(tls, self.client_address, self.standin, tunnel.sni)
        except OSError:
            pass
        finally:
            self.standin._track(tls, False)
            with contextlib.suppress(OSError):
                tls.close()

    def _not_a_tunnel(self):
        self._refuse(405, "only CONNECT %s:%d" % (HOST, PORT))

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _not_a_tunnel


class _Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128
    block_on_close = False
    # socketserver.TCPServer: no getfqdn() (reverse DNS) at bind, unlike HTTPServer.


class StandIn:
    """The proxy and webhook, run on a background thread; also a context manager.

    tokens: the robots' access tokens; a mapping gives each token its own keywords.
    keywords: every message must contain one of these (when not empty).
    secrets: signing secrets by token; those robots check `timestamp` and `sign`.
        A token named only here is a robot too.
    rate_limit: messages per `rate_window` seconds and token; None for no limit.
    unknown_token_code: errcode for a token no robot has (300005, or the old 300001).
    close_tokens: a request with one of these is recorded, then the connection
        is closed without a reply.
    html_tokens: a request with one of these is recorded and answered with an
        HTML page (502).
    stall_tokens: a request with one of these is recorded and never answered.
    idle_timeout: a connection is closed when no request follows the last one
        within this many seconds of `clock`.
    record_file: each record is appended to it as a JSON line when it arrives.
    clock: monotonic seconds, for the rate limit and the idle time-out;
        wall_clock: seconds since the epoch, for signed timestamps.
    """

    def __init__(self, tokens: Iterable[str] | Mapping[str, Iterable[str]] = ("standin-token",),
                 *, keywords: Iterable[str] = (), secrets: Mapping[str, str] | None = None,
                 rate_limit: int | None = DEFAULT_RATE_LIMIT,
                 rate_window: float = DEFAULT_RATE_WINDOW,
                 unknown_token_code: int = TOKEN_UNKNOWN_CODE, close_tokens: Iterable[str] = (),
                 html_tokens: Iterable[str] = (), stall_tokens: Iterable[str] = (),
                 port: int = 0, idle_timeout: float = 60.0,
                 record_file: str | None = None, workdir: str | None = None,
                 clock: Callable[[], float] = time.monotonic,
                 wall_clock: Callable[[], float] = time.time):
        keywords = tuple(keywords)
        if isinstance(tokens, Mapping):
            self.tokens = {t: tuple(k) for t, k in tokens.items()}
        else:
            self.tokens = {t: keywords for t in tokens}
        self.secrets = dict(secrets or {})
        for token in self.secrets:
            self.tokens.setdefault(token, keywords)
        self.keywords = keywords
        self.rate_limit = rate_limit
        self.rate_window = rate_window
        self.unknown_token_code = unknown_token_code
        self.close_tokens = set(close_tokens)
        self.html_tokens = set(html_tokens)
        self.stall_tokens = set(stall_tokens)
        self.port = port
        self.idle_timeout = idle_timeout
        self.record_file = record_file
        self.clock = clock
        self.wall_clock = wall_clock
        self.held = 0                       # stalled requests being held open
        self.requests: list[Record] = []
        self.tunnels: list[Tunnel] = []
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._sent: dict[str, collections.deque] = collections.defaultdict(collections.deque)
        self._connections: set = set()
        self._stopping = threading.Event()
        self._workdir = workdir
        self._tmp = None
        self._server = None
        self._thread = None
        self.ca_file = None

    # -- life cycle ---------------------------------------------------------
    def start(self) -> "StandIn":
        import trustme

        if self._workdir is None:
            self._tmp = tempfile.TemporaryDirectory(prefix="webhook-standin-")
            self._workdir = self._tmp.name
        os.makedirs(self._workdir, exist_ok=True)
        ca = trustme.CA(organization_name="Webhook stand-in CA (throw-away)")
        cert = ca.issue_cert(HOST)
        self.ca_file = os.path.join(self._workdir, "standin-ca.pem")
        ca.cert_pem.write_to_path(self.ca_file)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        cert.configure_cert(ctx)

        ctx.sni_callback = _on_sni
        self._tls = ctx

        self._server = _Server(("127.0.0.1", self.port), _ProxyHandler, bind_and_activate=False)
        self._server.standin = self
        try:
            self._server.server_bind()
            self._server.server_activate()
        except OSError:
            self._server.server_close()
            raise
        self.port = self._server.server_address[1]
        self._stopping.clear()
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1},
                                        name="webhook-standin", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            live = list(self._connections)
        for sock in live:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        # Held requests end within their 0.1 s poll once stopping is set.
        self.wait(lambda: self.held == 0, "held requests to end")
        guard.join(self._thread)
        self._server = None
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None
            self._workdir = None

    def __enter__(self) -> "StandIn":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- what clients need --------------------------------------------------
    @property
    def proxy_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def client_env(self) -> dict[str, str | None]:
        """Environment for a client: a value of None means 'unset'."""
        return {
            "HTTPS_PROXY": self.proxy_url,
            "https_proxy": self.proxy_url,
            "NO_PROXY": None,
            "no_proxy": None,
            "REQUESTS_CA_BUNDLE": self.ca_file,
            "CURL_CA_BUNDLE": None,
        }

    def export_lines(self) -> list[str]:
        lines = []
        for key, value in self.client_env().items():
            lines.append(f"unset {key}" if value is None else f"export {key}={shlex.quote(value)}")
        return lines

    # -- records ------------------------------------------------------------
    def clear(self) -> None:
        with self._lock:
            self.requests.clear()
            self.tunnels.clear()
            self._sent.clear()

    def write_records(self, path: str) -> None:
        with self._lock:
            records = list(self.requests)
        with open(path, "w", encoding="utf-8") as out:
            for record in records:
                out.write(json.dumps(record.to_json(), ensure_ascii=False) + "\n")

    def wait(self, condition: Callable[[], bool], what: str = "the stand-in") -> bool:
        """Waits until `condition()` (called under the lock) holds; raises
        guard.Hung if it does not within the hang guard."""
        with self._changed:
            if not self._changed.wait_for(condition, guard.GUARD):
                raise guard.hung(f"waiting for {what}", guard.GUARD)
        return True

    def wait_settled(self) -> bool:
        """Waits until every tunnel opened so far has finished its TLS handshake."""
        return self.wait(lambda: all(t.handshake_done for t in self.tunnels), "TLS handshakes")

    def wait_idle(self) -> bool:
        """Waits until no connection to the stand-in is open."""
        return self.wait(lambda: not self._connections, "connections to close")

    def _record(self, record: Record) -> None:
        with self._changed:
            self.requests.append(record)
            if self.record_file:
                with open(self.record_file, "a", encoding="utf-8") as out:
                    out.write(json.dumps(record.to_json(), ensure_ascii=False) + "\n")
            self._changed.notify_all()

    def _tunnel(self, tunnel: Tunnel) -> None:
        with self._changed:
            self.tunnels.append(tunnel)
            self._changed.notify_all()

    def _settled(self, tunnel: Tunnel) -> None:
        with self._changed:
            tunnel.handshake_done = True
            self._changed.notify_all()

    def _track(self, sock, live: bool) -> None:
        with self._changed:
            (self._connections.add if live else self._connections.discard)(sock)
            self._changed.notify_all()

    # -- the webhook --------------------------------------------------------
    def _answer(self, record: Record) -> tuple[int, str, dict | None]:
        """(HTTP status, reply name, JSON payload) for one request."""
        if record.path != WEBHOOK_PATH:
            return 200, "not_found", reply_payload("not_found")
        query = urllib.parse.parse_qs(record.query)
        token = query.get("access_token", [""])[0]
        if token in self.close_tokens:
            return 0, "close", None
        if token in self.html_tokens:
            return 502, "html", None
        if token in self.stall_tokens:
            return 0, "stall", None
        name = self._check(record, token, query)
        return 200, name, reply_payload(name, self.rate_limit or 0, self.unknown_token_code)

    def _check(self, record: Record, token: str, query: dict[str, list[str]]) -> str:
        if not token:
            return "token_missing"
        if token not in self.tokens:
            return "token_unknown"
        if token in self.secrets:
            failed = self._check_signature(self.secrets[token], query)
            if failed:
                return failed
        if self.rate_limit is not None and not self._admit(token):
            return "rate_limited"
        media = (record.header("Content-Type") or "").split(";")[0].strip().lower()
        if media != "application/json":
            return "content_type"
        if record.body_size > MAX_MESSAGE:
            return "too_long"
        try:
            message = json.loads(record.body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            return "not_json"
        if not isinstance(message, dict):
            return "not_json"
        msgtype = message.get("msgtype")
        if not isinstance(msgtype, str) or msgtype not in _STRING_FIELDS:
            return "msgtype"
        visible = _visible_text(msgtype, message.get(msgtype))
        if visible is None:
            return "not_json"
        keywords = self.tokens[token]
        if keywords and not any(k in visible for k in keywords):
            return "keyword"
        return "ok"

    def _check_signature(self, secret: str, query: dict[str, list[str]]) -> str | None:
        """None when `timestamp` and `sign` are right for `secret`, else the reply name."""
        timestamp = query.get("timestamp", [""])[0]
        if not re.fullmatch(r"[0-9]{1,19}", timestamp):
            return "timestamp"
        if abs(self.wall_clock() * 1000 - int(timestamp)) > TIMESTAMP_WINDOW_MS:
            return "timestamp"
        sign = query.get("sign", [""])[0].encode("utf-8")
        if not hmac.compare_digest(sign, signature(timestamp, secret).encode("ascii")):
            return "sign"
        return None

    def _admit(self, token: str) -> bool:
        now = self.clock()
        with self._lock:
            sent = self._sent[token]
            while sent and sent[0] <= now - self.rate_window:
                sent.popleft()
            if len(sent) >= self.rate_limit:
                return False
            sent.append(now)
            return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, default=0, help="proxy port (0: any free one)")
    parser.add_argument("--token", "--tokens", action="extend", nargs="+", default=[],
                        help="accepted access token(s) (default: standin-token)")
    parser.add_argument("--keyword", "--keywords", action="extend", nargs="+", default=[],
                        help="every message must contain one of these")
    parser.add_argument("--secret", action="append", default=[], metavar="TOKEN=SECRET",
                        help="a signed robot: its token and signing secret")
    parser.add_argument("--rate-limit", type=int, default=DEFAULT_RATE_LIMIT,
                        help="messages per minute and token (0: no limit)")
    parser.add_argument("--unknown-token-code", type=int, default=TOKEN_UNKNOWN_CODE,
                        choices=(TOKEN_UNKNOWN_CODE, OLD_TOKEN_UNKNOWN_CODE),
                        help="errcode for an unknown token (default: %(default)s)")
    parser.add_argument("--close-token", action="extend", nargs="+", default=[],
                        help="token whose requests are closed without a reply")
    parser.add_argument("--html-token", action="extend", nargs="+", default=[],
                        help="token whose requests get an HTML page (502)")
    parser.add_argument("--stall-token", action="extend", nargs="+", default=[],
                        help="token whose requests are never answered")
    parser.add_argument("--record-file", help="append each request here as a JSON line")
    parser.add_argument("--workdir", help="where the CA file goes (default: a temporary dir)")
    parser.add_argument("--env-file", help="also write the export lines here once ready")
    args = parser.parse_args(argv)
    secrets = {}
    for pair in args.secret:
        token, sep, secret = pair.partition("=")
        if not (token and sep and secret):
            parser.error(f"--secret wants TOKEN=SECRET, not {pair!r}")
        secrets[token] = secret

    tokens = args.token or ([] if secrets else ["standin-token"])
    standin = StandIn(tokens, keywords=args.keyword, secrets=secrets,
                      rate_limit=args.rate_limit or None,
                      unknown_token_code=args.unknown_token_code, close_tokens=args.close_token,
                      html_tokens=args.html_token, stall_tokens=args.stall_token, port=args.port,
                      record_file=args.record_file, workdir=args.workdir)
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    with standin:
        lines = "\n".join(standin.export_lines()) + "\n"
        if args.env_file:
            tmp = args.env_file + ".tmp"
            with open(tmp, "w") as out:
                out.write(lines)
            os.replace(tmp, args.env_file)
        sys.stdout.write(lines)
        sys.stdout.flush()
        while not stop.wait(0.5):
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
