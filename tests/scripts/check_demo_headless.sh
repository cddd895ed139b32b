#!/usr/bin/env bash
# `make demo` without a display: the virtual camera and the command-line capture, saved
# in the home folder (no Pictures folder there) and reported with its path.
#   check_demo_headless.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SOURCE=${1:?usage: check_demo_headless.sh SOURCE_DIR BUILD_DIR}
BUILD=${2:?usage: check_demo_headless.sh SOURCE_DIR BUILD_DIR}
HOME_DIR=$(mktemp -d)
trap 'rm -rf "$HOME_DIR"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

OUTPUT=$(env -u DISPLAY -u WAYLAND_DISPLAY -u XDG_CONFIG_HOME HOME="$HOME_DIR" DEMO_BAUD=115200 \
         "$SOURCE/scripts/demo.sh" "$BUILD" 2>&1) || { echo "$OUTPUT" >&2; fail "demo.sh failed"; }
echo "$OUTPUT"
grep -q '^No display: taking one picture headless\.$' <<<"$OUTPUT" || fail "no headless notice"
SAVED=$(sed -n 's/^Picture saved: \(.*\.jpg\) [0-9]* bytes [0-9]*x[0-9]* [0-9.]*s$/\1/p' <<<"$OUTPUT")
[ -n "$SAVED" ] || fail "the demo did not say where the picture is"
[ "$(dirname "$SAVED")" = "$HOME_DIR" ] || fail "the picture is not in the home folder: $SAVED"
[ "$(head -c 2 "$SAVED" | od -An -tx1 | tr -d ' \n')" = "ffd8" ] || fail "$SAVED is not a JPEG"
