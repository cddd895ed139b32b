#!/usr/bin/env bash
# Starts the virtual camera and the main window with COM1 mapped to it, ready for "Open".
# Without a display the command-line tool takes the picture and says where it is.
#   scripts/demo.sh [BUILD_DIR]      (DEMO_MODEL and DEMO_BAUD choose the camera)
set -euo pipefail
BUILD=${1:-build}
CAMSIM="$BUILD/tools/camsim/camsim"
BREVANT="$BUILD/src/brevant"
CLI="$BUILD/tools/cli/brevant-cli"
MODEL=${DEMO_MODEL:-"QVX5M0 2.00"}
BAUD=${DEMO_BAUD:-38400}  # paced like a real line at the window's default rate

HEADLESS=1
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then HEADLESS=0; fi
FRONT_END=$BREVANT
[ "$HEADLESS" = 1 ] && FRONT_END=$CLI
for exe in "$CAMSIM" "$FRONT_END"; do
  [ -x "$exe" ] || { echo "demo: $exe is missing; run 'make build' first" >&2; exit 1; }
done

. "$(dirname "$0")/camsim-lib.sh"
start_camsim demo "$MODEL" "$BAUD"

echo "Virtual camera \"$MODEL\" on $PTY (COM1), $BAUD baud"
if [ "$HEADLESS" = 0 ]; then
  echo "Press \"Open\", then \"Single Capture\"."
  "$BREVANT" --port "COM1=$PTY"
else
  # The folder the window saves in: the desktop's Pictures folder, else home.
  OUT=$(xdg-user-dir PICTURES 2>/dev/null || true)
  if [ -z "$OUT" ] || [ "$OUT" = "${HOME:-}" ]; then OUT="${HOME:-}/Pictures"; fi
  [ -d "$OUT" ] || OUT=${HOME:-}
  [ -d "$OUT" ] || OUT=$PWD
  echo "No display: taking one picture headless."
  # Prints "PATH BYTES bytes WIDTHxHEIGHT SECONDSs".
  PICTURE=$("$CLI" --port "$PTY" --baud "$BAUD" --out "$OUT" capture)
  echo "Picture saved: $PICTURE"
fi
