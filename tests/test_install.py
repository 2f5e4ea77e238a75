"""Installing the package like any Python package: pip into a virtual environment."""
import os
import subprocess
import sys

import pytest

from conftest import ROOT

pytestmark = pytest.mark.skipif(sys.executable != "/usr/bin/python3",
                                reason="installs for Debian's /usr/bin/python3 only")


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    path = tmp_path_factory.mktemp("venv")
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(path)], check=True)
    pip = subprocess.run([str(path / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", "-q", ROOT],
                         capture_output=True, text=True)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    return path


def site_packages(venv):
    return str(venv / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages")


def test_installed_module_works_outside_the_tree(venv, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run(
        [str(venv / "bin" / "python"), "-c",
         "import main; print(main.__file__); print(type(main.send).__name__)"],
        capture_output=True, text=True, cwd=tmp_path, env=env, check=True).stdout.splitlines()
    assert out[0].startswith(site_packages(venv))
    assert out[1] == "native_function_or_method"
    installed = sorted(os.listdir(site_packages(venv)))
    assert "main.pyi" in installed
    assert not [name for name in installed if name.startswith("main_testhelper")]


def test_type_stub_accepts_a_correct_call_and_rejects_a_short_one(venv, tmp_path):
    pytest.importorskip("mypy")
    good = tmp_path / "good.py"
    good.write_text('import main\nreply: str = main.send("token", "text")\n'
                    'main.send(access_token="token", text="text")\n')
    bad = tmp_path / "bad.py"
    bad.write_text('import main\nmain.send("only-one")\n')
    env = dict(os.environ, MYPYPATH=site_packages(venv))
    env.pop("PYTHONPATH", None)

    def mypy(path):
        return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
                               str(path)], capture_output=True, text=True, env=env, cwd=tmp_path)

    ok = mypy(good)
    assert ok.returncode == 0, ok.stdout
    rejected = mypy(bad)
    assert rejected.returncode == 1
    assert 'Missing positional argument "text" in call to "send"' in rejected.stdout
