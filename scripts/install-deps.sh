#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need;
# `install-deps.sh clang` adds clang and its sanitizer and libFuzzer runtimes, for the
# sanitizer builds and the fuzz targets; `install-deps.sh arm64` adds Debian's arm64 cross
# toolchain, qemu-user and the arm64 (multiarch) libraries for `make cross-arm64`.
# Idempotent: packages already present are not touched; the package index is refreshed
# only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-charts-dev libqt6opengl6-dev libqt6svg6 libgl-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libyuv-dev libudev-dev libtomlplusplus-dev
  libgtest-dev libgmock-dev googletest
  nlohmann-json3-dev
  xvfb xauth x11-utils
  fonts-dejavu-core fonts-wqy-microhei
  desktop-file-utils appstream
  dpkg-dev file lintian help2man bash-completion
  libsqlite3-dev libpq-dev postgresql
  ser2net tshark libgensio-dev
)
if [ "${1:-}" = clang ]; then
  PACKAGES+=(clang-14 libclang-rt-14-dev)
fi
if [ "${1:-}" = arm64 ]; then
  PACKAGES=(build-essential cmake ninja-build pkg-config
            g++-aarch64-linux-gnu qemu-user nlohmann-json3-dev libtomlplusplus-dev
            libjpeg62-turbo-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libudev-dev:arm64
            libsqlite3-dev:arm64 libpq5:arm64 libpq-dev)
  # libpq-dev:arm64 would remove the host's libpq-dev (it is not multi-arch): the arm64
  # build links libpq5:arm64 with the host's headers instead.
fi
# The driver bench (make drivers): QEMU and busybox; the kernels are downloaded by the bench.
if [ "${1:-}" = drivers ]; then
  PACKAGES=(qemu-system-x86 qemu-system-arm busybox-static kmod socat)
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
if [ "${1:-}" = arm64 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
