"""The installed extension needs nothing beyond the C and C++ runtime.

A wheel that installs anywhere must not load a shared library that the target
machine may lack: libcrypto and utf8proc are linked in statically, and only
PyInit__orvane_compile leaves the module, so the copy of libcrypto inside it
cannot clash with a libcrypto that the host process loads.
"""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from orvane_compile import _orvane_compile

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="ELF linkage is checked on Linux only")

EXTENSION = os.path.realpath(_orvane_compile.__file__)

# Name prefixes of the C and C++ runtime, which every machine that runs the
# wheel has. Anything else in ldd's output fails the test.
ALLOWED_PREFIXES = (
    "linux-vdso.so",   # the kernel's, mapped into every process
    "linux-gate.so",   # the same on 32-bit x86
    "ld-linux",        # the dynamic loader (ld-linux-x86-64.so.2, ld-linux-aarch64.so.1)
    "ld64.so",         # the loader's name on s390x and ppc64
    "libc.so",
    "libm.so",
    "libpthread.so",   # part of libc since glibc 2.34; a separate file before
    "libdl.so",        # likewise
    "librt.so",        # likewise
    "libstdc++.so",
    "libgcc_s.so",
)


def ldd_names(path):
    ldd = shutil.which("ldd")
    assert ldd is not None, "ldd is not on the PATH"
    out = subprocess.run([ldd, path], capture_output=True, text=True, check=True).stdout
    names = []
    for line in out.splitlines():
        line = line.strip()
        if not line or line == "statically linked":
            continue
        # "libfoo.so.1 => /path/libfoo.so.1 (0x...)", "/lib64/ld-linux-x86-64.so.2 (0x...)",
        # or "libfoo.so.1 => not found".
        names.append(os.path.basename(line.split()[0]))
    return out, names


def test_ldd_names_only_the_c_and_cxx_runtime():
    out, names = ldd_names(EXTENSION)
    assert names, f"ldd printed nothing usable for {EXTENSION}:\n{out}"
    foreign = [name for name in names if not name.startswith(ALLOWED_PREFIXES)]
    assert foreign == [], f"{EXTENSION} needs libraries outside the C/C++ runtime:\n{out}"


def test_allowed_prefixes_catch_the_libraries_linked_in_statically():
    """The table refuses what the extension used to load (and still must not)."""
    for name in ("libcrypto.so.3", "libssl.so.3", "libutf8proc.so.2", "libpython3.11.so.1.0"):
        assert not name.startswith(ALLOWED_PREFIXES), name


def test_needed_entries_are_the_c_and_cxx_runtime():
    """The module's own DT_NEEDED entries, which ldd lists among their dependencies."""
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf (binutils) is not on the PATH")
    out = subprocess.run([readelf, "-d", EXTENSION], capture_output=True, text=True,
                         check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
    assert needed, out
    assert [name for name in needed if not name.startswith(ALLOWED_PREFIXES)] == [], needed


def test_only_the_module_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not on the PATH")
    out = subprocess.run([nm, "-D", "--defined-only", EXTENSION], capture_output=True,
                         text=True, check=True).stdout
    exported = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert exported == ["PyInit__orvane_compile"], exported


def test_works_beside_the_libcrypto_the_interpreter_loads():
    """With the system's (or the interpreter's) libcrypto loaded first, through the
    ssl and hashlib modules, the extension still computes its own SHA-256 digests."""
    script = r"""
import hashlib, json, ssl, sys, tempfile, os
from orvane_compile import Compiler
payload = b"orvane linkage check\n" * 1000
with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "payload.bin")
    with open(path, "wb") as f:
        f.write(payload)
    answer = json.loads(Compiler().command(json.dumps({"cmd": "artifact_bytes", "path": path})))
print(json.dumps({"answer": answer, "expected": hashlib.sha256(payload).hexdigest(),
                  "openssl": ssl.OPENSSL_VERSION}))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["answer"]["sha256"] == seen["expected"], seen
