#!/usr/bin/env bash
# Authenticode-signs one exe with osslsigncode (SHA-256) and writes its detached signature beside
# the signed file; refuses a result from which the unsigned file cannot be had back exactly.
# release.sh signs through this; see docs/releasing.md.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/release-build.sh
source "$here/release-build.sh"

usage() {
  cat <<'EOF'
usage: scripts/sign-exe.sh --cert FILE --signing-key KEY [options] UNSIGNED.exe SIGNED.exe

  --cert FILE          the code-signing certificate and its chain, PEM
  --signing-key KEY    its private key: a PEM file or a PKCS#11 URI ("pkcs11:token=...;object=...")
  --pkcs11-module SO   the token's PKCS#11 module (needed with a pkcs11: key)
  --pin-file FILE      the key's passphrase or the token's PIN, read from FILE
  --timestamp URL      an RFC 3161 time-stamp server (may be given more than once)

Writes SIGNED.exe and SIGNED.exe.p7s, the detached signature (DER).
EOF
}

cert="" signing_key="" module="" pin_file="" timestamps=()
qvs_read_options "--cert=cert --signing-key=signing_key --pkcs11-module=module --pin-file=pin_file \
  --timestamp=timestamps[]" "$@"
files=("${operands[@]}")
if [ ${#files[@]} -ne 2 ] || [ -z "$cert" ] || [ -z "$signing_key" ]; then
  usage >&2
  exit 2
fi
unsigned=${files[0]} signed=${files[1]}
[ -f "$unsigned" ] || qvs_fail "$unsigned does not exist"
[ -f "$cert" ] || qvs_fail "the certificate $cert does not exist"
[ -z "$pin_file" ] || [ -f "$pin_file" ] || qvs_fail "the PIN file $pin_file does not exist"

args=(sign -h sha256 -n "Quorvantis Support" -certs "$cert")
if [[ $signing_key == pkcs11:* ]]; then
  [ -f "$module" ] || qvs_fail "a pkcs11: key needs --pkcs11-module, the token's PKCS#11 module"
  args+=(-pkcs11engine /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so -pkcs11module "$module" -key "$signing_key")
else
  [ -f "$signing_key" ] || qvs_fail "the signing key $signing_key does not exist"
  [ -z "$module" ] || qvs_fail "--pkcs11-module goes with a pkcs11: key"
  args+=(-key "$signing_key")
fi
[ -z "$pin_file" ] || args+=(-readpass "$pin_file")
for url in "${timestamps[@]}"; do
  args+=(-ts "$url")
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
osslsigncode "${args[@]}" -in "$unsigned" -out "$scratch/signed.exe" >"$scratch/log" 2>&1 ||
  { cat "$scratch/log" >&2; qvs_fail "signing $unsigned failed"; }
osslsigncode extract-signature -in "$scratch/signed.exe" -out "$scratch/signature.p7s" >"$scratch/log" 2>&1 ||
  { cat "$scratch/log" >&2; qvs_fail "cannot extract the signature of $unsigned"; }
# What an auditor and a rebuild rely on: removing the signature gives the build back, and
# attaching the detached signature to the build gives the signed file.
osslsigncode remove-signature -in "$scratch/signed.exe" -out "$scratch/removed.exe" >/dev/null 2>&1 || true
osslsigncode attach-signature -sigin "$scratch/signature.p7s" -in "$unsigned" -out "$scratch/attached.exe" \
  >/dev/null 2>&1 || true
if ! cmp -s "$scratch/removed.exe" "$unsigned" || ! cmp -s "$scratch/attached.exe" "$scratch/signed.exe"; then
  qvs_fail "the signed $(basename "$unsigned") does not give back its unsigned build"
fi
cp "$scratch/signature.p7s" "$signed.p7s"
cp "$scratch/signed.exe" "$signed"
