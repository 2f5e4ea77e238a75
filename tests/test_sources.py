"""The Python sources of the checkout (the tests, their support and child
scripts, bench/ and tools/) compile with warnings as errors, as under
`python3 -W error`, which refuses a file whose compilation warns (an `is`
with a literal, an invalid escape)."""
import os
import warnings

from conftest import ROOT

FOLDERS = ("tests", os.path.join("tests", "support"), os.path.join("tests", "scripts"), "bench", "tools")


def test_sources_compile_with_warnings_as_errors():
    sources = sorted(os.path.join(folder, name) for folder in FOLDERS
                     for name in os.listdir(os.path.join(ROOT, folder)) if name.endswith(".py"))
    assert os.path.join("tests", "scripts", "nomemory_driver.py") in sources
    refused = {}
    for path in sources:
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            source = f.read()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                compile(source, path, "exec", dont_inherit=True)
            except SyntaxError as exc:
                refused[path] = f"line {exc.lineno}: {exc.msg}"
    assert refused == {}
