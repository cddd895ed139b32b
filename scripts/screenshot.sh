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

WORK=$(mktemp -d)
CAMSIM_PID=""
cleanup() {
  if [ -n "$CAMSIM_PID" ]; then
    kill "$CAMSIM_PID" 2>/dev/null || true
    wait "$CAMSIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

"$CAMSIM" --model "$MODEL" --baud 0 >"$WORK/camsim.out" 2>"$WORK/camsim.err" &
CAMSIM_PID=$!
PTY=""
for _ in $(seq 1 100); do
  PTY=$(head -n 1 "$WORK/camsim.out" 2>/dev/null || true)
  [ -n "$PTY" ] && break
  kill -0 "$CAMSIM_PID" 2>/dev/null || { cat "$WORK/camsim.err" >&2; exit 1; }
  sleep 0.1
done
[ -n "$PTY" ] || { echo "screenshot: the virtual camera did not report its port" >&2; exit 1; }

mkdir -p "$(dirname "$OUT")"
# Pictures land in a scratch home, not in the user's pictures folder.
mkdir -p "$WORK/Pictures"
HOME="$WORK" XDG_CONFIG_HOME="$WORK/.config" xvfb-run -a -s "-screen 0 1400x900x24" \
  "$BREVANT" --port "COM1=$PTY" --demo-capture --screenshot "$OUT"
echo "Saved $OUT"
