"""Hang guards: the one limit on every child process, wait and join of the
tests. A guard ends a run that hangs; it never judges speed, so it is
generous (minutes) and grows with MAIN_TEST_GUARD_SCALE (a factor, default 1)
on machines slower still. A guard that fires says so in words."""
import os
import subprocess
import time

SCALE = float(os.environ.get("MAIN_TEST_GUARD_SCALE") or 1)


def limit(minutes=5):
    """The seconds a guard of `minutes` allows on this machine."""
    return minutes * 60 * SCALE


GUARD = limit()


class Hung(AssertionError):
    """A guard fired: something gave no answer within its limit."""


def hung(what, seconds, output=""):
    return Hung(f"{what}: no answer in {seconds:.0f} s: hung? "
                f"(MAIN_TEST_GUARD_SCALE={SCALE:g} scales the guards){output}")


def _tail(data):
    if isinstance(data, bytes):
        data = data.decode("utf-8", "replace")
    return f"\n--- output so far\n{data[-3000:]}" if data else ""


def run(args, *, minutes=5, **kwargs):
    """subprocess.run under a guard of `minutes`."""
    seconds = limit(minutes)
    try:
        return subprocess.run(args, timeout=seconds, **kwargs)
    except subprocess.TimeoutExpired as exc:
        raise hung(" ".join(map(str, args))[:300], seconds, _tail(exc.stdout) + _tail(exc.stderr)) from None


def wait(proc, minutes=5):
    """proc.wait() under a guard; the process is killed when it fires."""
    seconds = limit(minutes)
    try:
        return proc.wait(seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise hung(f"process {proc.args!r}"[:300], seconds) from None


def join(*threads, minutes=5):
    """Joins every thread under one guard of `minutes`."""
    seconds = limit(minutes)
    deadline = time.monotonic() + seconds
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
        if thread.is_alive():
            raise hung(f"thread {thread.name}", seconds)
