#!/usr/bin/env bash
# make drivers: brevant-cli on Linux's own serial drivers. Debian's kernels boot in QEMU
# (TCG) from a busybox initramfs holding the CLI; the virtual camera sits on the host behind
# each emulated device: an FTDI adapter (ftdi_sio) and a 16550 UART (8250) in an x86-64
# guest, the PL011 in an arm64 guest. The guest reports what it saw; this script judges each
# case and prints PASS/FAIL with its figures. Exit status 1 when any case failed.
#   tests/drivers/run.sh [BUILD [ARM64_BUILD]]    (DRIVERS_GUESTS=x86 or arm64: one guest)
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin  # depmod
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
ARM_BUILD=${2:-$ROOT/build-arm64}
WORK=$BUILD/drivers
GUEST_TIMEOUT=${GUEST_TIMEOUT:-300}
GUESTS=${DRIVERS_GUESTS:-x86 arm64}  # a developer may run one
mkdir -p "$WORK"
cd "$WORK"

"$ROOT/scripts/install-deps.sh" drivers
CLI=$BUILD/tools/cli/brevant-cli
CAMSIM=$BUILD/tools/camsim/camsim
[ -x "$CLI" ] && [ -x "$CAMSIM" ] || { echo "drivers: build brevant-cli and camsim first" >&2; exit 2; }
if [[ $GUESTS == *arm64* && ! -x $ARM_BUILD/tools/cli/brevant-cli ]]; then
  "$ROOT/scripts/install-deps.sh" arm64
  cmake -S "$ROOT" -B "$ARM_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/aarch64-linux-gnu.cmake" \
    -DBREVANT_BUILD_UI=OFF -DBREVANT_BUILD_BENCH=OFF >/dev/null
  cmake --build "$ARM_BUILD" -j "$(nproc)" --target brevant-cli
fi

FAILED=0
PASSED=0
report() {  # report PASS|FAIL CASE FIGURES
  [ "$1" = PASS ] && PASSED=$((PASSED + 1)) || FAILED=$((FAILED + 1))
  printf '%-4s %-28s %s\n' "$1" "$2" "$3"
}
check() {  # check CASE FIGURES CONDITION...
  local name=$1 figures=$2
  shift 2
  if "$@"; then report PASS "$name" "$figures"; else report FAIL "$name" "$figures"; fi
}

# ---- kernels: Debian's own packages, unpacked ----
kernel() {  # kernel ARCH -> directory holding boot/ and lib/modules/
  local arch=$1 pkg
  if ! { dpkg --print-architecture; dpkg --print-foreign-architectures; } | grep -qx "$arch"; then
    dpkg --add-architecture "$arch" && apt-get update -qq
  fi
  pkg=$(apt-cache depends "linux-image-$arch:$arch" 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -n 1)
  [ -n "$pkg" ] || { echo "drivers: no linux-image-$arch package" >&2; exit 2; }
  if ! ls "kernel-$arch/$pkg"/lib/modules/*/modules.dep >/dev/null 2>&1; then
    rm -rf "kernel-$arch" && mkdir -p "kernel-$arch/$pkg"
    (cd "kernel-$arch" && apt-get download -q "$pkg:$arch" >/dev/null 2>&1 && dpkg-deb -x ./*.deb "$pkg" && rm -f ./*.deb)
    # The package's install script would make modules.dep; unpacked, it is made here.
    depmod -b "kernel-$arch/$pkg" "$(ls "kernel-$arch/$pkg/lib/modules")"
  fi
  echo "$WORK/kernel-$arch/$pkg"
}

# busybox-static of the guest's architecture: the installed one, or the package unpacked.
busybox_for() {  # busybox_for ARCH -> path
  local arch=$1
  if [ "$arch" = "$(dpkg --print-architecture)" ]; then echo /bin/busybox; return; fi
  if [ ! -x "busybox-$arch/bin/busybox" ]; then
    rm -rf "busybox-$arch" && mkdir -p "busybox-$arch/deb"
    (cd "busybox-$arch/deb" && apt-get download -q "busybox-static:$arch" >/dev/null 2>&1 &&
      dpkg-deb -x ./*.deb .. && rm -rf ../deb)
  fi
  echo "$WORK/busybox-$arch/bin/busybox"
}

# Debian's udev, unpacked: the daemon (udevadm under its other name) and the rule that makes
# the /dev/serial/by-id links. The hardware database stays out: building it costs more than
# the guest boot, and ports falls back to the USB descriptors without it.
udev_dir() {
  if [ ! -x udev/bin/udevadm ]; then
    rm -rf udev && mkdir -p udev/deb
    (cd udev/deb && apt-get download -q udev >/dev/null 2>&1 && dpkg-deb -x ./*.deb .. && rm -rf ../deb)
  fi
  echo "$WORK/udev"
}

# Modules with what they depend on, dependencies first, as paths under lib/modules/VERSION.
modules_in_order() {  # modules_in_order MODDIR NAME...
  local dir=$1 name path
  shift
  for name in "$@"; do
    path=$(grep -E "(^|/)${name}\.ko(\.xz)?:" "$dir/modules.dep" | head -n 1 | cut -d: -f1)
    [ -n "$path" ] || { echo "drivers: module $name not in the kernel package" >&2; exit 2; }
    # modules.dep lists the deepest dependency last.
    grep -E "^${path}:" "$dir/modules.dep" | cut -d: -f2 | tr ' ' '\n' | grep . | tac || true
    echo "$path"
  done | awk '!seen[$0]++'
}

# The shared libraries an ELF file needs, recursively, found in the given folders.
libraries() {  # libraries FILE DIR...
  local file=$1 lib dir
  shift
  for lib in $(readelf -d "$file" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    for dir in "$@"; do
      if [ -e "$dir/$lib" ]; then
        readlink -f "$dir/$lib" | sed "s|\$| $lib|"
        libraries "$dir/$lib" "$@"
        break
      fi
    done
  done | sort -u
}

initramfs() {  # initramfs OUT ARCH CLI KERNELDIR LIBDIRS MODULE...   (UDEV=dir: udev too)
  local out=$1 arch=$2 cli=$3 kdir=$4 libdirs=$5 root interp moddir busybox bin
  shift 5
  busybox=$(busybox_for "$arch")
  root=$(mktemp -d)
  mkdir -p "$root"/{bin,proc,sys,dev,modules,lib,lib64}
  cp "$busybox" "$root/bin/busybox"
  cp "$ROOT/tests/drivers/init.sh" "$root/init"
  chmod +x "$root/init"
  cp "$cli" "$root/brevant-cli"
  interp=$(readelf -l "$cli" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
  mkdir -p "$root$(dirname "$interp")"
  cp -L "$interp" "$root$interp"
  bin=$cli
  if [ -n "${UDEV:-}" ]; then
    mkdir -p "$root/lib/udev/rules.d" "$root/lib/systemd" "$root/etc/udev" "$root/run"
    cp "$UDEV/bin/udevadm" "$root/bin/udevadm"
    ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
    cp "$UDEV/lib/udev/rules.d/60-serial.rules" "$root/lib/udev/rules.d/"
    bin="$cli $UDEV/bin/udevadm"
  fi
  for b in $bin; do
    # shellcheck disable=SC2086
    libraries "$b" $libdirs | while read -r real name; do cp "$real" "$root/lib/$name"; done
  done
  moddir=$(echo "$kdir"/lib/modules/*)
  modules_in_order "$moddir" "$@" >"$root/modules.list"
  while read -r m; do
    mkdir -p "$root/modules/$(dirname "$m")"
    cp "$moddir/$m" "$root/modules/$m"
  done <"$root/modules.list"
  (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out"
  rm -rf "$root"
}

# ---- the virtual camera, one per emulated device ----
PICTURE=$WORK/picture/served.jpg
CAMSIM_PIDS=()
cleanup() {
  local pid
  for pid in "${CAMSIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "${QEMU_PID:-}" ] && kill "$QEMU_PID" 2>/dev/null || true
  exec 9>&- 2>/dev/null || true
}
trap cleanup EXIT

start_camsim() {  # start_camsim NAME ARGS... -> sets PTY
  local name=$1
  shift
  rm -f "$name.out"
  "$CAMSIM" "$@" >"$name.out" 2>"$name.err" &
  CAMSIM_PIDS+=($!)
  for _ in $(seq 100); do
    PTY=$(head -n 1 "$name.out" 2>/dev/null || true)
    [ -n "$PTY" ] && return 0
    sleep 0.05
  done
  echo "drivers: camsim $name did not start" >&2
  exit 2
}

# The picture every camera serves: the pattern camsim draws, fetched once over a pty on the
# host, so a guest's copy can be compared with it byte for byte.
make_picture() {
  rm -rf picture && mkdir -p picture/tmp
  start_camsim picture
  "$CLI" -p "$PTY" -o picture/tmp image-size 320x240 >/dev/null
  "$CLI" -p "$PTY" -o picture/tmp capture >/dev/null
  mv picture/tmp/jpeg_* "$PICTURE"
  rm -rf picture/tmp
}

camsim_say() { echo "$2" | socat - "UNIX-CONNECT:$WORK/$1.sock"; }
camsim_muted() {  # the camera fell silent in the picture (its injected fault)
  for _ in $(seq 600); do
    camsim_say "$1" state | grep -q muted && return 0
    sleep 0.05
  done
  return 1
}

# ---- one guest ----
# boot LOG QEMU ARGS...: runs QEMU in the background with its monitor on the fifo pair mon.*
boot() {
  local log=$1
  shift
  rm -f "$log" mon.in mon.out
  mkfifo mon.in mon.out
  "$@" -monitor pipe:mon -display none -no-reboot >qemu.log 2>&1 &
  QEMU_PID=$!
  exec 9<>mon.in
  cat mon.out >/dev/null &
}
# The value of KEY=... on the guest's "@@ CASE" line.
fact() {  # fact LOG CASE KEY
  sed -n "s/.*@@ $2 .*$3=\([^ ]*\).*/\1/p" "$1" | head -n 1 | tr -d '\r'
}
line() { grep -a "@@ $2 " "$1" | head -n 1 | tr -d '\r' | sed "s/.*@@ $2 //"; }
wait_line() {  # wait_line LOG PATTERN SECONDS
  local end=$((SECONDS + $3))
  until grep -aq "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $end ] && kill -0 "$QEMU_PID" 2>/dev/null || return 1
    sleep 0.05
  done
}
now_ms() { date +%s%3N; }
finish_guest() {  # finish_guest LOG NAME START_MS
  local end=$((SECONDS + GUEST_TIMEOUT))
  while kill -0 "$QEMU_PID" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.2; done
  kill "$QEMU_PID" 2>/dev/null || true
  wait "$QEMU_PID" 2>/dev/null || true
  QEMU_PID=
  exec 9>&-
  local wall=$(( $(now_ms) - $3 ))
  check "$2-guest" "wall ${wall} ms, guest up at $(fact "$1" guest ms) ms" grep -aq "@@ guest done" "$1"
}
same_picture() {  # same_picture LOG CASE
  [ "$(fact "$1" "$2" status)" = 0 ] && [ "$(fact "$1" "$2" md5)" = "$(md5sum <"$PICTURE" | cut -d' ' -f1)" ]
}
ok() { [ "$(fact "$1" "$2" status)" = 0 ]; }
capture_case() {  # capture_case LOG CASE
  check "$2" "$(fact "$1" "$2" ms) ms in the guest, md5 $(fact "$1" "$2" md5)" same_picture "$1" "$2"
}

x86_guest() {
  local k log=x86-console.log start ftdi uart
  k=$(kernel amd64)
  UDEV=$(udev_dir) initramfs x86.cpio.gz amd64 "$CLI" "$k" "/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu" \
    xhci-pci ftdi_sio
  start_camsim ftdi-cam --baud 115200 --any-rate --images "$WORK/picture" --control "$WORK/ftdi-cam.sock"
  ftdi=$PTY
  start_camsim uart-cam --baud 115200 --images "$WORK/picture"
  uart=$PTY
  camsim_say ftdi-cam "fault mute 1500" >/dev/null  # the first picture: the hot-plug case
  start=$(now_ms)
  boot "$log" qemu-system-x86_64 -accel tcg -cpu max -m 512 -nodefaults \
    -kernel "$k"/boot/vmlinuz-* -initrd x86.cpio.gz \
    -append "console=ttyS0 quiet panic=-1 brv=x86" \
    -chardev file,id=con,path="$log" -serial chardev:con \
    -chardev serial,id=uart,path="$uart" -serial chardev:uart \
    -device qemu-xhci,id=xhci \
    -chardev serial,id=ftdi,path="$ftdi" \
    -device usb-serial,bus=xhci.0,chardev=ftdi,id=ftdi0,serial=BRV0001
  # Hot-plug: the guest says when a picture is under way.
  local t0 t1
  if wait_line "$log" "@@ unplug-now" "$GUEST_TIMEOUT" && camsim_muted ftdi-cam; then
    echo "device_del ftdi0" >&9
    t0=$(now_ms)
    wait_line "$log" "@@ ftdi-unplug " 30 || true
    t1=$(now_ms)
    echo "device_add usb-serial,bus=xhci.0,chardev=ftdi,id=ftdi0,serial=BRV0001" >&9
    # Back in: the camera goes on with the rest of the picture, slower, so that it is still
    # talking when the guest's first command opens the port.
    if wait_line "$log" "@@ replugged" 60; then
      camsim_say ftdi-cam "baud 57600" >/dev/null
      camsim_say ftdi-cam unmute >/dev/null
    fi
  fi
  finish_guest "$log" x86 "$start"

  local maker model serial
  maker=$(fact "$log" "ftdi sysfs" maker)
  model=$(line "$log" "ftdi sysfs" | sed -n 's/.*model=\(.*\) serial=.*/\1/p')
  serial=$(fact "$log" "ftdi sysfs" serial)
  names() { local l; l=$(line "$log" "$1" | sed -n 's/^line=//p'); [ -n "$maker" ] &&
    [[ $l == *"$maker"* && $l == *"$model"* && $l == *"$serial"* ]]; }
  check ftdi-ports "maker '$maker', model '$model', serial '$serial': $(line "$log" ftdi-usb | sed 's/^line=//')" names ftdi-usb
  capture_case "$log" ftdi-921600
  capture_case "$log" ftdi-115200
  check ftdi-version "$(line "$log" ftdi-version | sed 's/.*out=//')" ok "$log" ftdi-version
  check ftdi-settings "$(line "$log" ftdi-settings | sed 's/.*out=//')" ok "$log" ftdi-settings
  local b d a
  b=$(fact "$log" ftdi-latency before); d=$(fact "$log" ftdi-latency during); a=$(fact "$log" ftdi-latency after)
  check ftdi-latency-timer "before $b ms, open $d ms, after $a ms" test "$d" = 1 -a -n "$b" -a "$a" = "$b"
  unplugged() { [ "$(fact "$log" ftdi-unplug status)" = 3 ] && [ "$(fact "$log" ftdi-unplug files)" = 0 ] &&
    [ -n "${t0:-}" ] && [ $((t1 - t0)) -le 2000 ]; }
  check ftdi-unplug "status $(fact "$log" ftdi-unplug status), files $(fact "$log" ftdi-unplug files) $(fact "$log" ftdi-unplug names), ended $((${t1:-0} - ${t0:-0})) ms after device_del" unplugged
  # The stable path udev made, as ports shows it, and as the device a command is given.
  local byid
  byid=$(fact "$log" ftdi-byid path)
  stable() { local l; l=$(line "$log" "$1" | sed -n 's/^line=//p'); [[ $byid == /dev/serial/by-id/usb-* && $l == *"$byid"* ]]; }
  check ftdi-by-id-ports "$byid" stable ftdi-usb
  check ftdi-by-id-version "$(line "$log" ftdi-by-id-version | sed 's/.*out=//')" ok "$log" ftdi-by-id-version
  capture_case "$log" ftdi-by-id-capture
  check ftdi-replug-ports "$(line "$log" ftdi-replug-usb | sed 's/^line=//')" names ftdi-replug-usb
  check ftdi-replug-by-id "$(fact "$log" ftdi-replug-byid path)" \
    eval '[ "$(fact "$log" ftdi-replug-byid path)" = "$byid" ] && stable ftdi-replug-usb'

  replug() { ok "$log" ftdi-replug-version && [ "$(fact "$log" ftdi-replug-version leftover)" -gt 0 ]; }
  check ftdi-replug-version "$(line "$log" ftdi-replug-version | sed 's/.*out=//'), $(fact "$log" ftdi-replug-version ms) ms, $(fact "$log" ftdi-replug-version leftover) bytes of the cut picture before it" replug
  local ttys
  ttys=$(line "$log" uart-ttys | sed 's/^list=//')
  check uart-ports "lists: ${ttys:-none}" test "$ttys" = "ttyS0 ttyS1 "
  capture_case "$log" uart-115200
}

arm64_guest() {
  local k log=arm64-console.log start pl011
  k=$(kernel arm64)
  initramfs arm64.cpio.gz arm64 "$ARM_BUILD/tools/cli/brevant-cli" "$k" \
    "/usr/aarch64-linux-gnu/lib /usr/lib/aarch64-linux-gnu /lib/aarch64-linux-gnu" \
    virtio_mmio virtio_console
  start_camsim pl011-cam --baud 115200 --any-rate --images "$WORK/picture"
  pl011=$PTY
  start=$(now_ms)
  boot "$log" qemu-system-aarch64 -accel tcg -M virt -cpu cortex-a57 -m 512 -nodefaults \
    -kernel "$k"/boot/vmlinuz-* -initrd arm64.cpio.gz \
    -append "console=hvc0 quiet panic=-1 brv=arm64" \
    -chardev serial,id=uart,path="$pl011" -serial chardev:uart \
    -device virtio-serial-device -chardev file,id=con,path="$log" -device virtconsole,chardev=con
  finish_guest "$log" arm64 "$start"
  check pl011-guest-kernel "$(line "$log" pl011)" grep -aq "@@ pl011 arch=aarch64 " "$log"
  capture_case "$log" pl011-115200
  check pl011-version "$(line "$log" pl011-version | sed 's/.*out=//')" ok "$log" pl011-version
  check pl011-settings "$(line "$log" pl011-settings | sed 's/.*out=//')" ok "$log" pl011-settings
}

total=$(now_ms)
make_picture
for guest in $GUESTS; do "${guest}_guest"; done
echo "drivers: all guests in $(( ($(now_ms) - total) / 1000 )) s; console logs in $WORK"
echo "drivers: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
