"""The update service client inside a Wine prefix that trusts the test CA, against the
fault-injecting server and nginx on 127.0.0.1:443 ("localhost" in the test build)."""

import os
import subprocess

import pytest

import prefixes
import qvs_wine
from fault_server import Response

UNEXPECTED = "The support update service returned an unexpected response."
REQUEST_FAILED = "The support update request failed."
TOO_LARGE = "The support update exceeded its safe size limit."
USER_AGENT = "Quorvantis Support Native Launcher/1.0"
PACKAGE_LIMIT = 16 * 1024 * 1024


@pytest.fixture
def fetch(trusting_prefix, tmp_path):
    def run(resource_path, limit=4096):
        return prefixes.fetch(trusting_prefix, resource_path, limit, tmp_path)

    return run


def assert_body(result, expected):
    assert (result.exit_code, result.sentence) == (0, "")
    assert result.body == expected


@pytest.mark.parametrize("framing, size, chunk_size", [
    ("length", 5, 16384),
    ("length", 300_000, 7000),
    ("chunked", 300_000, 1000),
    ("close", 70_000, 4096),
])
def test_body_is_returned_byte_for_byte(fault_server, fetch, framing, size, chunk_size):
    body = os.urandom(size)
    fault_server.route("/downloads/client/stable.manifest",
                       Response(body=body, framing=framing, chunk_size=chunk_size))
    assert_body(fetch("/downloads/client/stable.manifest", limit=PACKAGE_LIMIT), body)
    assert len(fault_server.requests) == 1


@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_empty_body_is_an_empty_result(fault_server, fetch, framing):
    fault_server.route("/empty", Response(body=b"", framing=framing))
    assert_body(fetch("/empty", limit=0), b"")


@pytest.mark.parametrize("size, limit, framing, chunk_size", [
    (4096, 4096, "length", 1000),
    (4097, 4096, "length", 1000),
    (64, 64, "chunked", 10),
    (65, 64, "chunked", 10),
    (1, 0, "length", 16384),
    (PACKAGE_LIMIT, PACKAGE_LIMIT, "length", 65536),
    (PACKAGE_LIMIT + 1, PACKAGE_LIMIT, "chunked", 65536),
])
def test_size_limit_is_inclusive(fault_server, fetch, size, limit, framing, chunk_size):
    body = os.urandom(size)
    fault_server.route("/body", Response(body=body, framing=framing, chunk_size=chunk_size))
    result = fetch("/body", limit=limit)
    if size <= limit:
        assert_body(result, body)
    else:
        assert (result.exit_code, result.sentence, result.body) == (1, TOO_LARGE, None)


def test_size_limit_fails_on_the_announced_chunk_without_waiting_for_the_rest(fault_server, fetch):
    # The server sends one byte past the limit, then holds the rest back. Reading on would end
    # in the receive time-out ("interrupted"); the client must refuse at once.
    fault_server.route("/big", Response(body=b"x" * 20_000, stall_after=4097))
    result = fetch("/big", limit=4096)
    assert (result.exit_code, result.sentence) == (1, TOO_LARGE)


@pytest.mark.parametrize("status", [204, 301, 302, 307, 308, 404, 500])
def test_only_status_200_is_accepted_and_redirects_are_not_followed(fault_server, fetch, status):
    fault_server.route("/target", Response(body=b"redirected"))
    fault_server.route("/downloads/client/stable.manifest", Response(
        status=status, body=b"" if status == 204 else b"<html>no</html>",
        headers=[("Location", "https://localhost/target")] if 300 <= status < 400 else []))
    result = fetch("/downloads/client/stable.manifest")
    assert (result.exit_code, result.sentence) == (1, UNEXPECTED)
    assert [request.path for request in fault_server.requests] == ["/downloads/client/stable.manifest"]


def test_request_carries_the_user_agent_and_no_accept_header(fault_server, fetch):
    fault_server.route("/downloads/client/stable.manifest.sig", Response(body=b"s" * 64))
    assert_body(fetch("/downloads/client/stable.manifest.sig", limit=64), b"s" * 64)
    (request,) = fault_server.requests
    assert (request.method, request.path, request.version) == ("GET", "/downloads/client/stable.manifest.sig",
                                                                "HTTP/1.1")
    assert request.user_agent == USER_AGENT
    assert request.header("Host") == "localhost"
    names = {name.lower() for name, _ in request.headers}
    assert not names & {"accept", "referer", "cookie", "authorization", "content-type", "transfer-encoding"}
    assert request.header("Content-Length") in (None, "0")


def test_unknown_ca_is_refused_before_any_request(fault_server, fetch, pki):
    fault_server.use_certificate(pki.unknown.server_cert, pki.unknown.server_key)
    fault_server.route("/downloads/client/stable.manifest", Response(body=b"never"))
    result = fetch("/downloads/client/stable.manifest")
    assert (result.exit_code, result.sentence) == (1, REQUEST_FAILED)
    assert fault_server.connection_count >= 1
    assert fault_server.requests == []


def test_nothing_listening_fails_the_request(fetch):
    result = fetch("/downloads/client/stable.manifest")
    assert (result.exit_code, result.sentence) == (1, REQUEST_FAILED)


def test_test_ca_is_trusted_only_by_the_prefix_that_added_it(pki, fault_server, tmp_path):
    fault_server.route("/ok", Response(body=b"ok"))
    # The machine's own trust store does not know the test CA...
    verify = subprocess.run(["openssl", "verify", str(pki.trusted.server_cert)], capture_output=True)
    assert verify.returncode != 0
    # ...and neither does a prefix that did not run trust-ca.
    plain = qvs_wine.WinePrefix().boot()
    try:
        result = prefixes.fetch(plain, "/ok", 4096, tmp_path)
    finally:
        plain.close()
    assert (result.exit_code, result.sentence) == (1, REQUEST_FAILED)
    assert fault_server.requests == []


@pytest.mark.parametrize("framing", ["length", "chunked"])
@pytest.mark.parametrize("cut", ["close", "reset", "garbage"])
def test_connection_cut_mid_body_ends_the_body_under_wine(fault_server, fetch, framing, cut):
    # Wine's WinHTTP reports a broken transfer (a plain close, a reset, an undecryptable record;
    # with Content-Length or chunked) as the end of the body, so the client returns what came
    # before the cut. Callers must and do judge the body by its signature, size and digest.
    body = os.urandom(100_000)
    fault_server.route("/cut", Response(body=body, framing=framing, chunk_size=8192, cut_after=50_000, cut=cut))
    assert_body(fetch("/cut", limit=PACKAGE_LIMIT), body[:50_000])


def test_no_response_headers_within_the_receive_timeout_fails_the_request(fault_server, fetch):
    # The one time-out test (15 s): Wine needs the response time-out option to bound this wait.
    fault_server.route("/silent", Response(body=b"late", stall_before_headers=True))
    result = fetch("/silent")
    assert (result.exit_code, result.sentence) == (1, REQUEST_FAILED)


def test_nginx_serves_a_published_tree_byte_for_byte(serve_tree, fetch, tmp_path):
    tree = tmp_path / "tree"
    client = tree / "downloads" / "client"
    (client / "packages").mkdir(parents=True)
    manifest = b"QVS-SUPPORT-UPDATE-V1\nversion=1.2.3\n"
    package = os.urandom(3 * 1024 * 1024 + 17)
    (client / "stable.manifest").write_bytes(manifest)
    (client / "packages" / "Host 1.2.3.exe").write_bytes(package)
    server = serve_tree(tree)

    assert_body(fetch("/downloads/client/stable.manifest"), manifest)
    # The path reaches the server as given: escaping is the caller's business.
    assert_body(fetch("/downloads/client/packages/Host%201.2.3.exe", limit=PACKAGE_LIMIT), package)
    missing = fetch("/downloads/client/stable.manifest.sig", limit=64)
    assert (missing.exit_code, missing.sentence) == (1, UNEXPECTED)

    entries = server.wait_for_entries(3)
    assert [(entry.method, entry.path, entry.status) for entry in entries] == [
        ("GET", "/downloads/client/stable.manifest", 200),
        ("GET", "/downloads/client/packages/Host%201.2.3.exe", 200),
        ("GET", "/downloads/client/stable.manifest.sig", 404),
    ]
    assert {entry.user_agent for entry in entries} == {USER_AGENT}
    assert {entry.accept for entry in entries} == {""}
