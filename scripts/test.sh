#!/usr/bin/env bash
# Builds and runs every test: the host preset (publisher tool, descriptor code under sanitizers,
# fuzzer smoke run), then the Windows launcher with the test key, its unit tests under Wine and
# the end-to-end tests against HTTPS servers on 127.0.0.1, then the clang build of the launcher.
# Between them, qvs-release's production build and its Debian package are built and checked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
ctest --preset host -j2

# The publisher tool's production build and Debian package, unpacked and used as a publisher would.
bash scripts/package-tool.sh
PYTHONPATH=tests/pylib /usr/bin/python3 -m pytest -q -p no:cacheprovider tools/qvs-release/tests/package

# Includes the reproducibility label: two release builds from fresh clones of HEAD, a few minutes.
cmake --preset windows-test
cmake --build --preset windows-test
ctest --preset windows-test -j2

# The second compiler: the same code with clang, warnings as errors, unit tests under Wine.
cmake --preset windows-clang
cmake --build --preset windows-clang
ctest --preset windows-clang -j2
