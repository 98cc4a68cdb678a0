"""A launcher built with the release log's P-256 key: it accepts a new release only with the proof
that it is the last entry of a checkpoint that key signed, in a larger tree than the stored
release's, and an ordinary start asks for nothing more."""

import re
import shutil
import subprocess

import pytest

import qvs_site
import qvs_wine
from road import DIALOG_CAPTION, DIALOG_LEAD, DIALOG_STYLE, dialogs

KEYS = qvs_wine.SOURCE_DIR / "tests" / "keys"
NOT_LOGGED = "The support update is not in the release log."
OLDER = "The support update is older than the release this launcher has seen."
REQUEST_FAILED = "The support update request failed."


@pytest.fixture(scope="module")
def logged_launcher():
    return qvs_wine.build_launcher(
        qvs_wine.BUILD_DIR / "logged-launcher", f"-DQVS_TRUSTED_KEY_FILE={KEYS / 'test_update_key.pub'}",
        "-DQVS_UPDATE_HOST=localhost", "-DQVS_ALLOW_TEST_KEY=ON", f"-DQVS_LOG_KEY_FILE={KEYS / 'test_launcher_log_key.vkey'}")


def logged_site(root, launcher_log_key=qvs_site.TEST_LAUNCHER_LOG_KEY):
    return qvs_site.ReleaseSite(root, log_key=qvs_site.TEST_LOG_KEY, launcher_log_key=launcher_log_key)


@pytest.fixture
def site(tmp_path):
    return logged_site(tmp_path / "site")


def served_pair(site):
    return site.manifest.read_bytes(), site.signature.read_bytes()


def serve_pair(site, pair):
    site.manifest.write_bytes(pair[0])
    site.signature.write_bytes(pair[1])


def assert_dialog(completed, sentence):
    assert completed.returncode == 1
    assert dialogs(completed.trace) == [
        type(dialogs(completed.trace)[0])(0, DIALOG_LEAD + sentence, DIALOG_CAPTION, DIALOG_STYLE)]


def assert_started(road, completed, version, starts):
    assert completed.returncode == 0
    assert dialogs(completed.trace) == []
    assert len(road.host_starts()) == starts
    assert road.host_starts()[-1].module_path.endswith(f"\\versions\\{version}\\QuorvantisSupportHost.exe")


def requests(server, count):
    return [entry.path for entry in server.wait_for_entries(count)]


def test_logged_releases_cost_one_request_when_new_and_none_when_stored(road, site, serve_tree, logged_launcher):
    site.publish("1.0.0")
    server = serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_started(road, road.start_installed(), "1.0.0", 1)
    proof_path = "/" + str(site.proof(*served_pair(site)).relative_to(site.root))
    assert requests(server, 4) == ["/downloads/client/stable.manifest", "/downloads/client/stable.manifest.sig",
                                   proof_path, "/downloads/client/packages/QuorvantisSupportHost-1.0.0.exe"]
    assert road.store_file(*proof_path.split("/")[-2:]).read_bytes() == site.proof(*served_pair(site)).read_bytes()

    # An ordinary start: the stored proof is checked again, nothing more is asked for.
    assert_started(road, road.start_installed(), "1.0.0", 2)
    assert len(server.wait_for_entries(6)) == 6

    # A new release: its proof, one request more than without the log.
    site.publish("1.1.0")
    assert_started(road, road.start_installed(), "1.1.0", 3)
    assert len(server.wait_for_entries(10)) == 10

    # Offline, the stored release and its proof are proven again; a damaged stored proof is refused.
    server.stop()
    assert_started(road, road.start_installed(), "1.1.0", 4)
    stored_proof = road.store_file("proof", site.proof(*served_pair(site)).name)
    stored_proof.write_bytes(stored_proof.read_bytes().replace(b"index 1", b"index 0"))
    assert_dialog(road.start_installed(), REQUEST_FAILED)


def replace_hash(proof):
    lines = proof.split(b"\n")
    lines[2] = bytes([lines[2][0] ^ 1]) + lines[2][1:]  # the first inclusion hash
    return b"\n".join(lines)


# What makes the served pair's proof unable to prove it; each refused on a first start (a proof
# that is not served at all fails as any fetch does).
PROOF_FAULTS = {
    "another entry's": lambda site, proof: shutil.copyfile(site.proof(*site.first_pair), proof),
    "an inclusion hash changed": lambda site, proof: proof.write_bytes(replace_hash(proof.read_bytes())),
    "truncated": lambda site, proof: proof.write_bytes(proof.read_bytes()[:len(proof.read_bytes()) // 2]),
    "its launcher signature dropped": lambda site, proof: proof.write_bytes(proof.read_bytes().rsplit(b"\xe2\x80\x94", 1)[0]),
}


@pytest.mark.parametrize("fault", PROOF_FAULTS)
def test_a_first_start_refuses_a_pair_its_proof_does_not_prove(road, site, serve_tree, logged_launcher, fault):
    site.publish("1.0.0")
    site.first_pair = served_pair(site)
    site.publish("1.1.0")
    PROOF_FAULTS[fault](site, site.proof(*served_pair(site)))
    serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_dialog(road.start_installed(), NOT_LOGGED)
    assert road.host_starts() == []


def test_a_proof_the_service_does_not_serve_fails_as_its_fetch_does(road, site, serve_tree, logged_launcher):
    site.publish("1.0.0")
    site.proof(*served_pair(site)).unlink()
    serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_dialog(road.start_installed(), "The support update service returned an unexpected response.")


@pytest.mark.parametrize("launcher_log_key", [KEYS / "other_launcher_log_key.pem", None],
                         ids=["another P-256 key", "the Ed25519 key only"])
def test_a_log_signed_without_the_launchers_key_is_refused(road, tmp_path, serve_tree, logged_launcher,
                                                           launcher_log_key):
    site = logged_site(tmp_path / "site", launcher_log_key)
    site.publish("1.0.0")
    serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_dialog(road.start_installed(), NOT_LOGGED)


def test_an_unlogged_release_is_refused_and_the_stored_host_starts(road, site, tmp_path, serve_tree, logged_launcher):
    site.publish("1.0.0")
    serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_started(road, road.start_installed(), "1.0.0", 1)
    # The update key alone signs 1.1.0 on another site: served here, no log holds it.
    unlogged = qvs_site.ReleaseSite(tmp_path / "unlogged")
    unlogged.publish("1.1.0")
    shutil.copytree(unlogged.root / "downloads" / "client" / "packages", site.root / "downloads" / "client" / "packages",
                    dirs_exist_ok=True)
    serve_pair(site, served_pair(unlogged))
    assert_started(road, road.start_installed(), "1.0.0", 2)
    assert not road.host_file("1.1.0").exists()


def test_an_older_logged_release_served_again_is_refused_and_published_again_is_accepted(road, site, serve_tree,
                                                                                        logged_launcher):
    site.publish("1.0.0")
    older = served_pair(site)
    site.publish("1.1.0")
    serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_started(road, road.start_installed(), "1.1.0", 1)

    # 1.0.0's own pair and its valid proof, served again (a replay, or a site restored from backup).
    newer = served_pair(site)
    serve_pair(site, older)
    assert_started(road, road.start_installed(), "1.1.0", 2)
    road.host_file("1.1.0").write_bytes(b"damaged")
    assert_dialog(road.start_installed(), OLDER)

    # Publishing 1.0.0 again logs it anew, in a larger tree: a deliberate rollback is accepted.
    serve_pair(site, newer)
    site.publish("1.0.0", options=["--allow-downgrade"])
    assert_started(road, road.start_installed(), "1.0.0", 3)


# The refresh's writes of a new release, in order (the shortcuts are in place): the package, its proof,
# the descriptor, its signature, the version record. A kill at any of them leaves a store whose
# current pair, when it is a published one, has its proof beside it; the next start completes it.
@pytest.mark.parametrize("kill_at", range(1, 6))
def test_a_kill_at_each_store_write_leaves_the_current_pair_with_its_proof(road, site, serve_tree, logged_launcher,
                                                                           kill_at):
    site.publish("1.0.0")
    older = served_pair(site)
    serve_tree(site.root)
    road.place_installed(logged_launcher)
    assert_started(road, road.start_installed(), "1.0.0", 1)
    site.publish("1.1.0")
    moves = ["kernel32.MoveFileExW", "kernelbase.MoveFileExW"]
    assert road.kill_when_traced(road.installed, lambda call: call.name == "MoveFileExW", moves,
                                 occurrence=kill_at)
    stored = (road.store_file("stable.manifest").read_bytes(), road.store_file("stable.manifest.sig").read_bytes())
    assert stored in (older, served_pair(site)) or stored == (served_pair(site)[0], older[1])
    if stored in (older, served_pair(site)):
        assert road.store_file("proof", site.proof(*stored).name).read_bytes() == site.proof(*stored).read_bytes()
    starts = len(road.host_starts())
    assert_started(road, road.start_installed(), "1.1.0", starts + 1)


@pytest.fixture(scope="module")
def recovering_launcher():
    """Built with a cold recovery key beside the update key and beside the log key."""
    return qvs_wine.build_launcher(
        qvs_wine.BUILD_DIR / "recovering-launcher", f"-DQVS_TRUSTED_KEY_FILE={KEYS / 'test_update_key.pub'}",
        f"-DQVS_RECOVERY_KEY_FILE={KEYS / 'test_recovery_key.pub'}", "-DQVS_UPDATE_HOST=localhost",
        "-DQVS_ALLOW_TEST_KEY=ON", f"-DQVS_LOG_KEY_FILE={KEYS / 'test_launcher_log_key.vkey'}",
        f"-DQVS_LOG_RECOVERY_KEY_FILE={KEYS / 'test_log_recovery_key.vkey'}")


# Which keys signed the descriptor and the checkpoint; what a first start then shows; how many
# ECDSA verifications it made (the descriptor's, then the proof's): the online key is tried first,
# so the ordinary release costs one of each and a recovery key one more only for the descriptor.
@pytest.mark.parametrize("update_key, log_key, sentence, verifications", [
    ("test_update_key", "test_launcher_log_key", None, 2),
    ("test_recovery_key", "test_launcher_log_key", None, 3),
    ("test_update_key", "test_log_recovery_key", None, 2),
    ("test_recovery_key", "test_log_recovery_key", None, 3),
    ("other_key", "test_launcher_log_key", "The update signature is not trusted.", 2),
    ("test_update_key", "other_launcher_log_key", NOT_LOGGED, 1),
], ids=["online keys", "update recovery key", "log recovery key", "both recovery keys", "a third update key",
        "a third log key"])
def test_a_launcher_with_recovery_keys_accepts_either_key_and_tries_the_online_one_first(
        road, tmp_path, serve_tree, recovering_launcher, update_key, log_key, sentence, verifications):
    site = qvs_site.ReleaseSite(tmp_path / "site", private_key=KEYS / f"{update_key}.pem",
                                log_key=qvs_site.TEST_LOG_KEY, launcher_log_key=KEYS / f"{log_key}.pem")
    site.publish("1.0.0")
    serve_tree(site.root)
    road.place_installed(recovering_launcher)
    completed = road.start_installed(relay=["user32.MessageBoxW", "bcrypt.BCryptVerifySignature"])
    if sentence is None:
        assert_started(road, completed, "1.0.0", 1)
    else:
        assert_dialog(completed, sentence)
    # The launcher's own calls (its image sits at 0x140000000), not crypt32's checks of the TLS chain.
    own = re.findall(r"Call bcrypt\.BCryptVerifySignature\(.*\) ret=14[0-9a-f]{7}$", completed.trace, re.MULTILINE)
    assert len(own) == verifications, own


def released(tool, *arguments):
    return subprocess.run([str(qvs_wine.QVS_RELEASE), tool, *map(str, arguments)], capture_output=True, text=True,
                          timeout=120)


def test_after_losing_both_keys_the_publisher_switches_to_the_recovery_keys_and_launchers_follow(
        road, tmp_path, pki, serve_tree, recovering_launcher):
    """The publisher's road after a loss: the recovery keys are refused until the switch is asked
    for, by name, for each key; launchers built with both keys take the release signed after it,
    and every check shows the switch."""
    online = tmp_path / "online-keys"
    online.mkdir()
    for name in ("test_update_key.pem", "test_launcher_log_key.pem"):
        shutil.copyfile(KEYS / name, online / name)
    site = qvs_site.ReleaseSite(tmp_path / "site", private_key=online / "test_update_key.pem",
                                log_key=qvs_site.TEST_LOG_KEY, launcher_log_key=online / "test_launcher_log_key.pem")
    site.publish("1.0.0", options=["--recovery-public-key", KEYS / "test_recovery_key.pub",
                                   "--log-recovery-public-key", KEYS / "test_log_recovery_key.vkey"])
    serve_tree(site.root)
    road.place_installed(recovering_launcher)
    assert_started(road, road.start_installed(), "1.0.0", 1)

    # Both online keys are lost.
    shutil.rmtree(online)
    site.private_key, site.launcher_log_key = KEYS / "test_recovery_key.pem", KEYS / "test_log_recovery_key.pem"
    before = qvs_site.tree_snapshot(site.root)
    for switches, refused_key in [((), "--switch-to-log-recovery-key"),
                                  (("--switch-to-log-recovery-key",), "--switch-to-recovery-key")]:
        refused = site.run_publish("1.1.0", *switches)
        assert refused.returncode == 1 and refused.stdout == "", refused
        assert refused_key in refused.stderr
        assert qvs_site.tree_snapshot(site.root) == before
    update = qvs_site.key_fingerprint(KEYS / "test_update_key.pub")
    recovery = qvs_site.key_fingerprint(KEYS / "test_recovery_key.pub")
    assert update in refused.stderr and recovery in refused.stderr

    site.publish("1.1.0", options=["--switch-to-recovery-key", "--switch-to-log-recovery-key"])
    assert_started(road, road.start_installed(), "1.1.0", 2)

    site_check = released("verify-site", site.root)
    assert site_check.returncode == 0, site_check.stderr
    assert f"update key {update} replaced by its recovery key {recovery}, from version 1.1.0" in site_check.stdout
    assert "launchers' log key localhost/downloads/client/log+" in site_check.stdout
    both = ["--public-key", KEYS / "test_update_key.pub", "--recovery-public-key", KEYS / "test_recovery_key.pub",
            "--ca", pki.trusted.ca_cert, "--log-public-key", site.root / "qvs-log-key.vkey"]
    served = released("check", *both, "localhost")
    assert served.returncode == 0, served.stderr
    assert "(signed by the recovery key), logged as entry 1 of 2" in served.stdout
    audit = released("audit-log", *both, "localhost")
    assert audit.returncode == 0, audit.stderr
    assert [line.rsplit(" ", 1)[1] for line in audit.stdout.splitlines()[:2]] == ["update", "recovery"]
