"""Installing the package like any Python package: pip into a virtual environment.

Three ways, each into a fresh venv:
- debian: Debian's packages (system site packages, no build isolation, no index);
- pypi: `pip install .` with build isolation, everything from PyPI;
- wheel: a wheel built once with `pip wheel --no-deps .`, installed from that
  file into another venv with binaries only (no compiler at that step).
The last two reach PyPI and run only with MAIN_TEST_PYPI=1 (tools/test-pypi.sh).
"""
import glob
import json
import os
import re
import sys
import textwrap

import pytest

from conftest import ROOT, TESTS_DIR, apply_standin_env

pytestmark = pytest.mark.skipif(sys.executable != "/usr/bin/python3",
                                reason="installs for Debian's /usr/bin/python3 only")
needs_pypi = pytest.mark.skipif(os.environ.get("MAIN_TEST_PYPI") != "1",
                                reason="reaches PyPI: run by tools/test-pypi.sh")

from support import guard, webhook_standin as ws  # noqa: E402


def pip(venv, *args):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PIP_NO_INPUT="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    proc = guard.run([str(venv / "bin" / "python"), "-m", "pip", *args],
                     capture_output=True, text=True, env=env, minutes=15)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


def new_venv(path, *options):
    guard.run(["/usr/bin/python3", "-m", "venv", *options, str(path)], check=True)
    return path


@pytest.fixture(scope="module")
def debian(tmp_path_factory):
    path = new_venv(tmp_path_factory.mktemp("debian"), "--system-site-packages")
    pip(path, "install", "--no-build-isolation", "--no-index", "-q", ROOT)
    return path


@pytest.fixture(scope="module")
def pypi(tmp_path_factory):
    path = new_venv(tmp_path_factory.mktemp("pypi"))
    pip(path, "install", "-q", ROOT)
    return path


@pytest.fixture(scope="module")
def wheel(tmp_path_factory, pypi):
    wheels = tmp_path_factory.mktemp("wheelhouse")
    pip(pypi, "wheel", "--no-deps", "-q", "-w", str(wheels), ROOT)
    (built,) = glob.glob(str(wheels / "main-*.whl"))
    assert os.path.basename(built).startswith("main-1.0.0-cp311-cp311-linux_")
    path = new_venv(tmp_path_factory.mktemp("wheel"))
    pip(path, "install", "-q", "--only-binary", ":all:", built)
    return path


def site_packages(venv):
    return str(venv / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages")


SEND = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    from support import netguard
    netguard.install()                       # loopback only, in this child too
    del sys.path[0]
    import json, loguru, main, requests
    print(json.dumps({"main": main.__file__, "requests": requests.__file__,
                      "loguru": loguru.__file__, "type": type(main.send).__name__,
                      "dist_packages": [p for p in sys.path if "dist-packages" in p],
                      "reply": main.send(sys.argv[2], "installed")}))
""")


@pytest.mark.parametrize("kind", ["debian", pytest.param("pypi", marks=needs_pypi),
                                  pytest.param("wheel", marks=needs_pypi)])
def test_installed_module_sends_from_outside_the_tree(kind, request, tmp_path, monkeypatch):
    venv = request.getfixturevalue(kind)
    with ws.StandIn(["install-token"], workdir=str(tmp_path / "ca")) as standin:
        apply_standin_env(monkeypatch, standin)
        monkeypatch.delenv("PYTHONPATH", raising=False)
        out = guard.run([str(venv / "bin" / "python"), "-c", SEND, TESTS_DIR, "install-token"],
                        capture_output=True, text=True, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        seen = json.loads(out.stdout.splitlines()[-1])
        assert len(standin.requests) == 1
    assert seen["reply"] == str(ws.reply_payload("ok"))
    assert seen["main"].startswith(site_packages(venv))
    assert seen["type"] == "native_function_or_method"
    if kind == "debian":
        assert seen["dist_packages"] and seen["requests"].startswith("/usr/lib/python3/dist-packages/")
    else:                                    # nothing of the system's site packages
        assert seen["dist_packages"] == []
        assert seen["requests"].startswith(site_packages(venv))
        assert seen["loguru"].startswith(site_packages(venv))
    installed = sorted(os.listdir(site_packages(venv)))
    assert "main-stubs" in installed and "main.pyi" not in installed
    assert not [name for name in installed if name.startswith("main_testhelper")]


BAD_CALLS = ('import main\nmain.send("only-one")\nmain.send("a", "b", "c")\n'
             'main.send(token="a", text="b")\nmain.send(b"tok", None)\n')
MYPY_SAYS = [                                  # (line of bad.py, what mypy says)
    (2, 'Missing positional argument "text" in call to "send"'),
    (3, 'Too many arguments for "send"'),
    (4, 'Unexpected keyword argument "token" for "send"'),
    (5, 'Argument 1 to "send" has incompatible type "bytes"; expected "str"'),
    (5, 'Argument 2 to "send" has incompatible type "None"; expected "str"'),
]


@pytest.mark.parametrize("kind", ["debian", pytest.param("pypi", marks=needs_pypi)])
def test_type_checkers_find_the_stub_package(kind, request, tmp_path):
    """mypy (Debian's 1.0, or PyPI's newest) and, from PyPI, basedpyright find
    the installed stub without help: the python blocks of the README and of
    docs/recipes.md pass, wrong calls fail, stubtest agrees."""
    venv = request.getfixturevalue(kind)
    if kind == "debian":
        pytest.importorskip("mypy")              # the venv sees Debian's through the system site
    else:
        pip(venv, "install", "-q", "mypy", "basedpyright", "pytest")     # pytest: a recipe's fixture
    blocks = []
    for name in ("README.md", os.path.join("docs", "recipes.md")):
        with open(os.path.join(ROOT, name), encoding="utf-8") as f:
            blocks += re.findall(r"```python\n(.*?)```", f.read(), re.S)
    readme = [f"readme_{number}.py" for number in range(len(blocks))]
    for name, block in zip(readme, blocks):
        (tmp_path / name).write_text('access_token = secret = text = ""\n' + block)
    (tmp_path / "bad.py").write_text(BAD_CALLS)
    # requests (Debian's urllib3 too) ships no types of its own; nothing else may be missing.
    (tmp_path / "mypy.ini").write_text("[mypy]\n[mypy-requests.*,urllib3.*]\nignore_missing_imports = True\n")
    # pyright's own defaults (basedpyright's are stricter).
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "standard"}\n')
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}

    def run(*args):
        return guard.run([str(venv / "bin" / "python"), "-m", *args], capture_output=True,
                         text=True, env=env, cwd=tmp_path, minutes=10)

    mypy = ("mypy", "--no-incremental", "--cache-dir", os.devnull)
    good = run(*mypy, *readme)
    assert len(blocks) >= 8 and good.returncode == 0, good.stdout
    bad = run(*mypy, "bad.py")
    assert bad.returncode == 1
    errors = [line for line in bad.stdout.splitlines() if ": error: " in line]
    assert len(errors) == len(MYPY_SAYS), bad.stdout
    for line, message in MYPY_SAYS:
        assert f"bad.py:{line}: error: {message}" in bad.stdout, bad.stdout
    stubtest = run("mypy.stubtest", "main")
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
    if kind == "pypi":
        pyright = ("basedpyright", "--pythonpath", str(venv / "bin" / "python"), "--outputjson")
        good = run(*pyright, *readme)
        assert json.loads(good.stdout)["summary"]["errorCount"] == 0, good.stdout
        found = json.loads(run(*pyright, "bad.py").stdout)["generalDiagnostics"]
        assert sorted((d["range"]["start"]["line"] + 1, d["rule"]) for d in found if d["severity"] == "error") == [
            (2, "reportCallIssue"), (3, "reportCallIssue"), (4, "reportCallIssue"), (4, "reportCallIssue"),
            (5, "reportArgumentType"), (5, "reportArgumentType")], found
