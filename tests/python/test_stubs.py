"""The package is typed: stubs for the native module, py.typed, and mypy --strict.

Needs mypy; skipped with a message when it is not installed.
"""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import orvane_compile

pytest.importorskip("mypy", reason="mypy is not installed (pip install mypy)")

HERE = Path(__file__).parent
ERROR_LINE = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(cwd, cache_dir, *args):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir",
                           str(cache_dir), *args], cwd=cwd, capture_output=True, text=True)
    return done.returncode, done.stdout


def test_typing_files_are_installed():
    package = Path(orvane_compile.__file__).parent
    assert [(package / name).is_file() for name in ("py.typed", "_orvane_compile.pyi")] == [True, True]


def test_package_passes_mypy_strict(tmp_path, cache_dir):
    status, out = mypy(tmp_path, cache_dir, "-p", "orvane_compile")
    assert (status, out.startswith("Success: no issues found in ")) == (0, True), out


def test_typed_usage_passes_mypy_strict(tmp_path, cache_dir):
    shutil.copy(HERE / "typed_usage.py", tmp_path / "typed_usage.py")
    assert mypy(tmp_path, cache_dir, "typed_usage.py") == (0, "Success: no issues found in 1 source file\n")


def test_stub_matches_the_native_module(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "orvane_compile._orvane_compile"],
                          cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, "Success: no issues found in 1 module\n")


PRELUDE = "from orvane_compile import *\nfrom orvane_compile import Compiler, compile, check\n"

# (id, code after the prelude, the (line, error code) pairs mypy must report)
MISUSES = [
    ("command-takes-str", "Compiler().command(5)\n", [(3, "arg-type")]),
    ("command-returns-str", "n: int = Compiler().command('{}')\n", [(3, "assignment")]),
    ("version-is-static-str", "n: int = Compiler.version()\n", [(3, "assignment")]),
    ("compiler-is-final", "class Mine(Compiler):\n    pass\n", [(3, "misc")]),
    ("compiler-takes-nothing", "Compiler(1)\n", [(3, "call-arg")]),
    ("unknown-target", 'compile({}, target="arm")\n', [(3, "arg-type")]),
    ("unknown-opt-level", 'compile({}, opt_level="fast")\n', [(3, "arg-type")]),
    ("path-may-be-none", "p: str = compile({}).path\n", [(3, "assignment")]),
    ("manifest-is-frozen", 'compile({}).manifest.crate_name = "x"\n', [(3, "misc")]),
    ("files-are-a-tuple", "f: list[ManifestFile] = compile({}).manifest.files\n", [(3, "assignment")]),
    ("check-returns-warnings", "ok: bool = check({})\n", [(3, "assignment")]),
    ("strict-is-keyword-only", "check({}, True)\n", [(3, "call-arg")]),
    ("error-line-may-be-none", 'n: int = CompileError("request", "x").line\n', [(3, "assignment")]),
    ("warning-line-may-be-none", "n: int = check({})[0].column\n", [(3, "assignment")]),
    ("warnings-are-a-tuple", "w: list[str] = compile({}).warnings\n", [(3, "assignment")]),
    ("error-kind-is-literal", 'e = CompileError("warning", "x")\n', [(3, "arg-type")]),
    ("doctor-unknown-target", 'doctor(target="arm")\n', [(3, "arg-type")]),
    ("doctor-report-is-frozen", 'doctor().host = "x"\n', [(3, "misc")]),
    ("doctor-triple-may-be-none", "t: str = doctor().targets[0].triple\n", [(3, "assignment")]),
]


@pytest.mark.parametrize(("code", "errors"), [c[1:] for c in MISUSES], ids=[c[0] for c in MISUSES])
def test_misuse_is_caught(tmp_path, cache_dir, code, errors):
    (tmp_path / "misuse.py").write_text(PRELUDE + code)
    status, out = mypy(tmp_path, cache_dir, "--no-error-summary", "misuse.py")
    found = [(int(m.group(1)), m.group(2)) for m in map(ERROR_LINE.match, out.splitlines()) if m]
    assert (status, found) == (1, errors), out
