"""Release trees for the end-to-end tests and the demo, written by the publisher tool itself."""

import hashlib
import pathlib
import subprocess

import qvs_wine

TEST_PRIVATE_KEY = qvs_wine.SOURCE_DIR / "tests" / "keys" / "test_update_key.pem"
TEST_LOG_KEY = qvs_wine.SOURCE_DIR / "tests" / "keys" / "test_log_key.pem"
TEST_LAUNCHER_LOG_KEY = qvs_wine.SOURCE_DIR / "tests" / "keys" / "test_launcher_log_key.pem"
CLIENT = pathlib.PurePosixPath("downloads/client")


def key_fingerprint(blob):
    """A public key file's fingerprint as qvs-release prints it: "SHA256:" and the file's digest."""
    return "SHA256:" + hashlib.sha256(pathlib.Path(blob).read_bytes()).hexdigest()


def tree_snapshot(root):
    """Every path below `root` with its bytes (None for a folder): a site byte for byte."""
    return {path.relative_to(root): path.read_bytes() if path.is_file() else None for path in root.rglob("*")}


def sample_package(version):
    """The sample host with the version appended after its image: a distinct package per version
    that still starts (Windows ignores bytes after the last section)."""
    return qvs_wine.SAMPLE_HOST.read_bytes() + f"\0qvs-sample-release {version}\0".encode()


class ReleaseSite:
    """The static tree an update service serves: downloads/client/{stable.manifest,.sig,packages/}."""

    def __init__(self, root, private_key=TEST_PRIVATE_KEY, tool=qvs_wine.QVS_RELEASE, log_key=None,
                 launcher_log_key=None):
        self.root = pathlib.Path(root)
        self.log_key = log_key
        self.launcher_log_key = launcher_log_key
        self.private_key = pathlib.Path(private_key)
        self.tool = pathlib.Path(tool)
        self.root.mkdir(parents=True, exist_ok=True)

    @property
    def manifest(self):
        return self.root / CLIENT / "stable.manifest"

    @property
    def signature(self):
        return self.root / CLIENT / "stable.manifest.sig"

    def proof(self, descriptor, signature):
        """Where the log serves the proof of a descriptor and signature: named by their leaf hash."""
        leaf = hashlib.sha256(b"\0" + descriptor + signature).hexdigest()
        return self.root / CLIENT / "log" / "proof" / leaf

    def package(self, name):
        return self.root / CLIENT / "packages" / name

    def run_publish(self, version, *options, package_bytes=None, name=None):
        """Runs publish with `options` added; returns the completed process."""
        data = sample_package(version) if package_bytes is None else package_bytes
        staging = self.root.parent / f".{self.root.name}-upload-{version}.exe"
        staging.write_bytes(data)
        command = [str(self.tool), "publish", "--private-key", str(self.private_key), "--site", str(self.root),
                   "--version", version, "--package", str(staging), *map(str, options)]
        if name:
            command += ["--name", name]
        if self.log_key:
            command += ["--log-key", str(self.log_key)]
        if self.launcher_log_key:
            command += ["--launcher-log-key", str(self.launcher_log_key)]
        try:
            return subprocess.run(command, capture_output=True, text=True, timeout=120)
        finally:
            staging.unlink(missing_ok=True)

    def publish(self, version, package_bytes=None, name=None, options=()):
        """Publishes `package_bytes` (default: the sample host for `version`) and returns its bytes."""
        data = sample_package(version) if package_bytes is None else package_bytes
        completed = self.run_publish(version, *options, package_bytes=data, name=name)
        if completed.returncode != 0:
            raise subprocess.CalledProcessError(completed.returncode, "qvs-release publish", completed.stdout,
                                                completed.stderr)
        return data
