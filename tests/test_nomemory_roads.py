"""Allocation-failure sweeps of send on the roads that the plain stand-ins of
test_nomemory.py do not take: callees with only a call slot (their arguments
become a tuple and a dictionary), dependencies that keep the dictionaries they
get (so each call builds new ones). The driver is test_nomemory's, with its stand-ins for send replaced."""
import json

import pytest

import test_nomemory

ANCHOR = '\nrun(os.environ["NOMEM_SWEEP"])\n'

ROADS = r'''
class CallSlot:  # an instance of a heap type: no vectorcall entry
    def __init__(self, function):
        self.function = function

    def __call__(self, *args, **kwargs):
        return self.function(*args, **kwargs)


def install_stand_ins(main):
    road = os.environ["NOMEM_ROAD"]
    kept = []
    stubs.install(main)
    main.json = json
    if road == "call slots":
        main.logger = type("L", (), {})()
        main.logger.info = CallSlot(lambda *a, **k: None)
        main.requests = type("R", (), {})()
        main.requests.post = CallSlot(lambda **k: stubs.Reply())
    elif road == "kept dictionaries":
        main.json = type("J", (), {"dumps": staticmethod(lambda m: kept.append(m) or json.dumps(m))})()
'''


@test_nomemory.JSON_DUMPS_FAULT
@pytest.mark.parametrize("road", ["call slots", "kept dictionaries"])
def test_send_sweep_on_other_roads(fresh, road):
    assert ANCHOR in test_nomemory.DRIVER
    driver = test_nomemory.DRIVER.replace(ANCHOR, ROADS + ANCHOR)
    proc = fresh(driver, env={"NOMEM_SWEEP": "send", "NOMEM_ROAD": road}, check=False, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["problems"] == [], "\n".join(result["problems"]) + "\n" + proc.stderr[-3000:]
    assert result["counts"]["raised"] > 5
