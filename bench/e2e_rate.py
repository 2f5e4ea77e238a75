#!/usr/bin/python3
"""Sends per second through the local webhook stand-in: main.send against a
plain Python function with the same body, and main.send with `main.requests`
rebound to one requests.Session (the README's burst recipe).

All go through real requests, real loguru (to a sink that drops the line) and
real TLS to the stand-in, which runs as its own process on 127.0.0.1. Without
a Session every send opens a new connection and TLS session; with one, the
connection is reused. Rounds rotate who goes first; the best round of each is
printed:

    main.send: 123.4 sends/s
    main.send over one Session: 456.7 sends/s
    python reference: 120.1 sends/s

The module comes from --build-dir, else MAIN_BUILD_DIR, else build/.
"""
import argparse
import json
import os
import shlex
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOKEN = "bench-token"


def reference_send(access_token, text):
    logger.info("[钉钉通知] 该APP执行参数为: {access_token} {text}",
                access_token=access_token, text=text)
    headers = {"Content-Type": "application/json;charset=UTF-8"}
    r = requests.post(
        url="https://oapi.dingtalk.com/robot/send?access_token={access_token}".format(
            access_token=access_token),
        data=json.dumps({"msgtype": "text", "text": {"content": text}}),
        headers=headers)
    return str(r.json())


def start_standin(workdir):
    proc = subprocess.Popen(
        [sys.executable, os.path.join(ROOT, "tests", "support", "webhook_standin.py"), "--token", TOKEN,
         "--rate-limit", "0", "--workdir", workdir],
        stdout=subprocess.PIPE, text=True)
    lines = [proc.stdout.readline().strip() for _ in range(6)]
    for line in lines:
        if line.startswith("export "):
            key, value = shlex.split(line)[1].split("=", 1)   # a Windows path comes quoted
            os.environ[key] = value
        elif line.startswith("unset "):
            os.environ.pop(line[len("unset "):], None)
    if "HTTPS_PROXY" not in os.environ:
        proc.kill()
        raise SystemExit("the stand-in did not start: %r" % lines)
    return proc


def over_session(send):
    """`send` with main.requests rebound to one Session for the round."""
    def run(count):
        with requests.Session() as session:
            module.requests = session
            try:
                return rate(send, count)
            finally:
                module.requests = requests
    return run


def rate(send, count):
    expected = str({"errcode": 0, "errmsg": "ok"})
    start = time.perf_counter()
    for i in range(count):
        reply = send(TOKEN, f"bench {i}")
        if reply != expected:
            raise SystemExit(f"unexpected reply: {reply}")
    return count / (time.perf_counter() - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=300, help="sends per round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--build-dir", default=os.environ.get("MAIN_BUILD_DIR",
                                                              os.path.join(ROOT, "build")))
    parser.add_argument("--guard", action="store_true",
                        help="refuse any non-loopback connection (tests/support/netguard.py)")
    args = parser.parse_args()

    sys.path.insert(0, os.path.abspath(args.build_dir))
    if args.guard:
        sys.path.insert(0, os.path.join(ROOT, "tests"))
        from support import netguard
        netguard.install()
    global logger, requests, module
    import requests
    from loguru import logger
    import main as module

    logger.remove()
    logger.add(lambda message: None, level="INFO")
    with tempfile.TemporaryDirectory(prefix="e2e-rate-") as workdir:
        standin = start_standin(workdir)
        try:
            kinds = [("main.send", lambda count: rate(module.send, count)),
                     ("main.send over one Session", over_session(module.send)),
                     ("python reference", lambda count: rate(reference_send, count))]
            for _, run in kinds:                             # warm up
                run(5)
            best = {name: 0.0 for name, _ in kinds}
            for round_ in range(args.rounds):
                shift = round_ % len(kinds)                  # rotate who goes first
                for name, run in kinds[shift:] + kinds[:shift]:
                    best[name] = max(best[name], run(args.count))
        finally:
            standin.terminate()
            standin.wait(300)                                # a hang guard only
            standin.stdout.close()
    for name, value in best.items():
        print(f"{name}: {value:.1f} sends/s")
    print(f"ratio main.send / python reference: {best['main.send'] / best['python reference']:.3f}")


if __name__ == "__main__":
    main()
