"""The loopback HTTPS servers as pytest fixtures, for the launcher's end-to-end tests and the
tool's check tests alike: the test PKI, the fault-injecting server and nginx on a folder (never both
at once: each takes 127.0.0.1:443). A conftest imports the ones it needs."""

import pytest

import fault_server as fault_server_module
import nginx as nginx_module
import pki as pki_module


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return pki_module.make_pki(tmp_path_factory.mktemp("pki"))


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
