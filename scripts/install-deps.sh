#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need;
# `install-deps.sh clang` adds clang and its sanitizer and libFuzzer runtimes, for the
# sanitizer builds and the fuzz targets.
# Idempotent: packages already present are not touched; the package index is refreshed
# only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libyuv-dev libudev-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb xauth x11-utils
  fonts-dejavu-core fonts-wqy-microhei
  desktop-file-utils appstream
)
if [ "${1:-}" = clang ]; then
  PACKAGES+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
