"""Times main.send against the same function in plain Python.

Both get the same cheap stand-ins for logger and requests and the real json
module; runs are interleaved in one process and the best round of each is
reported in ns per call. A second table replaces json by a stand-in as well,
which leaves the cost of the two functions' own steps.

    MAIN_BUILD_DIR=build /usr/bin/python3 bench/send_bench.py [--rounds N] [--calls N]
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.abspath(os.environ.get("MAIN_BUILD_DIR", os.path.join(ROOT, "build"))))
sys.path.insert(0, HERE)

import main  # noqa: E402
import reference_main  # noqa: E402


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


def time_calls(function, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        function("0123456789abcdef", "服务已部署完成 deploy finished")
    return (time.perf_counter_ns() - start) / calls


def main_():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=20000)
    options = parser.parse_args()

    for module in (main, reference_main):
        module.logger = Logger()
        module.requests = Requests()
    assert main.send("t", "x") == reference_main.send("t", "x")
    measure("real json", options)

    # The same with a stand-in json too: what is left is the functions' own work.
    for module in (main, reference_main):
        module.json = CheapJson()
    measure("stand-in json", options)


class CheapJson:
    @staticmethod
    def dumps(value):
        return "{}"


def measure(label, options):
    native, reference = [], []
    for _ in range(options.rounds):
        native.append(time_calls(main.send, options.calls))
        reference.append(time_calls(reference_main.send, options.calls))
    best_native, best_reference = min(native), min(reference)
    print(f"-- {label}")
    print(f"main.send (native):     {best_native:8.0f} ns/call")
    print(f"reference (Python):     {best_reference:8.0f} ns/call")
    print(f"ratio native/reference: {best_native / best_reference:8.3f}")


if __name__ == "__main__":
    main_()
