import pytest

from orvane_compile import Compiler


@pytest.fixture
def compiler():
    return Compiler()


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

