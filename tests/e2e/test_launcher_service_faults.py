"""The installed launcher with an empty release store against a service that misbehaves: with
nothing cached, the refresh's own failure is what the user reads in the error dialog."""

import hashlib

import pytest

from fault_server import Response
from road import AGENT, DIALOG_CAPTION, DIALOG_LEAD, Dialog, INSTALLED_NAME, DIALOG_STYLE, Release, dialogs, signed_descriptor

import qvs_site
import qvs_wine

DESCRIPTOR_PATH = "/downloads/client/stable.manifest"
SIGNATURE_PATH = "/downloads/client/stable.manifest.sig"
OTHER_PRIVATE_KEY = qvs_wine.SOURCE_DIR / "tests" / "keys" / "other_key.pem"
DESCRIPTOR_LIMIT = 4096
SIGNATURE_LIMIT = 64
PACKAGE_LIMIT = 16 * 1024 * 1024

UNEXPECTED = "The support update service returned an unexpected response."
REQUEST_FAILED = "The support update request failed."
TOO_LARGE = "The support update exceeded its safe size limit."
NOT_TRUSTED = "The update signature is not trusted."
INVALID_SIZE = "The update signature has an invalid size."
MISMATCH = "The downloaded support host did not match its signed descriptor."
NOT_STARTED = "The attended support host could not be started."


def package_path(version):
    return f"/downloads/client/packages/QuorvantisSupportHost-{version}.exe"


def descriptor_text(version, size, sha256, padding=0):
    """A descriptor with `padding` empty lines after the magic line (empty lines are skipped)."""
    return (b"QVS-SUPPORT-UPDATE-V1\n" + b"\n" * padding + f"version={version}\npath={package_path(version)}\n"
            f"size={size}\nsha256={sha256}\n".encode())


def make_release(version, package, size=None, sha256=None, length=None, key=qvs_site.TEST_PRIVATE_KEY):
    """A release whose descriptor states `size` and `sha256` (by default the package's own),
    padded with empty lines to `length` bytes when given."""
    size = len(package) if size is None else size
    sha256 = hashlib.sha256(package).hexdigest() if sha256 is None else sha256
    padding = 0 if length is None else length - len(descriptor_text(version, size, sha256))
    descriptor = descriptor_text(version, size, sha256, padding)
    return Release(version, package, descriptor, signed_descriptor(descriptor, key))


def serve(server, release, descriptor=None, signature=None, package=None):
    """Routes the release's three resources; a given Response replaces that resource's answer."""
    server.route(DESCRIPTOR_PATH, descriptor or Response(body=release.descriptor))
    server.route(SIGNATURE_PATH, signature or Response(body=release.signature))
    server.route(package_path(release.version), package or Response(body=release.package, chunk_size=65536))


@pytest.fixture
def installed(road):
    """A user whose launcher is installed and whose release store is empty."""
    road.place_installed()
    return road


def store_listing(road):
    return sorted(str(path.relative_to(road.data_folder)) for path in road.data_folder.rglob("*"))


def assert_requests(server, paths):
    """Exactly these requests, in this order, each with the launcher's user agent."""
    requests = server.requests
    assert [request.path for request in requests] == paths
    assert [request.user_agent for request in requests] == [AGENT] * len(paths)


def assert_refresh_failure_shown(completed, road, sentence):
    assert completed.returncode == 1
    assert dialogs(completed.trace) == [Dialog(0, DIALOG_LEAD + sentence, DIALOG_CAPTION, DIALOG_STYLE)]
    assert road.host_starts() == []


def assert_nothing_stored(road):
    assert store_listing(road) == [INSTALLED_NAME]


def assert_stored(road, release):
    assert road.store_file("stable.manifest").read_bytes() == release.descriptor
    assert road.store_file("stable.manifest.sig").read_bytes() == release.signature
    assert road.store_file("current.txt").read_bytes() == release.version.encode()
    assert road.host_file(release.version).read_bytes() == release.package
    assert road.staging_files() == []


@pytest.mark.parametrize("status", [204, 301, 302, 307, 308, 404, 500])
def test_descriptor_status_other_than_200_is_refused_and_redirects_are_not_followed(installed, fault_server, status):
    release = make_release("3.0.0", qvs_site.sample_package("3.0.0"))
    # The redirect target holds a good descriptor: following it would show as a second request.
    moved = "/downloads/client/moved.manifest"
    serve(fault_server, release, descriptor=Response(
        status=status, body=b"" if status == 204 else b"<html>moved</html>",
        headers=[("Location", f"https://localhost{moved}")] if 300 <= status < 400 else []))
    fault_server.route(moved, Response(body=release.descriptor))

    assert_refresh_failure_shown(installed.start_installed(), installed, UNEXPECTED)
    assert_requests(fault_server, [DESCRIPTOR_PATH])
    assert_nothing_stored(installed)


@pytest.mark.parametrize("offered, requests", [("Negotiate", 2), ("NTLM", 2), ('Basic realm="proxy"', 1)])
def test_a_proxy_asking_for_authentication_gets_one_more_request(installed, fault_server, offered, requests):
    """An authenticating proxy (407) is answered once with the user's own logon where the scheme
    can carry it, then the start fails as before."""
    release = make_release("3.0.0", qvs_site.sample_package("3.0.0"))
    serve(fault_server, release, descriptor=Response(status=407, body=b"<html>log in</html>",
                                                     headers=[("Proxy-Authenticate", offered)]))

    assert_refresh_failure_shown(installed.start_installed(), installed, UNEXPECTED)
    assert_requests(fault_server, [DESCRIPTOR_PATH] * requests)
    assert_nothing_stored(installed)


@pytest.mark.parametrize("resource, status", [("signature", 302), ("package", 404), ("package", 500)])
def test_signature_or_package_status_other_than_200_is_refused(installed, fault_server, resource, status):
    release = make_release("3.0.1", qvs_site.sample_package("3.0.1"))
    answer = Response(status=status, body=b"<html>no</html>",
                      headers=[("Location", "https://localhost/elsewhere")] if status == 302 else [])
    serve(fault_server, release, **{resource: answer})

    assert_refresh_failure_shown(installed.start_installed(), installed, UNEXPECTED)
    paths = [DESCRIPTOR_PATH, SIGNATURE_PATH] + ([package_path("3.0.1")] if resource == "package" else [])
    assert_requests(fault_server, paths)
    assert_nothing_stored(installed)


def test_descriptor_over_its_limit_is_refused_before_anything_else(installed, fault_server):
    release = make_release("3.1.0", qvs_site.sample_package("3.1.0"))
    # The publisher tool refuses to sign a descriptor this long; the signature of the unpadded one
    # stands in, and any client that read on would end in a signature failure instead.
    oversized = descriptor_text("3.1.0", len(release.package), hashlib.sha256(release.package).hexdigest(),
                                DESCRIPTOR_LIMIT + 1 - len(release.descriptor))
    assert len(oversized) == DESCRIPTOR_LIMIT + 1
    serve(fault_server, release, descriptor=Response(body=oversized, chunk_size=1000))

    assert_refresh_failure_shown(installed.start_installed(), installed, TOO_LARGE)
    assert_requests(fault_server, [DESCRIPTOR_PATH])
    assert_nothing_stored(installed)


def test_signature_over_its_limit_is_refused(installed, fault_server):
    release = make_release("3.1.1", qvs_site.sample_package("3.1.1"))
    # A good signature with one byte more: refused by its size, not by its content.
    serve(fault_server, release, signature=Response(body=release.signature + b"\0"))

    assert_refresh_failure_shown(installed.start_installed(), installed, TOO_LARGE)
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH])
    assert_nothing_stored(installed)


def test_package_over_its_limit_is_refused(installed, fault_server):
    body = qvs_site.sample_package("3.1.2")
    body += b"\0" * (PACKAGE_LIMIT + 1 - len(body))
    # The descriptor names the body's first 16 MiB, so a client that quietly cut the body at the
    # limit would find a matching package: only the limit itself can refuse it.
    release = make_release("3.1.2", body, size=PACKAGE_LIMIT, sha256=hashlib.sha256(body[:PACKAGE_LIMIT]).hexdigest())
    serve(fault_server, release)

    assert_refresh_failure_shown(installed.start_installed(), installed, TOO_LARGE)
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH, package_path("3.1.2")])
    assert_nothing_stored(installed)


def test_descriptor_and_package_exactly_at_their_limits_start_the_host(installed, fault_server):
    package = qvs_site.sample_package("3.2.0")
    package += b"\0" * (PACKAGE_LIMIT - len(package))
    release = make_release("3.2.0", package, length=DESCRIPTOR_LIMIT)
    assert (len(release.descriptor), len(release.signature), len(release.package)) == (
        DESCRIPTOR_LIMIT, SIGNATURE_LIMIT, PACKAGE_LIMIT)
    serve(fault_server, release)

    completed = installed.start_installed()
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH, package_path("3.2.0")])
    assert_stored(installed, release)
    starts = installed.host_starts()
    assert len(starts) == 1
    assert starts[0].module_path.lower().endswith("\\versions\\3.2.0\\quorvantissupporthost.exe")


# Wine's WinHTTP reports a connection that breaks while the body is read as the end of the body,
# so the fetch itself succeeds with the bytes that came before the cut (Windows would fail the
# read instead). The trust checks still refuse what arrived: a cut descriptor does not verify, a
# cut signature has the wrong size and a cut package does not match its descriptor.
@pytest.mark.parametrize("resource, cut_after, sentence", [
    ("descriptor", 60, NOT_TRUSTED),
    ("signature", 32, INVALID_SIZE),
    ("package", 500_000, MISMATCH),
])
@pytest.mark.parametrize("cut", ["close", "reset"])
def test_connection_cut_while_the_body_is_read(installed, fault_server, resource, cut_after, sentence, cut):
    release = make_release("3.3.0", qvs_site.sample_package("3.3.0"))
    body = {"descriptor": release.descriptor, "signature": release.signature, "package": release.package}[resource]
    assert cut_after < len(body)
    serve(fault_server, release, **{resource: Response(body=body, chunk_size=8192, cut_after=cut_after, cut=cut)})

    assert_refresh_failure_shown(installed.start_installed(), installed, sentence)
    paths = {"descriptor": [DESCRIPTOR_PATH, SIGNATURE_PATH],
             "signature": [DESCRIPTOR_PATH, SIGNATURE_PATH],
             "package": [DESCRIPTOR_PATH, SIGNATURE_PATH, package_path("3.3.0")]}[resource]
    assert_requests(fault_server, paths)
    assert_nothing_stored(installed)


def test_unknown_certificate_authority_fails_the_request(installed, fault_server, pki):
    serve(fault_server, make_release("3.4.0", qvs_site.sample_package("3.4.0")))
    fault_server.use_certificate(pki.unknown.server_cert, pki.unknown.server_key)

    assert_refresh_failure_shown(installed.start_installed(), installed, REQUEST_FAILED)
    assert fault_server.connection_count >= 1
    assert fault_server.requests == []
    assert_nothing_stored(installed)


def test_descriptor_signed_by_another_key_is_not_trusted(installed, fault_server):
    serve(fault_server, make_release("3.5.0", qvs_site.sample_package("3.5.0"), key=OTHER_PRIVATE_KEY))

    assert_refresh_failure_shown(installed.start_installed(), installed, NOT_TRUSTED)
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH])
    assert_nothing_stored(installed)


def test_signature_of_63_bytes_has_an_invalid_size(installed, fault_server):
    release = make_release("3.5.1", qvs_site.sample_package("3.5.1"))
    serve(fault_server, release, signature=Response(body=release.signature[:63]))

    assert_refresh_failure_shown(installed.start_installed(), installed, INVALID_SIZE)
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH])
    assert_nothing_stored(installed)


@pytest.mark.parametrize("damage", ["shorter", "longer", "one byte changed"])
def test_package_that_differs_from_its_descriptor_is_not_stored(installed, fault_server, damage):
    release = make_release("3.6.0", qvs_site.sample_package("3.6.0"))
    body = release.package
    served = {"shorter": body[:-1], "longer": body + b"\0",
              "one byte changed": body[:1000] + bytes([body[1000] ^ 0x01]) + body[1001:]}[damage]
    serve(fault_server, release, package=Response(body=served, chunk_size=65536))

    assert_refresh_failure_shown(installed.start_installed(), installed, MISMATCH)
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH, package_path("3.6.0")])
    assert_nothing_stored(installed)


def test_proven_package_the_shell_cannot_start_is_stored_but_not_started(installed, fault_server):
    release = make_release("3.7.0", b"This file is no program, though it is signed and described.\r\n" * 40)
    serve(fault_server, release)

    assert_refresh_failure_shown(installed.start_installed(), installed, NOT_STARTED)
    assert_requests(fault_server, [DESCRIPTOR_PATH, SIGNATURE_PATH, package_path("3.7.0")])
    # The refresh proved and stored it; only the start failed.
    assert_stored(installed, release)
