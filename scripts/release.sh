#!/usr/bin/env bash
# Builds a release of the launcher and the sample host from a clean checkout of one commit, signs
# both with Authenticode when given a code-signing certificate, and writes the release folder:
# the exes, a build record beside each, the detached signatures, the update key and SHA256SUMS.
# See docs/releasing.md.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/release-build.sh
source "$here/release-build.sh"

usage() {
  cat <<'EOF'
usage: scripts/release.sh --key update-key.pub --host HOST --out DIR [options]

  --key FILE           the 72-byte public update key the launcher trusts ('qvs-release keygen')
  --host NAME          the update service host compiled into the launcher
  --out DIR            the release folder to write; must not exist or be empty
  --commit REV         the commit to build (default HEAD), from a fresh clone of this repository
  --work DIR           keep the clone and the build folder in DIR (default: a temporary folder)

Authenticode signing (without --cert the release is unsigned):
  --cert FILE          the code-signing certificate and its chain, PEM
  --signing-key KEY    its private key: a PEM file or a PKCS#11 URI ("pkcs11:token=...;object=...")
  --pkcs11-module SO   the token's PKCS#11 module (needed with a pkcs11: key)
  --pin-file FILE      the key's passphrase or the token's PIN, read from FILE
  --timestamp URL      an RFC 3161 time-stamp server (may be given more than once)
EOF
}

# The Authenticode options go on to sign-exe.sh as they were given.
key="" host="" out="" rev=HEAD work="" cert="" signing_key="" signing=() signing_extras=""
while [ $# -gt 0 ]; do
  case $1 in
    --key | --host | --out | --commit | --work | --cert | --signing-key | --pkcs11-module | --pin-file | --timestamp)
      [ $# -ge 2 ] || { usage >&2; exit 2; }
      case $1 in
        --key) key=$2 ;;
        --host) host=$2 ;;
        --out) out=$2 ;;
        --commit) rev=$2 ;;
        --work) work=$2 ;;
        --cert) cert=$2; signing+=("$1" "$2") ;;
        --signing-key) signing_key=$2; signing+=("$1" "$2") ;;
        *) signing_extras=$1; signing+=("$1" "$2") ;;
      esac
      shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

if [ -z "$key" ] || [ -z "$host" ] || [ -z "$out" ]; then
  usage >&2
  exit 2
fi
[ -f "$key" ] || qvs_fail "the update key $key does not exist"
qvs_valid_host "$host" || qvs_fail "\"$host\" is not a host name"
if [ -z "$cert$signing_key" ] && [ -n "$signing_extras" ]; then
  qvs_fail "--pkcs11-module, --pin-file and --timestamp need --cert and --signing-key"
fi
if [ -n "$cert$signing_key" ]; then
  [ -n "$cert" ] || qvs_fail "signing needs --cert as well as --signing-key"
  [ -n "$signing_key" ] || qvs_fail "signing needs --signing-key as well as --cert"
  [ -f "$cert" ] || qvs_fail "the certificate $cert does not exist"
  [[ $signing_key == pkcs11:* ]] || [ -f "$signing_key" ] || qvs_fail "the signing key $signing_key does not exist"
fi
if [ -e "$out" ] && [ -n "$(ls -A "$out")" ]; then
  qvs_fail "$out is not empty; a release folder is written once"
fi

repository=$(git -C "$here/.." rev-parse --show-toplevel)
commit=$(git -C "$repository" rev-parse --verify --quiet "$rev^{commit}") || qvs_fail "$rev is not a commit"
if [ "$rev" = HEAD ] && [ -n "$(git -C "$repository" status --porcelain)" ]; then
  echo "note: $repository has uncommitted changes; building commit $commit without them"
fi

if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work" "$out"
work=$(cd "$work" && pwd)
qvs_checkout "$repository" "$commit" "$work"
qvs_build "$work" "$key" "$host"

key_sha256=$(qvs_sha256 "$key")
for exe in "${QVS_RELEASE_EXES[@]}"; do
  built="$work/build/$exe"
  name=$(basename "$exe")
  stem=${name%.exe}
  unsigned_sha256=$(qvs_sha256 "$built")
  if [ -n "$cert" ]; then
    "$here/sign-exe.sh" "${signing[@]}" "$built" "$out/$name"
    signed=yes
  else
    cp "$built" "$out/$name"
    signed=no
  fi
  {
    echo "# Build record of $name: what a rebuild needs to give the same bytes."
    echo "# scripts/verify-release.sh checks a shipped file against it (docs/releasing.md)."
    echo "file=$name"
    echo "commit=$commit"
    echo "update_host=$host"
    echo "trusted_key_sha256=$key_sha256"
    qvs_toolchain_versions
    echo "configure=$(qvs_configure_command "$host")"
    echo "build=$(qvs_build_command)"
    echo "unsigned_sha256=$unsigned_sha256"
    echo "authenticode=$signed"
  } >"$out/$stem.buildinfo"
done
cp "$key" "$out/update-key.pub"
files=$(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort)
(cd "$out" && xargs -d '\n' sha256sum <<<"$files" >SHA256SUMS)

echo
echo "release of commit $commit for $host in $out:"
(cd "$out" && ls -l)
if [ -n "$cert" ]; then
  echo "signed with Authenticode: $(openssl x509 -in "$cert" -noout -subject)"
else
  echo "unsigned: no --cert given. The exes are the reproducible build as it stands."
fi
echo
echo "Publish this very host file (its SHA-256 is what the descriptor will name):"
echo "  qvs-release publish --private-key update-key.pem --site site --version VERSION --package $out/QuorvantisSupportHost.exe"
