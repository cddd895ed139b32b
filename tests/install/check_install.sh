#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop user gets: the three
# programs, the menu entry, the icons and the AppStream metainfo, validated by the same
# tools distributions run.
#   check_install.sh BUILD_DIR
set -euo pipefail
BUILD=${1:?usage: check_install.sh BUILD_DIR}
PREFIX=$(mktemp -d)
trap 'rm -rf "$PREFIX"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$BUILD" --prefix "$PREFIX" >"$PREFIX.log" 2>&1 || { cat "$PREFIX.log" >&2; rm -f "$PREFIX.log"; fail "cmake --install"; }
rm -f "$PREFIX.log"

for exe in brevant brevant-cli camsim; do
  [ -x "$PREFIX/bin/$exe" ] || fail "bin/$exe is missing or not executable"
done
# The installed programs start on their own (no build tree next to them).
"$PREFIX/bin/brevant" --help | grep -q -- --port || fail "installed brevant --help"
"$PREFIX/bin/brevant-cli" --help >/dev/null || fail "installed brevant-cli --help"

DESKTOP="$PREFIX/share/applications/org.brevant.brevant.desktop"
SVG="$PREFIX/share/icons/hicolor/scalable/apps/brevant.svg"
PNG="$PREFIX/share/icons/hicolor/256x256/apps/brevant.png"
META="$PREFIX/share/metainfo/org.brevant.brevant.metainfo.xml"
for f in "$DESKTOP" "$SVG" "$PNG" "$META"; do
  [ -s "$f" ] || fail "${f#$PREFIX/} is missing"
done

# The menu entry starts the installed program and names the installed icon.
grep -qx 'Exec=brevant' "$DESKTOP" || fail "desktop entry does not run brevant"
grep -qx 'Icon=brevant' "$DESKTOP" || fail "desktop entry does not use the brevant icon"
grep -q '<svg' "$SVG" || fail "scalable icon is not an SVG"
# PNG signature and a 256x256 IHDR (width and height are the big-endian words at 16..23).
[ "$(head -c 8 "$PNG" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "icon is not a PNG"
[ "$(od -An -j16 -N8 -tx1 "$PNG" | tr -d ' \n')" = "0000010000000100" ] || fail "PNG icon is not 256x256"
grep -q '<launchable type="desktop-id">org.brevant.brevant.desktop</launchable>' "$META" \
  || fail "metainfo does not point at the desktop entry"

command -v desktop-file-validate >/dev/null || fail "desktop-file-validate is missing (package desktop-file-utils; run scripts/install-deps.sh)"
command -v appstreamcli >/dev/null || fail "appstreamcli is missing (package appstream; run scripts/install-deps.sh)"
desktop-file-validate "$DESKTOP" || fail "desktop-file-validate"
appstreamcli validate --pedantic --no-net "$META" || fail "appstreamcli validate"
# The software centre's view: the metainfo with its desktop entry and icon, as installed.
appstreamcli validate-tree --pedantic --no-net "$PREFIX" || fail "appstreamcli validate-tree"
[ -s "$PREFIX/lib/udev/rules.d/70-brevant.rules" ] || fail "the udev rule is not installed"
# The Wireshark dissector, where Wireshark's global Lua plugins are.
LUA=$(find "$PREFIX/lib" -path '*/wireshark/plugins/brevant.lua' | head -n 1)
[ -n "$LUA" ] && [ -s "$LUA" ] || fail "the Wireshark dissector is not installed"
grep -q 'DissectorTable.get("wtap_encap")' "$LUA" || fail "brevant.lua is not the dissector"
# Manual pages, compressed, one per program, each naming its version.
VERSION=$("$PREFIX/bin/brevant-cli" --version | cut -d' ' -f2)
for exe in brevant brevant-cli camsim; do
  [ "$("$PREFIX/bin/$exe" --version)" = "$exe $VERSION" ] || fail "$exe --version"
  PAGE="$PREFIX/share/man/man1/$exe.1.gz"
  [ -s "$PAGE" ] || fail "${PAGE#$PREFIX/} is missing"
  gzip -dc "$PAGE" | grep -Eq "^\.TH \"?${exe^^}\"? \"?1\"? .* $VERSION\"" || fail "$exe.1 has no title line for $VERSION"
done

# Completion: a bash session finds the installed script the way bash-completion does and
# completes a command, an option and a value.
COMPLETIONS="$PREFIX/share/bash-completion/completions"
[ -s "$COMPLETIONS/brevant-cli" ] && [ -s "$COMPLETIONS/camsim" ] || fail "completion scripts are missing"
complete_line() {  # PROGRAM WORDS... -> the candidates, one line
  bash --norc --noprofile -c '
    set -e
    if [ -r /usr/share/bash-completion/bash_completion ]; then
      . /usr/share/bash-completion/bash_completion
      XDG_DATA_DIRS="$1/share" __load_completion "$2"
    else
      . "$1/share/bash-completion/completions/$2"
    fi
    shift
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    func=$(complete -p "$1" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    [ -n "$func" ]
    "$func" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"' complete "$PREFIX" "$@"
}
expect_completion() {  # EXPECTED WORDS...
  local expected=$1; shift
  local got; got=$(complete_line "$@") || fail "completing '$*' failed"
  [ "$got" = "$expected" ] || fail "completing '$*' gave '$got', expected '$expected'"
}
expect_completion "capture" brevant-cli -p /dev/ttyUSB0 cap
expect_completion "--trace --transmit" brevant-cli capture --tr
expect_completion "2048" brevant-cli capture --transmit 20
expect_completion "1920X1080" brevant-cli --json image-size 19
expect_completion "day night" brevant-cli image-params set ""
expect_completion "--verbose --version" camsim --ve

echo "install tree OK"
