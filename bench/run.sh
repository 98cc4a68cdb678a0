#!/usr/bin/env bash
# The start-path benchmark: builds what it needs into build/bench/ (reusing earlier builds), then
# times the launcher beside the floor under Wine against nginx on 127.0.0.1:443 (bench/bench.py)
# and prints the table. Options go to bench.py, e.g.
#   bash bench/run.sh --rounds 20 --sizes 16
#   bash bench/run.sh --logged     # launcher and floor built with the release log's (test) key
#   bash bench/run.sh --recovering # the same, and the launcher with a recovery key beside each key
#   bash bench/run.sh --launcher before=/path/to/old/QuorvantisSupport.exe --launcher after=build/bench/windows/launcher/QuorvantisSupport.exe
# Any launcher given must trust the test key (tests/keys) and use the update host localhost.
set -euo pipefail
cd "$(dirname "$0")/.."

bench=build/bench
source scripts/build-steps.sh
begin_build "$bench"

# The launcher, the sample host, the floor and the CA helper: the windows-test configuration (the
# release flags, the test key, localhost), only these targets; with --logged, in a build of its
# own that also checks the release log.
windows=$bench/windows
log_key=()
forwarded=()
for arg in "$@"; do
  if [ "$arg" = --logged ]; then
    windows=$bench/windows-logged
    log_key=("-DQVS_LOG_KEY_FILE=$PWD/tests/keys/test_launcher_log_key.vkey")
  elif [ "$arg" = --recovering ]; then
    # The ordinary path of a launcher that also trusts the cold recovery keys: it should cost the
    # same, since the online keys are tried first.
    windows=$bench/windows-recovering
    log_key=("-DQVS_LOG_KEY_FILE=$PWD/tests/keys/test_launcher_log_key.vkey"
      "-DQVS_RECOVERY_KEY_FILE=$PWD/tests/keys/test_recovery_key.pub"
      "-DQVS_LOG_RECOVERY_KEY_FILE=$PWD/tests/keys/test_log_recovery_key.vkey")
    arg=--logged
  fi
  forwarded+=("$arg")
done
configured "$windows" || step "configure the launcher" cmake --preset windows-test -B "$windows" "${log_key[@]}"
step "QuorvantisSupport.exe, QuorvantisSupportHost.exe, qvs-floor.exe, trust-ca.exe" \
  cmake --build "$windows" --target QuorvantisSupport QuorvantisSupportHost qvs-floor trust-ca

export QVS_SOURCE_DIR=$PWD QVS_BUILD_DIR=$PWD/$windows QVS_HOST_TOOLS_DIR=$PWD/$tools
exec /usr/bin/python3 bench/bench.py --work "$bench/run" "${forwarded[@]}"
