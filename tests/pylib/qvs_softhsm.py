"""A SoftHSM2 token made by a test in a folder of its own: its configuration and key store never
touch the user's (~/.config, /var/lib/softhsm)."""

import dataclasses
import os
import pathlib
import subprocess

MODULE = "/usr/lib/softhsm/libsofthsm2.so"

# What a private key in the clear looks like: PEM armour, or the start of a DER EC private key
# (ECPrivateKey: version 1, then the 32-byte scalar).
CLEAR_PRIVATE_KEY_MARKERS = (b"BEGIN PRIVATE KEY", b"BEGIN EC PRIVATE KEY", b"\x02\x01\x01\x04\x20")


@dataclasses.dataclass(frozen=True)
class Token:
    label: str
    folder: pathlib.Path  # the token's key store: the only place its keys are kept
    env: dict  # SOFTHSM2_CONF naming the token's own configuration
    pin_file: pathlib.Path
    wrong_pin_file: pathlib.Path

    def options(self, pin_file=None):
        """qvs-release's options for a key in this token."""
        return ["--pkcs11-module", MODULE, "--pin-file", pin_file or self.pin_file]

    def pkcs11_tool(self, *args):
        result = subprocess.run(["pkcs11-tool", "--module", MODULE, "--token-label", self.label, "--login",
                                 "--pin", self.pin_file.read_text().strip(), *map(str, args)],
                                capture_output=True, text=True, timeout=60, env={**os.environ, **self.env})
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout

    def access_of(self, label):
        """The "Access:" line pkcs11-tool shows for the private key `label`."""
        listing = self.pkcs11_tool("--list-objects", "--type", "privkey").split("Private Key Object")
        for entry in listing:
            if f"label:      {label}\n" in entry:
                return next(line.split(":", 1)[1].strip() for line in entry.splitlines() if "Access:" in line)
        raise AssertionError(f"no private key {label} in token {self.label}")


def make_token(folder, label="release", pin="4711"):
    folder = pathlib.Path(folder)
    (folder / "tokens").mkdir(parents=True)
    config = folder / "softhsm2.conf"
    config.write_text(f"directories.tokendir = {folder / 'tokens'}\nobjectstore.backend = file\nlog.level = ERROR\n")
    env = {"SOFTHSM2_CONF": str(config)}
    made = subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", label, "--pin", pin, "--so-pin",
                           "0815"], capture_output=True, text=True, timeout=60, env={**os.environ, **env})
    assert made.returncode == 0, made.stdout + made.stderr
    (folder / "pin").write_text(pin + "\n")
    (folder / "wrong-pin").write_text(pin[::-1] + "0\n")
    return Token(label, folder / "tokens", env, folder / "pin", folder / "wrong-pin")


def files_holding_a_clear_private_key(root, secret=None, outside=None):
    """Files under `root` (but not under `outside`) that hold a private key in the clear: a marker
    above, or the key's own scalar `secret` when it is known."""
    found = []
    for path in pathlib.Path(root).rglob("*"):
        if not path.is_file() or (outside is not None and path.is_relative_to(outside)):
            continue
        data = path.read_bytes()
        if any(marker in data for marker in CLEAR_PRIVATE_KEY_MARKERS) or (secret and secret in data):
            found.append(str(path))
    return found
