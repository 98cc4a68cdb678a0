#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build make pkg-config
  g++ clang libclang-rt-14-dev clang-format lld
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 libgnutls30
  googletest
  libssl-dev openssl libcurl4-openssl-dev
  libp11-dev libengine-pkcs11-openssl softhsm2 opensc libp11-kit-dev
  osslsigncode
  nginx-light
  python3 python3-pytest
  dpkg-dev man-db groff-base binutils
  xvfb xdotool x11-apps imagemagick
  ca-certificates file
  ceph-mon ceph-osd radosgw python3-boto3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The posix thread model is the one the toolchain file names; make it the default too.
if command -v update-alternatives >/dev/null; then
  update-alternatives --set x86_64-w64-mingw32-g++ /usr/bin/x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || true
  update-alternatives --set x86_64-w64-mingw32-gcc /usr/bin/x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1 || true
fi
