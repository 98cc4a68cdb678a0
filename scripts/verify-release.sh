#!/usr/bin/env bash
# The auditor's check: rebuilds a release from the commit its build records name, in a fresh
# folder, and compares each shipped exe (its Authenticode signature removed) with the rebuild.
# Prints "match" or names what differs; exit 0 all match, 1 something differs, 2 could not check.
# See docs/releasing.md.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/release-build.sh
source "$here/release-build.sh"

usage() {
  cat <<'EOF'
usage: scripts/verify-release.sh [options] RELEASE_DIR
       scripts/verify-release.sh [options] FILE.exe...   (each with FILE.buildinfo beside it)

  --key FILE     the publisher's public update key (default: update-key.pub beside the records)
  --repo REPO    the repository to clone the recorded commit from (default: this one)
  --work DIR     keep the clone and the rebuild in DIR, and reuse them next time (default: a
                 temporary folder, removed afterwards)
EOF
}

key="" repository="" work=""
qvs_read_options "--key=key --repo=repository --work=work" "$@"
targets=("${operands[@]}")
[ ${#targets[@]} -gt 0 ] || { usage >&2; exit 2; }

# The shipped files and their records.
exes=() records=()
if [ ${#targets[@]} -eq 1 ] && [ -d "${targets[0]}" ]; then
  for record in "${targets[0]}"/*.buildinfo; do
    [ -f "$record" ] || qvs_fail "${targets[0]} holds no build record (*.buildinfo)"
    records+=("$record")
    exes+=("$(dirname "$record")/$(sed -n 's/^file=//p' "$record")")
  done
else
  for exe in "${targets[@]}"; do
    exes+=("$exe")
    records+=("${exe%.exe}.buildinfo")
  done
fi

field() {
  sed -n "s/^$2=//p" "$1" | head -n 1
}

commit="" host="" key_sha256=""
for i in "${!records[@]}"; do
  record=${records[$i]}
  [ -f "$record" ] || qvs_fail "no build record $record"
  [ -f "${exes[$i]}" ] || qvs_fail "no shipped file ${exes[$i]} (named by $record)"
  [ "$(field "$record" file)" = "$(basename "${exes[$i]}")" ] || qvs_fail "$record describes another file"
  this_commit=$(field "$record" commit)
  this_host=$(field "$record" update_host)
  this_key=$(field "$record" trusted_key_sha256)
  [[ $this_commit =~ ^[0-9a-f]{40}$ ]] || qvs_fail "$record: commit is not a commit id"
  qvs_valid_host "$this_host" || qvs_fail "$record: update_host is not a host name"
  [[ $this_key =~ ^[0-9a-f]{64}$ ]] || qvs_fail "$record: trusted_key_sha256 is not a SHA-256"
  if [ -z "$commit" ]; then
    commit=$this_commit host=$this_host key_sha256=$this_key
  elif [ "$commit $host $key_sha256" != "$this_commit $this_host $this_key" ]; then
    qvs_fail "the records name different builds; check them one at a time"
  fi
done

key=${key:-$(dirname "${records[0]}")/update-key.pub}
[ -f "$key" ] || qvs_fail "no update key: give the publisher's public key with --key"
[ "$(qvs_sha256 "$key")" = "$key_sha256" ] ||
  qvs_fail "$key is not the key the records name (sha256 $key_sha256)"

echo "release of commit $commit for $host, trusting the key with sha256 $key_sha256"
notes=()
while IFS= read -r line; do
  recorded=$(grep -Fx -- "$line" "${records[0]}" || true)
  if [ -z "$recorded" ]; then
    package=${line%%=*}
    notes+=("${package#toolchain.} is ${line#*=} here, the record says $(field "${records[0]}" "$package")")
  fi
done < <(qvs_toolchain_versions)
for command in configure build; do
  ours=$(qvs_${command}_command "$host")
  [ "$(field "${records[0]}" "$command")" = "$ours" ] ||
    notes+=("the record's $command command is not this script's: $(field "${records[0]}" "$command")")
done
for note in "${notes[@]}"; do
  echo "note: $note"
done

# The shipped files against SHA256SUMS, when the release has one.
status=0
sums="$(dirname "${exes[0]}")/SHA256SUMS"
if [ -f "$sums" ]; then
  if ! failed=$(cd "$(dirname "$sums")" && sha256sum --check --quiet --strict SHA256SUMS 2>/dev/null); then
    while IFS= read -r line; do
      echo "SHA256SUMS: differs: $line"
    done <<<"${failed:-the file cannot be read}"
    status=1
  fi
fi

repository=${repository:-$(git -C "$here/.." rev-parse --show-toplevel)}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
qvs_checkout "$repository" "$commit" "$work"
qvs_build "$work" "$key" "$host"

for i in "${!exes[@]}"; do
  name=$(basename "${exes[$i]}")
  rebuilt=""
  for exe in "${QVS_RELEASE_EXES[@]}"; do
    [ "$(basename "$exe")" != "$name" ] || rebuilt="$work/build/$exe"
  done
  [ -n "$rebuilt" ] || qvs_fail "$name is not a file the release build makes"
  [ "$(qvs_sha256 "$rebuilt")" = "$(field "${records[$i]}" unsigned_sha256)" ] ||
    echo "note: the rebuilt $name is not the unsigned_sha256 its record names"
  result=0
  outcome=$(/usr/bin/python3 "$here/compare-build.py" "${exes[$i]}" "$rebuilt" --host "$host" --key "$key") || result=$?
  [ "$result" -le 1 ] || qvs_fail "$name: cannot compare"
  while IFS= read -r line; do
    echo "$name: $line"
  done <<<"$outcome"
  [ "$result" -eq 0 ] || status=1
done
if [ "$status" -eq 0 ]; then
  echo "match"
else
  [ ${#notes[@]} -eq 0 ] || echo "(the notes above may explain it)"
fi
exit "$status"
