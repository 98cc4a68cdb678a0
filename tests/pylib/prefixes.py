"""Wine prefixes for end-to-end tests, and the small Windows helpers run inside them."""

import dataclasses
import pathlib

import qvs_wine

TOOLS_DIR = qvs_wine.BUILD_DIR / "tests" / "tools"
TRUST_CA = TOOLS_DIR / "trust-ca.exe"
FETCH_PROBE = TOOLS_DIR / "fetch-probe.exe"


def trust_ca(prefix, ca_der):
    """Adds a CA to the prefix's CurrentUser Root store; the machine's own store is untouched."""
    completed = prefix.run(TRUST_CA, qvs_wine.windows_path(ca_der))
    if completed.returncode != 0:
        raise RuntimeError(f"trust-ca failed ({completed.returncode}): {completed.stdout}{completed.stderr}")


def trusting_prefix(ca_der, root=None):
    """A booted prefix that trusts the CA in `ca_der`."""
    prefix = qvs_wine.WinePrefix(root).boot()
    try:
        trust_ca(prefix, ca_der)
    except Exception:
        prefix.close()
        raise
    return prefix


@dataclasses.dataclass(frozen=True)
class FetchResult:
    exit_code: int
    sentence: str  # the failure's sentence, "" on success
    body: bytes  # None unless the fetch succeeded


def fetch(prefix, resource_path, limit, out_dir, timeout=120):
    """One FetchUpdateResource call inside `prefix` through fetch-probe.exe."""
    out = pathlib.Path(out_dir) / "fetched.bin"
    out.unlink(missing_ok=True)
    completed = prefix.run(FETCH_PROBE, resource_path, limit, qvs_wine.windows_path(out), timeout=timeout)
    if completed.returncode not in (0, 1):
        raise RuntimeError(f"fetch-probe failed ({completed.returncode}): {completed.stdout}{completed.stderr}")
    body = out.read_bytes() if completed.returncode == 0 else None
    return FetchResult(completed.returncode, completed.stdout.strip(), body)
