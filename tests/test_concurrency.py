"""send from several threads, from inside its own callees, and in daemon
threads when the process exits: each call ends in its own correct result or a
clean exception at its own line."""
import json
import os
import sys
import threading
import time

import pytest

import main
from conftest import TESTS_DIR, python_env
from support import guard, stubs
from support.lines import SEND
from support.tracebacks import main_py_lines
from support.webhook import url_for

DEBUG = hasattr(sys, "gettotalrefcount")


def test_reentrant_calls_from_logger_and_post(standins):
    inner = []

    class ReentrantLogger:
        def info(self, template, access_token, text):
            if text == "outer":
                inner.append(main.send("inner-tok", "from-logger"))

    class ReentrantPost:
        def post(self, url, data, headers):
            if "outer" in data:
                inner.append(main.send("inner-tok", "from-post"))
            return stubs.Reply({"url": url})

    main.logger, main.requests = ReentrantLogger(), ReentrantPost()
    result = main.send("outer-tok", "outer")
    assert result == str({"url": url_for("outer-tok")})
    assert inner == [str({"url": url_for("inner-tok")})] * 2

    # A failure deep inside a nested call reports its own line, the outer call its own.
    main.logger, main.requests = stubs.Logger(), stubs.Requests(None)
    main.requests.post = lambda **kw: main.send("x", {1})
    with pytest.raises(TypeError) as info:
        main.send("tok", "text")
    assert main_py_lines(info.value) == [SEND.post, SEND.dumps]


def test_threads_with_a_slow_post(standins):
    class Slow:
        def post(self, url, data, headers):
            time.sleep(0.001)
            return stubs.Reply({"echo": json.loads(data)["text"]["content"]})

    main.requests = Slow()
    results, errors = {}, []

    def worker(n):
        try:
            for i in range(50):
                results[(n, i)] = main.send(f"t{n}", f"{n}-{i}")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    guard.join(*threads)
    assert errors == []
    assert results == {(n, i): str({"echo": f"{n}-{i}"}) for n in range(8) for i in range(50)}


class Replying:
    """A post that lets other threads run before it answers `who`."""

    def __init__(self, who):
        self.reply = stubs.Reply({"who": who})

    def post(self, url, data, headers):
        time.sleep(0)
        return self.reply


class Counting:
    def __init__(self):
        self.count = 0

    def info(self, template, access_token, text):
        self.count += 1


def test_threads_with_globals_rebound_underneath(standins):
    threads, calls = 16, (1000 if DEBUG else 2000)
    posts = Replying("a"), Replying("b")
    loggers = Counting(), Counting()
    expected = {"{'who': 'a'}", "{'who': 'b'}"}
    main.logger, main.requests = loggers[0], posts[0]
    stop = threading.Event()
    bad, errors = [], []

    def rebind():
        i = 0
        while not stop.is_set():
            i += 1
            main.requests = posts[i % 2]
            main.logger = loggers[(i // 3) % 2]
            time.sleep(0)

    def worker(n):
        try:
            for i in range(calls):
                result = main.send(f"tok{n}", i)
                if result not in expected:
                    bad.append(result)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    rebinder = threading.Thread(target=rebind)
    workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
    try:
        rebinder.start()
        for t in workers:
            t.start()
        guard.join(*workers)
    finally:
        stop.set()
        guard.join(rebinder)
        sys.setswitchinterval(old_interval)
    assert not errors and not bad
    assert sum(lg.count for lg in loggers) == threads * calls


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="with the sanitizer runtime preloaded, plain Python daemon threads crash at exit too")
def test_daemon_threads_inside_send_at_exit_let_the_process_end_cleanly():
    # Each run exits while eight daemon threads are inside send; the
    # interpreter ends them as it shuts down. No cleanup of ours may run then.
    script = os.path.join(TESTS_DIR, "scripts", "daemon_exit.py")
    runs = 10 if DEBUG else 20
    failures = []
    for _ in range(runs):
        proc = guard.run([sys.executable, script, "8"], capture_output=True, text=True, env=python_env())
        if proc.returncode != 0:
            failures.append(f"status {proc.returncode}: {proc.stderr[-300:]}")
    assert failures == [], f"{len(failures)} of {runs} runs failed:\n" + "\n".join(failures)
