#!/usr/bin/env bash
# Retakes the README's pictures under Xvfb against the virtual camera: the main window,
# the traffic view, every feature dialog, and the main window at 200% scaling.
#   scripts/screenshots.sh [BUILD_DIR] [OUTPUT_DIR]
set -euo pipefail
BUILD=${1:-build}
OUT=${2:-docs/images}
CAMSIM="$BUILD/tools/camsim/camsim"
BREVANT="$BUILD/src/brevant"
MODEL=${SHOT_MODEL:-"QVX5M0 2.00"}

for exe in "$CAMSIM" "$BREVANT"; do
  [ -x "$exe" ] || { echo "screenshots: $exe is missing; build first" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (package xvfb)" >&2; exit 1; }

WORK=$(mktemp -d)
CAMSIM_PID=""
stop_camsim() {
  if [ -n "$CAMSIM_PID" ]; then
    kill "$CAMSIM_PID" 2>/dev/null || true
    wait "$CAMSIM_PID" 2>/dev/null || true
    CAMSIM_PID=""
  fi
}
trap 'stop_camsim; rm -rf "$WORK"' EXIT INT TERM

# A fresh virtual camera for each run, so every run starts from the power-on settings.
# Sets PTY.
start_camsim() {
  : >"$WORK/camsim.out"
  "$CAMSIM" --model "$MODEL" --baud 0 >"$WORK/camsim.out" 2>"$WORK/camsim.err" &
  CAMSIM_PID=$!
  PTY=""
  for _ in $(seq 1 100); do
    PTY=$(head -n 1 "$WORK/camsim.out" 2>/dev/null || true)
    [ -n "$PTY" ] && return 0
    kill -0 "$CAMSIM_PID" 2>/dev/null || { cat "$WORK/camsim.err" >&2; exit 1; }
    sleep 0.1
  done
  echo "screenshots: the virtual camera did not report its port" >&2
  exit 1
}

# Pictures land in a scratch home, not in the user's pictures folder.
run_brevant() {  # DIR [ENV=VALUE...]
  local dir=$1; shift
  mkdir -p "$WORK/Pictures"
  env HOME="$WORK" XDG_CONFIG_HOME="$WORK/.config" "$@" \
    xvfb-run -a -s "-screen 0 2800x1800x24" "$BREVANT" --port "COM1=$PTY" --screenshots "$dir"
}

mkdir -p "$OUT"
start_camsim
run_brevant "$OUT"
stop_camsim

start_camsim
run_brevant "$WORK/scaled" QT_SCALE_FACTOR=2
stop_camsim
cp "$WORK/scaled/main-window.png" "$OUT/main-window-200.png"
echo "$OUT/main-window-200.png"
