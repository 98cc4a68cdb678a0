#!/usr/bin/env bash
# Builds qvs-release with the production preset (optimised, no sanitizers, Debian's hardening
# flags) and writes its Debian package: build/tool/qvs-release_<version>_amd64.deb, with the
# manual page and the dependencies dpkg-shlibdeps reads from the binary.
#   apt-get install ./build/tool/qvs-release_*_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tool >/dev/null
cmake --build --preset tool
rm -f build/tool/qvs-release_*_amd64.deb
(cd build/tool && cpack -G DEB --config CPackConfig.cmake >/dev/null)
ls build/tool/qvs-release_*_amd64.deb
