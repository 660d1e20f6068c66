#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets: the
# menu entry and icons, and programs that start from bin/ and find their
# libraries and help beside them.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "check_install: $*" >&2; exit 1; }
for f in share/applications/vidlomat.desktop share/icons/hicolor/scalable/apps/vidlomat.svg \
         share/icons/hicolor/32x32/apps/vidlomat.png share/icons/hicolor/64x64/apps/vidlomat.png \
         share/icons/hicolor/128x128/apps/vidlomat.png lib/vidlomat/help/index.html \
         share/metainfo/org.example.vidlomat.metainfo.xml share/man/man1/vidlomat.1; do
  [[ -s $prefix/$f ]] || fail "$f is missing"
done
for f in share/metainfo/org.example.vidlomat.metainfo.xml share/man/man1/vidlomat.1; do
  ! grep -q '@[A-Z_]*@' "$prefix/$f" || fail "$f has a field the build did not fill in"
done
grep -qx 'Exec=vidlomat %F' "$prefix/share/applications/vidlomat.desktop" || fail "the entry does not start vidlomat with files"
grep -q '^MimeType=.*video/x-msvideo;' "$prefix/share/applications/vidlomat.desktop" || fail "no MIME types"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$prefix/share/applications/vidlomat.desktop"; fi
# A PNG's width and height are the big-endian words at bytes 16 and 20.
for size in 32 64 128; do
  dims=$(od -An -tu4 --endian=big -j16 -N8 "$prefix/share/icons/hicolor/${size}x${size}/apps/vidlomat.png" | tr -s ' ')
  [[ $dims == " $size $size" ]] || fail "the $size px icon measures$dims"
done
# The programs, run through bin/ as the menu entry runs them, from elsewhere.
cd /
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$prefix/config "$prefix/bin/vidlomat" --check | grep -q "libraries in $prefix/lib/vidlomat/LibAV" \
  || fail "the installed window cannot load its libraries"
"$prefix/bin/vidlomat-cli" --libraries | grep -q "$prefix/lib/vidlomat/LibAV" || fail "the installed vidlomat-cli cannot load its libraries"
echo "check_install: ok ($prefix)"
