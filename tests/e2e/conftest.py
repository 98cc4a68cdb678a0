"""Fixtures shared by the end-to-end tests: the test PKI, a prefix that trusts the test CA, and
the two loopback HTTPS servers (never both at once: each takes 127.0.0.1:443)."""

import pytest

import prefixes
import qvs_site
from road import Road
from server_fixtures import fault_server, pki, serve_tree  # noqa: F401 (fixtures)


def pytest_configure(config):
    config.addinivalue_line("markers", "reproducibility: builds releases from fresh checkouts (slow)")


@pytest.fixture(scope="module")
def trusting_prefix(pki):
    """One prefix per test module, trusting the test CA."""
    prefix = prefixes.trusting_prefix(pki.trusted.ca_der)
    yield prefix
    prefix.close()


@pytest.fixture
def road(trusting_prefix):
    """A user who has never run the launcher, in this module's prefix."""
    road = Road(trusting_prefix)
    road.reset()
    yield road
    trusting_prefix.wait_idle()


@pytest.fixture
def site(tmp_path):
    """An empty release tree, published to with qvs-release and the test key."""
    return qvs_site.ReleaseSite(tmp_path / "site")
