#!/usr/bin/env bash
# Runs every benchmark; each prints its own table of ratios against an anchor measured
# in the same run.
set -euo pipefail
BUILD=${1:-build}
cmake --build "$BUILD" --target bench_all
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
done
