"""What the tests run on: the webhook's host and URL, stand-ins for the
module's dependencies and for the webhook, the network guard, the hang
guards, the leak runner, the calls and imports that several mechanisms share,
the lines of "main.py" and a reader of its traceback entries."""
