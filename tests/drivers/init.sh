#!/bin/busybox sh
# /init of the driver-test guests: loads the serial drivers, runs brevant-cli against the
# camera behind each emulated device and prints one "@@" line per fact for the host.
# The host (tests/drivers/run.sh) judges; the guest only reports what it saw.
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp && mount -t tmpfs tmp /tmp
for m in $(cat /modules.list); do insmod "/modules/$m" 2>/dev/null; done
# udev where the guest carries it: the devices already there are replayed to its rules.
if [ -x /bin/udevadm ]; then
  mount -t tmpfs run /run
  /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1
  udevadm trigger --action=add >/dev/null 2>&1
  udevadm settle -t 30 >/dev/null 2>&1
fi

# The arm64 console is a virtio console: its device comes a moment after its module.
if grep -q console=hvc0 /proc/cmdline; then
  i=0
  while [ ! -e /dev/hvc0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  exec >/dev/hvc0 2>&1
else
  exec >/dev/console 2>&1
fi
suite=$(sed -n 's/.*brv=\([a-z0-9]*\).*/\1/p' /proc/cmdline)

say() { echo "@@ $*"; }
uptime_ms() { awk '{printf "%d", $1 * 1000}' /proc/uptime; }
wait_for() {  # wait_for PATH SECONDS
  i=0
  while [ ! -e "$1" ] && [ $i -lt $(($2 * 10)) ]; do sleep 0.1; i=$((i + 1)); done
  [ -e "$1" ]
}
# cli NAME ARGS...: one run of the CLI, its status, time and first output line.
cli() {
  name=$1; shift
  t0=$(uptime_ms)
  /brevant-cli "$@" >/tmp/out 2>/tmp/err
  st=$?
  say "$name status=$st ms=$(($(uptime_ms) - t0)) out=$(head -n 1 /tmp/out | tr -s ' ')"
  [ $st -eq 0 ] || say "$name err=$(grep -v '^TX :\|^Rx :' /tmp/err | tr '\n' ' ' | cut -c1-300)"
  return $st
}
# capture NAME DEVICE BAUD: one picture, its checksum.
capture() {
  rm -rf /tmp/pic && mkdir /tmp/pic
  cli "$1" -p "$2" -b "$3" -o /tmp/pic -t 10000 capture --transmit all
  for f in /tmp/pic/jpeg_*; do [ -f "$f" ] && say "$1 md5=$(md5sum "$f" | cut -d' ' -f1)"; done
}

ftdi_cases() {
  dev=/dev/ttyUSB0
  wait_for $dev 30 || { say "ftdi missing"; return; }
  timer=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
  usb=$(readlink -f /sys/class/tty/ttyUSB0/device/../..)
  say "ftdi sysfs maker=$(cat $usb/manufacturer) model=$(cat $usb/product) serial=$(cat $usb/serial)"
  udevadm settle -t 30 >/dev/null 2>&1
  byid=$(ls /dev/serial/by-id/* 2>/dev/null | head -n 1)
  say "ftdi-byid path=$byid"
  cli ftdi-ports ports
  say "ftdi-usb line=$(grep ttyUSB0 /tmp/out | tr -s ' ')"
  # Unplugged by the host mid-picture (the camera falls silent in it, so the picture cannot
  # finish first), then plugged in again while the camera still sends the rest.
  rm -rf /tmp/pic && mkdir /tmp/pic
  /brevant-cli -p $dev -b 115200 -o /tmp/pic -t 10000 capture --transmit all >/tmp/out 2>/tmp/err &
  pid=$!
  say "unplug-now"
  wait $pid
  st=$?
  say "ftdi-unplug status=$st files=$(ls /tmp/pic | wc -l) names=$(ls /tmp/pic | tr '\n' ,) err=$(tr '\n' ' ' </tmp/err | cut -c1-200)"
  # The old node goes first, then the new adapter comes.
  i=0
  while [ -e $dev ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  wait_for $dev 60 || { say "ftdi-replug missing"; return; }
  udevadm settle -t 30 >/dev/null 2>&1
  say "ftdi-replug-byid path=$(ls /dev/serial/by-id/* 2>/dev/null | head -n 1)"
  cli ftdi-replug-ports ports
  say "ftdi-replug-usb line=$(grep ttyUSB0 /tmp/out | tr -s ' ')"
  # The host lets the camera go on; the first command starts once it is heard talking.
  say "replugged"
  stty -F $dev 115200 raw -echo
  head -c 64 $dev >/dev/null
  # The bytes that came before the first request are what the camera still had to send.
  cli ftdi-replug-version -p $dev -b 115200 --trace version
  say "ftdi-replug-version leftover=$(awk '/^TX :/ { exit } { sub(/^Rx :/, ""); n += NF } END { print n + 0 }' /tmp/err)"
  capture ftdi-921600 $dev 921600
  capture ftdi-115200 $dev 115200
  # Through the stable link (the one the replugged adapter got), under a COM number.
  byid=$(ls /dev/serial/by-id/* 2>/dev/null | head -n 1)
  cli ftdi-by-id-version -p "COM2=$byid" -b 115200 version
  capture ftdi-by-id-capture "COM2=$byid" 115200
  cli ftdi-version -p $dev -b 115200 version
  cli ftdi-settings -p $dev -b 115200 settings
  # Low latency: read while the port is held open, and after.
  before=$(cat $timer)
  /brevant-cli -p $dev -b 115200 monitor --for 3 >/dev/null 2>&1 &
  pid=$!
  i=0
  while [ "$(cat $timer)" = "$before" ] && [ $i -lt 25 ]; do sleep 0.1; i=$((i + 1)); done
  during=$(cat $timer)
  wait $pid
  say "ftdi-latency before=$before during=$during after=$(cat $timer)"
}

uart_cases() {
  cli uart-ports ports
  say "uart-ttys list=$(grep -o 'ttyS[0-9]*' /tmp/out | sort -u | tr '\n' ' ')"
  capture uart-115200 /dev/ttyS1 115200
}

pl011_cases() {
  wait_for /dev/ttyAMA0 10 || { say "pl011 missing"; return; }
  capture pl011-115200 /dev/ttyAMA0 115200
  cli pl011-version -p /dev/ttyAMA0 -b 115200 version
  cli pl011-settings -p /dev/ttyAMA0 -b 115200 settings
  say "pl011 arch=$(uname -m) kernel=$(uname -r)"
}

say "guest up ms=$(uptime_ms) suite=$suite"
case "$suite" in
  x86) ftdi_cases; uart_cases ;;
  arm64) pl011_cases ;;
esac
say "guest done ms=$(uptime_ms)"
sync
poweroff -f
