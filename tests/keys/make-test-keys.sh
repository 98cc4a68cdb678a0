#!/usr/bin/env bash
# Makes the test-only key pairs with OpenSSL and writes them in the blob forms the tests use.
set -euo pipefail
cd "$(dirname "$0")"
for name in test_update_key test_recovery_key other_key; do
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$name.pem"
  openssl pkey -in "$name.pem" -outform DER -out "$name.der"
  /usr/bin/python3 - "$name" <<'PY'
import struct, sys
name = sys.argv[1]
der = open(f"{name}.der", "rb").read()
# PKCS#8 wraps SEC1 ECPrivateKey: the 32-byte scalar follows 04 20, the point follows 03 42 00 04.
d = der[der.index(b"\x04\x20") + 2:][:32]
point = der[der.index(b"\x03\x42\x00\x04") + 4:][:64]
open(f"{name}.pub", "wb").write(b"ECS1" + struct.pack("<I", 32) + point)
if name == "test_update_key":
    open(f"{name}.priv", "wb").write(b"ECS2" + struct.pack("<I", 32) + point + d)
PY
  rm "$name.der"
done
