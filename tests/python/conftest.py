import gc
import sys
import types

import pytest

from orvane_compile import Compiler


def _held_by_a_frame(handle, own):
    return any(isinstance(holder, types.FrameType) and holder is not own for holder in gc.get_referrers(handle))


@pytest.fixture
def compiler():
    handle = Compiler()
    yield handle
    # A test that caught an exception (pytest.raises) leaves its frame, which holds the handle, in
    # a cycle with the traceback; freed by a collection on another thread (a later test's worker),
    # the handle would be dropped on a stranger. Free such a frame here, on the handle's thread.
    if _held_by_a_frame(handle, sys._getframe()):
        del handle
        gc.collect()


@pytest.fixture(scope="session")
def big_version_cmd():
    """A version command padded with an ignored array of ~25 MB of numbers.

    The dispatcher has to read every byte of it, so a call takes long enough
    for other threads to be scheduled while it runs.
    """
    pad = ",".join(["1.25"] * 5_000_000)
    text = '{"cmd":"version","pad":[' + pad + "]}"
    assert len(text) > 20_000_000
    return text

