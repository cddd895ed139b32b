#!/bin/sh
# Runs the fault soak: scripts/soak.sh [build folder] [captures]
set -eu
BUILD=${1:-build}
CAPTURES=${2:-1000}
cmake --build "$BUILD" --target soak
exec "$BUILD/tests/soak/soak" --captures "$CAPTURES"
