#!/usr/bin/env bash
# The demo: builds what it needs (reusing earlier builds), makes a demo signing key, builds a
# launcher that trusts only that key, then walks a user's road against a local HTTPS update
# service (demo/demo.py). Everything it makes stays in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."

demo=build/demo
source scripts/build-steps.sh
begin_build "$demo"

# A fresh signing key for this demo; never the committed test key.
key=$demo/demo-key
if [ ! -f "$key.pem" ] || [ ! -f "$key.pub" ]; then
  rm -f "$key.pem" "$key.pub"
  step "demo signing key" "$qvs_release" keygen --private-key "$key.pem" --public-key "$key.pub"
fi

# The launcher trusting the demo key, with the update host localhost, and the sample host.
# Configured every time: the trusted key is read at configure time.
launcher=$demo/launcher
step "configure the launcher (trusting $key.pub)" \
  cmake --preset windows -B "$launcher" -DQVS_TRUSTED_KEY_FILE="$PWD/$key.pub" -DQVS_UPDATE_HOST=localhost
step "QuorvantisSupport.exe and QuorvantisSupportHost.exe" \
  cmake --build "$launcher" --target QuorvantisSupport QuorvantisSupportHost

# The small Windows helpers: trust-ca puts the demo CA into the demo prefix's own Root store,
# read-shortcut reads the shortcuts back.
helpers=$demo/helpers
configured "$helpers" || step "configure the Windows helpers" cmake --preset windows-test -B "$helpers"
step "trust-ca.exe and read-shortcut.exe" cmake --build "$helpers" --target trust-ca read-shortcut

exec /usr/bin/python3 demo/demo.py
