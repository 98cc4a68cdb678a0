"""A release pipeline that ends in object storage behind a CDN: publish, then upload into a bucket of
Ceph's radosgw, with nginx on 127.0.0.1:443 as the CDN's edge (a proxy cache in front of the bucket),
and the logged launcher under Wine fetching through that edge."""

import subprocess

import pytest

import nginx
import object_store
import qvs_site
import qvs_wine
from test_launcher_logged import assert_started, logged_launcher, logged_site  # noqa: F401 (a fixture)

BUCKET = "qvs-updates"
KEYS = qvs_wine.SOURCE_DIR / "tests" / "keys"

# The edge: keeps what the bucket says it may, asks again for what it must revalidate.
EDGE_CACHE = "    proxy_cache_path @PREFIX@/cache levels=1:2 keys_zone=edge:1m inactive=1d use_temp_path=off;\n"
EDGE = """\
        location /downloads/ {{
            proxy_pass http://127.0.0.1:{port}/{bucket}/downloads/;
            proxy_http_version 1.1;
            proxy_cache edge;
            proxy_cache_revalidate on;
            add_header X-Cache-Status $upstream_cache_status always;
        }}
"""


@pytest.fixture(scope="module")
def store(pki):
    with object_store.CephStore(pki.trusted.server_cert, pki.trusted.server_key) as started:
        started.make_bucket(BUCKET)
        yield started


@pytest.fixture
def edge(store, pki, tmp_path):
    (tmp_path / "empty").mkdir()
    with nginx.NginxServer(tmp_path / "empty", pki.trusted.server_cert, pki.trusted.server_key,
                           http_config=EDGE_CACHE,
                           server_config=EDGE.format(port=store.http_port, bucket=BUCKET)) as server:
        yield server


def upload(store, pki, site, *options):
    return subprocess.run([str(qvs_wine.QVS_RELEASE), "upload", "--endpoint", store.https_endpoint, "--ca",
                           str(pki.trusted.ca_cert), *map(str, options), str(site.root), f"s3://{BUCKET}"],
                          capture_output=True, text=True, timeout=300, env={**store.credentials, "PATH": "/usr/bin"})


def test_publish_upload_and_check_end_a_release_that_launchers_fetch_through_the_edge(
        road, tmp_path, store, edge, pki, logged_launcher):  # noqa: F811
    site = logged_site(tmp_path / "site")
    site.publish("1.0.0")
    first = upload(store, pki, site)
    assert first.returncode == 0, first.stderr
    road.place_installed(logged_launcher)
    assert_started(road, road.start_installed(), "1.0.0", 1)

    site.publish("1.1.0")
    second = upload(store, pki, site, "--check", "localhost", "--public-key", KEYS / "test_update_key.pub",
                    "--log-public-key", site.root / "qvs-log-key.vkey", "--check-ca", pki.trusted.ca_cert,
                    "--wait", 60)
    assert second.returncode == 0, second.stderr
    assert "Uploaded version 1.1.0 to s3://qvs-updates: 7 objects" in second.stdout
    assert "logged as entry 1 of 2" in second.stdout.splitlines()[-1]
    assert_started(road, road.start_installed(), "1.1.0", 2)

    # What the launcher fetched came through the edge from the bucket; the pair was asked for again.
    launcher_paths = [entry.path for entry in edge.entries() if entry.user_agent.startswith("Quorvantis")]
    assert "/downloads/client/packages/QuorvantisSupportHost-1.1.0.exe" in launcher_paths
    assert launcher_paths.count("/downloads/client/stable.manifest") >= 2
    assert all(entry.status == 200 for entry in edge.entries())
