"""A pytest plugin for tests that read the wall clock: once collection is
done, the clock jumps 5 minutes and then runs 60 times fast, for the tests'
time.time and for webhook stand-ins that read the real clock, as if the tests
ran long after collection on a slow machine. A time captured at collection
and compared later fails under it.

    pytest -p support.timewarp ...
"""
import time

real = time.time


def pytest_collection_finish(session):
    from support import webhook_standin
    start = real()

    def warped():
        return start + 300 + (real() - start) * 60

    time.time = warped
    webhook_standin.StandIn.__init__.__kwdefaults__["wall_clock"] = warped
