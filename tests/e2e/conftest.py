"""Fixtures shared by the end-to-end tests: the test PKI, a prefix that trusts the test CA, and
the two loopback HTTPS servers (never both at once: each takes 127.0.0.1:443)."""

import pytest

import fault_server as fault_server_module
import nginx as nginx_module
import pki as pki_module
import prefixes
import qvs_site
from road import Road


def pytest_configure(config):
    config.addinivalue_line("markers", "reproducibility: builds releases from fresh checkouts (slow)")


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return pki_module.make_pki(tmp_path_factory.mktemp("pki"))


@pytest.fixture(scope="module")
def trusting_prefix(pki):
    """One prefix per test module, trusting the test CA."""
    prefix = prefixes.trusting_prefix(pki.trusted.ca_der)
    yield prefix
    prefix.close()


@pytest.fixture
def fault_server(pki):
    """The fault-injecting server with the trusted localhost certificate; 404 for every path
    until the test routes it."""
    with fault_server_module.FaultServer(pki.trusted.server_cert, pki.trusted.server_key) as server:
        yield server


@pytest.fixture
def serve_tree(pki):
    """serve_tree(folder[, server_config]) starts nginx on the folder and returns it; stopped after
    the test."""
    servers = []

    def start(root, server_config=""):
        server = nginx_module.NginxServer(root, pki.trusted.server_cert, pki.trusted.server_key,
                                          server_config=server_config)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


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
