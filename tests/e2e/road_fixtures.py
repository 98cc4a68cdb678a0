"""Fixtures of the launcher's end-to-end tests; test modules import them by name."""

import pytest

import qvs_site
from road import Road


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
