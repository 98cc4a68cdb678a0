#!/usr/bin/env bash
# Builds and runs every test: the host preset (publisher tool, descriptor code under sanitizers,
# fuzzer smoke run), then the Windows launcher with the test key, its unit tests under Wine and
# the end-to-end tests against HTTPS servers on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
ctest --preset host -j2

cmake --preset windows-test
cmake --build --preset windows-test
ctest --preset windows-test -j2
