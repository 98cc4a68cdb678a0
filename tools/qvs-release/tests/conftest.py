import pytest

import qvs_site
import qvs_softhsm
from qvs_publisher import TOOL, run_tool
from server_fixtures import fault_server, pki, serve_tree  # noqa: F401 (fixtures)


@pytest.fixture
def token(tmp_path, monkeypatch):
    """A SoftHSM2 token "release" of this test's own, seen by every qvs-release the test starts."""
    made = qvs_softhsm.make_token(tmp_path / "softhsm")
    for name, value in made.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("QVS_PKCS11_MODULE", raising=False)
    return made


@pytest.fixture
def tool():
    assert TOOL.exists(), f"build qvs-release first: {TOOL}"
    return run_tool




@pytest.fixture
def site(tmp_path):
    """An empty release tree, published to with qvs-release and the test key."""
    return qvs_site.ReleaseSite(tmp_path / "site")
