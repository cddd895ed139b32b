#!/usr/bin/env bash
# Packs what the build already made into the Debian package (in a scratch folder; nothing
# is rebuilt) and checks it: name, fields, contents, and lintian's verdict.
#   check_deb.sh BUILD_DIR      exit 77: a packaging tool is missing (test skipped)
set -euo pipefail
BUILD=$(cd "${1:?usage: check_deb.sh BUILD_DIR}" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (scripts/install-deps.sh installs dpkg-dev and lintian)"
    exit 77
  fi
done

SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$SCRATCH" >"$SCRATCH/cpack.log" 2>&1 \
  || { cat "$SCRATCH/cpack.log" >&2; fail "cpack"; }

VERSION=$("$BUILD/tools/cli/brevant-cli" --version | cut -d' ' -f2)
DEB="$SCRATCH/brevant_${VERSION}_$(dpkg --print-architecture).deb"
[ -f "$DEB" ] || { ls "$SCRATCH" >&2; fail "no package named ${DEB##*/}"; }

field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = brevant ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$VERSION" ] || fail "Version: $(field Version)"
[ -n "$(field Section)" ] || fail "no Section"
field Maintainer | grep -q '^[^<]\+ <[^@>]\+@[^>]\+>$' || fail "Maintainer: $(field Maintainer)"
field Description | sed -n 2p | grep -q . || fail "no long Description"
# Depends comes from the libraries the programs link, plus the Qt plugins.
for dep in libc6 libstdc++6 libjpeg62-turbo libqt6widgets6 qt6-qpa-plugins; do
  field Depends | tr ',' '\n' | grep -q "^ *$dep\b" || fail "Depends lacks $dep: $(field Depends)"
done

dpkg-deb -c "$DEB" | awk '{print $NF}' | sed 's|^\./|/|' >"$SCRATCH/contents"
for path in /usr/bin/brevant /usr/bin/brevant-cli /usr/bin/camsim \
            /usr/share/applications/org.brevant.brevant.desktop \
            /usr/share/icons/hicolor/scalable/apps/brevant.svg \
            /usr/share/icons/hicolor/256x256/apps/brevant.png \
            /usr/share/metainfo/org.brevant.brevant.metainfo.xml \
            /usr/lib/udev/rules.d/70-brevant.rules \
            /usr/share/man/man1/brevant.1.gz /usr/share/man/man1/brevant-cli.1.gz \
            /usr/share/man/man1/camsim.1.gz \
            /usr/share/bash-completion/completions/brevant-cli \
            /usr/share/bash-completion/completions/camsim \
            /usr/share/doc/brevant/copyright /usr/share/doc/brevant/changelog.gz \
            "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/wireshark/plugins/brevant.lua"; do
  grep -qx "$path" "$SCRATCH/contents" || fail "$path is not in the package"
done

# Every example plan and profile of the source tree ships.
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
if [ -d "$SOURCE/examples" ]; then
  while IFS= read -r example; do
    grep -qx "/usr/share/doc/brevant/examples/$example" "$SCRATCH/contents" \
      || fail "examples/$example is not in the package"
  done < <(cd "$SOURCE/examples" && find . -type f | sed 's|^\./||')
fi

# Errors fail the test; warnings are shown for the record.
lintian --fail-on error --tag-display-limit 0 "$DEB" || fail "lintian reports errors"
echo "package ${DEB##*/} OK"
