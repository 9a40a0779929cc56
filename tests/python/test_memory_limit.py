"""A command that runs out of memory ends, with MemoryError or its normal answer.

Each case runs a dry run of three million inline candles in a child process
whose address space is capped (RLIMIT_AS) somewhere around what the command
needs: under the lower caps an allocation fails part way (while the request is
read, while the candle text grows, or when a helper thread cannot be started),
under the higher ones it succeeds. Whatever fails, the child must finish: a
hang, a crash or any other exception fails the test.
"""

import resource
import subprocess
import sys

import pytest

from _requests import MIN_STRATEGY, compile_request, expected_dry_run

MB = 1024 * 1024
CANDLES = 3_000_000
# The text of 1e15 is 1000000000000000.0: the candle file is nearly four times the size of
# the candles in the request, so its buffer grows (and moves) while it is digested.
CANDLE = "1e15"
OUT_OF_MEMORY = "<MemoryError>"
# With the interpreter, the command needs about 100 MB of address space (a dry run digests
# the candle text a piece at a time, without holding it): the lowest cap cannot be met and
# the highest leaves room to spare; between them the failure comes at a different allocation
# each time.
LIMITS_MB = tuple(range(60, 171, 10))

# Reads the request from stdin, then caps its own address space and runs the command.
CHILD = f"""
import resource, sys
from orvane_compile import Compiler
limit = int(sys.argv[1])
request = sys.stdin.read()
compiler = Compiler()
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    answer = compiler.command(request)
except MemoryError:
    answer = {OUT_OF_MEMORY!r}
sys.stdout.write(answer)
"""


@pytest.fixture(scope="module")
def request_text():
    candles = "[" + ",".join([CANDLE] * CANDLES) + "]"
    return compile_request(MIN_STRATEGY, embed_data='{"kind":"inline","candles":' + candles + "}")


@pytest.fixture(scope="module")
def answer():
    embed = {"kind": "inline", "candles": [float(CANDLE)] * CANDLES}
    return expected_dry_run(MIN_STRATEGY, crate="btc_usdt", embed=embed)


def run_capped(request_text, limit, tmp_path):
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, str(limit)],
            input=request_text,
            capture_output=True,
            text=True,
            cwd=tmp_path,
            timeout=120,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"a dry run under an address-space cap of {limit} bytes did not end within 120 s")
    return done


def test_the_request_answers_without_a_cap(request_text, answer, tmp_path):
    assert run_capped(request_text, resource.RLIM_INFINITY, tmp_path).stdout == answer


@pytest.mark.parametrize("limit_mb", LIMITS_MB, ids=[f"{mb}MB" for mb in LIMITS_MB])
def test_a_capped_dry_run_answers_or_raises_memory_error(request_text, answer, limit_mb, tmp_path):
    done = run_capped(request_text, limit_mb * MB, tmp_path)
    assert done.returncode == 0, done.stderr[-2000:]
    if limit_mb == LIMITS_MB[0]:
        expected = (OUT_OF_MEMORY,)
    elif limit_mb == LIMITS_MB[-1]:
        expected = (answer,)
    else:
        expected = (answer, OUT_OF_MEMORY)
    assert done.stdout in expected, done.stdout[:500]
