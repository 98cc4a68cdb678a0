"""Test certificates for the loopback HTTPS servers, made with the openssl command line.

A test CA and a "localhost" server certificate it signs; a second CA, which nobody trusts, with
its own "localhost" certificate. Run as a program: python3 pki.py FOLDER.
"""

import dataclasses
import pathlib
import subprocess
import sys

SERVER_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""

CA_EXTENSIONS = """\
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""


@dataclasses.dataclass(frozen=True)
class Authority:
    """One CA and the localhost server certificate it issued (PEM, plus the CA in DER)."""
    ca_cert: pathlib.Path
    ca_der: pathlib.Path
    server_cert: pathlib.Path
    server_key: pathlib.Path


@dataclasses.dataclass(frozen=True)
class Pki:
    trusted: Authority
    unknown: Authority


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _make_authority(folder, name, common_name):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "ca.cnf").write_text(CA_EXTENSIONS)
    (folder / "server.ext").write_text(SERVER_EXTENSIONS)
    ca_key, ca_cert = f"{name}-ca.key", f"{name}-ca.pem"
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
             "-subj", f"/CN={common_name}", "-keyout", ca_key, "-out", ca_cert,
             "-config", "ca.cnf", "-extensions", "ca", cwd=folder)
    _openssl("x509", "-in", ca_cert, "-outform", "DER", "-out", f"{name}-ca.der", cwd=folder)
    key, request, cert = f"{name}-localhost.key", f"{name}-localhost.csr", f"{name}-localhost.pem"
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", "/CN=localhost",
             "-keyout", key, "-out", request, cwd=folder)
    _openssl("x509", "-req", "-in", request, "-CA", ca_cert, "-CAkey", ca_key, "-CAcreateserial",
             "-sha256", "-days", "825", "-extfile", "server.ext", "-out", cert, cwd=folder)
    return Authority(ca_cert=folder / ca_cert, ca_der=folder / f"{name}-ca.der",
                     server_cert=folder / cert, server_key=folder / key)


def make_pki(folder):
    """Writes both authorities into `folder` (made if missing) and returns their files."""
    folder = pathlib.Path(folder)
    return Pki(trusted=_make_authority(folder, "test", "Quorvantis Test CA"),
               unknown=_make_authority(folder, "unknown", "Unknown Test CA"))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pki.py FOLDER")
    pki = make_pki(sys.argv[1])
    for authority in (pki.trusted, pki.unknown):
        for field in dataclasses.fields(authority):
            print(getattr(authority, field.name))
