#!/usr/bin/env bash
# Takes docs/images/main-window.png: the main window with a captured picture, under Xvfb,
# against the virtual camera.
#   scripts/screenshot.sh [BUILD_DIR] [OUTPUT_PNG]
set -euo pipefail
BUILD=${1:-build}
OUT=${2:-docs/images/main-window.png}
CAMSIM="$BUILD/tools/camsim/camsim"
BREVANT="$BUILD/src/brevant"
MODEL=${SHOT_MODEL:-"QVX5M0 2.00"}

for exe in "$CAMSIM" "$BREVANT"; do
  [ -x "$exe" ] || { echo "screenshot: $exe is missing; build first" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "screenshot: xvfb-run is missing (package xvfb)" >&2; exit 1; }

. "$(dirname "$0")/camsim-lib.sh"
start_camsim screenshot "$MODEL" 0

mkdir -p "$(dirname "$OUT")"
# Pictures land in a scratch home, not in the user's pictures folder.
mkdir -p "$WORK/Pictures"
HOME="$WORK" XDG_CONFIG_HOME="$WORK/.config" xvfb-run -a -s "-screen 0 1400x900x24" \
  "$BREVANT" --port "COM1=$PTY" --demo-capture --screenshot "$OUT"
echo "Saved $OUT"
