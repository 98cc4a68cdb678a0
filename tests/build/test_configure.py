"""The release configuration takes exactly one well-formed key and a host name, and refuses the
rest at configure time with a message that says what is wrong."""

import base64
import struct
import subprocess

import pytest

import qvs_wine

KEYS = qvs_wine.SOURCE_DIR / "tests" / "keys"
GOOD_KEY = (KEYS / "other_key.pub").read_bytes()


def configure(tmp_path, key_bytes=GOOD_KEY, host="updates.example.com", key_file=None, log_key_text=None,
              defines=()):
    build = tmp_path / "build"
    args = ["cmake", "--preset", "windows", "-B", str(build), "-Wno-dev", *defines]
    tmp_path.mkdir(parents=True, exist_ok=True)
    if log_key_text is not None:
        (tmp_path / "log.vkey").write_text(log_key_text)
        args.append(f"-DQVS_LOG_KEY_FILE={tmp_path / 'log.vkey'}")
    if key_file is None and key_bytes is not None:
        key_file = tmp_path / "update-key.pub"
        key_file.write_bytes(key_bytes)
    if key_file is not None:
        args.append(f"-DQVS_TRUSTED_KEY_FILE={key_file}")
    if host is not None:
        args.append(f"-DQVS_UPDATE_HOST={host}")
    completed = subprocess.run(args, cwd=qvs_wine.SOURCE_DIR, capture_output=True, text=True, timeout=300)
    return completed, build


def test_a_good_key_and_host_are_compiled_in(tmp_path):
    completed, build = configure(tmp_path)
    assert completed.returncode == 0, completed.stderr
    header = (build / "generated" / "build_config.h").read_text()
    assert 'L"updates.example.com"' in header
    assert ", ".join(f"0x{byte:02x}" for byte in GOOD_KEY) in header


@pytest.mark.parametrize("key_bytes, host, message", [
    (None, "updates.example.com", "QVS_TRUSTED_KEY_FILE is not set"),
    (GOOD_KEY, None, "QVS_UPDATE_HOST is not set"),
    (GOOD_KEY, "updates.example.com/evil", "is not a host name"),
    (GOOD_KEY[:71], "updates.example.com", "holds 71 bytes"),
    (GOOD_KEY + b"\0", "updates.example.com", "holds 73 bytes"),
    (b"", "updates.example.com", "holds 0 bytes"),
    (b"ECS2" + GOOD_KEY[4:], "updates.example.com", "is not an ECDSA P-256 public key blob"),
    (GOOD_KEY[:4] + struct.pack("<I", 48) + GOOD_KEY[8:], "updates.example.com", "is not an ECDSA P-256 public key blob"),
    ((KEYS / "test_update_key.pub").read_bytes(), "updates.example.com", "committed test-only key"),
], ids=["no key", "no host", "bad host", "71 bytes", "73 bytes", "empty", "private blob magic", "key length 48",
        "test key"])
def test_release_configuration_refuses(tmp_path, key_bytes, host, message):
    completed, _ = configure(tmp_path, key_bytes=key_bytes, host=host)
    assert completed.returncode != 0
    assert message in completed.stderr


def test_a_missing_key_file_is_refused(tmp_path):
    completed, _ = configure(tmp_path, key_file=tmp_path / "nowhere.pub")
    assert completed.returncode != 0
    assert "does not exist" in completed.stderr


GOOD_LOG_KEY = (KEYS / "other_launcher_log_key.vkey").read_text()


def test_a_log_key_is_compiled_in_and_without_one_the_log_is_not_checked(tmp_path):
    completed, build = configure(tmp_path / "with", log_key_text=GOOD_LOG_KEY)
    assert completed.returncode == 0, completed.stderr
    header = (build / "generated" / "build_config.h").read_text()
    assert "kChecksReleaseLog = true" in header
    origin, _, key = GOOD_LOG_KEY.strip().split("+", 2)
    point = base64.b64decode(key)[-64:]
    assert ", ".join(f"0x{byte:02x}" for byte in b"ECS1" + struct.pack("<I", 32) + point) in header
    assert ", ".join(f"0x{byte:02x}" for byte in origin.encode() + b"\0") in header
    completed, build = configure(tmp_path / "without")
    assert completed.returncode == 0, completed.stderr
    assert "kChecksReleaseLog = false" in (build / "generated" / "build_config.h").read_text()


@pytest.mark.parametrize("text, message", [
    ("not a key", "is not a log verifier key"),
    (GOOD_LOG_KEY.replace("+AjBZ", "+AjBa"), "is not an ECDSA P-256 log verifier key"),
    (GOOD_LOG_KEY[:-12] + "\n", "is not an ECDSA P-256 log verifier key"),
    ((KEYS / "test_log_key.vkey").read_text(), "the log's Ed25519 verifier key"),
    ((KEYS / "test_launcher_log_key.vkey").read_text(), "committed test-only log key"),
], ids=["not a key", "another key type", "cut short", "the Ed25519 key", "test key"])
def test_release_configuration_refuses_a_log_key(tmp_path, text, message):
    completed, _ = configure(tmp_path, log_key_text=text)
    assert completed.returncode != 0
    assert message in completed.stderr


# A recovery key for each key, as a file in tmp_path: the update key's (72 bytes) and the log key's.
LOG_RECOVERY = (KEYS / "test_log_recovery_key.vkey").read_text()


def recovery_defines(tmp_path, recovery_bytes=None, log_recovery_text=None):
    defines = []
    if recovery_bytes is not None:
        (tmp_path / "recovery.pub").write_bytes(recovery_bytes)
        defines.append(f"-DQVS_RECOVERY_KEY_FILE={tmp_path / 'recovery.pub'}")
    if log_recovery_text is not None:
        (tmp_path / "log-recovery.vkey").write_text(log_recovery_text)
        defines.append(f"-DQVS_LOG_RECOVERY_KEY_FILE={tmp_path / 'log-recovery.vkey'}")
    return defines


def test_recovery_keys_are_compiled_in_beside_the_keys_they_back(tmp_path):
    recovery = (KEYS / "test_update_key.pub").read_bytes()  # any other well-formed key (the test key with leave)
    tmp_path.mkdir(parents=True, exist_ok=True)
    completed, build = configure(tmp_path, log_key_text=GOOD_LOG_KEY, defines=[
        "-DQVS_ALLOW_TEST_KEY=ON", *recovery_defines(tmp_path, recovery, LOG_RECOVERY)])
    assert completed.returncode == 0, completed.stderr
    header = (build / "generated" / "build_config.h").read_text()
    assert "kHasRecoveryKey = true" in header and "kHasLogRecoveryKey = true" in header
    assert ", ".join(f"0x{byte:02x}" for byte in recovery) in header
    point = base64.b64decode(LOG_RECOVERY.strip().split("+", 2)[2])[-64:]
    assert ", ".join(f"0x{byte:02x}" for byte in b"ECS1" + struct.pack("<I", 32) + point) in header


@pytest.mark.parametrize("recovery_bytes, log_key_text, log_recovery_text, message", [
    (GOOD_KEY, None, None, "QVS_RECOVERY_KEY_FILE holds the update key itself"),
    (GOOD_KEY[:71], None, None, "QVS_RECOVERY_KEY_FILE holds 71 bytes"),
    ((KEYS / "test_recovery_key.pub").read_bytes(), None, None, "QVS_RECOVERY_KEY_FILE is the committed test-only key"),
    (None, None, LOG_RECOVERY, "set QVS_LOG_KEY_FILE too"),
    (None, GOOD_LOG_KEY, GOOD_LOG_KEY, "QVS_LOG_RECOVERY_KEY_FILE holds the log key itself"),
    (None, GOOD_LOG_KEY, LOG_RECOVERY.replace("localhost/", "localhost.example/"), "a recovery key signs the same log"),
    (None, GOOD_LOG_KEY, LOG_RECOVERY, "QVS_LOG_RECOVERY_KEY_FILE is the committed test-only log key"),
    (None, GOOD_LOG_KEY, (KEYS / "test_log_key.vkey").read_text(), "the log's Ed25519 verifier key"),
], ids=["the update key itself", "71 bytes", "test recovery key", "no log key", "the log key itself", "another log",
        "test log recovery key", "an Ed25519 key"])
def test_release_configuration_refuses_a_recovery_key(tmp_path, recovery_bytes, log_key_text, log_recovery_text,
                                                       message):
    tmp_path.mkdir(parents=True, exist_ok=True)
    completed, _ = configure(tmp_path, log_key_text=log_key_text,
                             defines=recovery_defines(tmp_path, recovery_bytes, log_recovery_text))
    assert completed.returncode != 0
    assert message in completed.stderr
