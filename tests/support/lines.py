"""The lines of "main.py" that failures report, as the module names them
(read from the test helper module, never restated)."""
import types

import main_testhelper

SEND = types.SimpleNamespace(**main_testhelper.SEND_LINES)
MODULE = types.SimpleNamespace(**main_testhelper.MODULE_LINES)
