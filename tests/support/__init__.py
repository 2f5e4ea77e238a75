"""What the tests run on: stand-ins for the module's dependencies and for the
webhook, the network guard, the leak runner, the lines of "main.py" and a
reader of its traceback entries."""
