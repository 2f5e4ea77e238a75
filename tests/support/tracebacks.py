"""The traceback entries that the module adds for its failures: those of the
file "main.py"."""
import traceback


def main_py_entries(exc):
    """(function, line) of each "main.py" entry of `exc`, outermost first."""
    return [(frame.name, frame.lineno) for frame in traceback.extract_tb(exc.__traceback__)
            if frame.filename == "main.py"]


def main_py_lines(exc, function=None):
    """The lines of those entries (of `function` only, when given)."""
    return [line for name, line in main_py_entries(exc) if function is None or name == function]


def last_main_py_line(exc, function=None):
    """The line of the innermost of those entries, or None."""
    lines = main_py_lines(exc, function)
    return lines[-1] if lines else None
