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

. "$(dirname "$0")/camsim-lib.sh"

# Pictures land in a scratch home, not in the user's pictures folder.
run_brevant() {  # DIR [ENV=VALUE...]
  local dir=$1; shift
  mkdir -p "$WORK/Pictures"
  env HOME="$WORK" XDG_CONFIG_HOME="$WORK/.config" "$@" \
    xvfb-run -a -s "-screen 0 2800x1800x24" "$BREVANT" --port "COM1=$PTY" --screenshots "$dir"
}

mkdir -p "$OUT"
# A fresh virtual camera for each run, so every run starts from the power-on settings.
start_camsim screenshots "$MODEL" 0
run_brevant "$OUT"
stop_camsim

start_camsim screenshots "$MODEL" 0
run_brevant "$WORK/scaled" QT_SCALE_FACTOR=2
stop_camsim
cp "$WORK/scaled/main-window.png" "$OUT/main-window-200.png"
echo "$OUT/main-window-200.png"

# The station window: four virtual cameras, the third of another model (its tile fails).
STATION_PIDS=()
STATION_PORTS=""
for model in "$MODEL" "$MODEL" "QVX3M0 1.10" "$MODEL"; do
  n=${#STATION_PIDS[@]}
  "$CAMSIM" --model "$model" >"$WORK/station$n.out" 2>/dev/null &
  STATION_PIDS+=($!)
  for _ in $(seq 1 100); do
    [ -s "$WORK/station$n.out" ] && break
    sleep 0.1
  done
  STATION_PORTS+="${STATION_PORTS:+,}$(head -n 1 "$WORK/station$n.out")"
done
trap 'kill "${STATION_PIDS[@]}" 2>/dev/null || true; stop_camsim; rm -rf "$WORK"' EXIT INT TERM
printf '[[step]]\nkind = "version"\nexpect = "QVX5M0 *"\n[[step]]\nkind = "capture"\n' >"$WORK/line.toml"
mkdir -p "$WORK/Pictures"
env HOME="$WORK" XDG_CONFIG_HOME="$WORK/.config" XDG_DATA_HOME="$WORK/.local/share" \
  xvfb-run -a -s "-screen 0 2800x1800x24" "$BREVANT" --station "$WORK/line.toml" \
  --ports "$STATION_PORTS" --screenshots "$OUT"
