#!/usr/bin/env bash
# Fails when any ELF file (executable or shared library) below the given folders
# names a media library in its dynamic section (DT_NEEDED). Links inside LibAV/
# are the libraries themselves and are skipped.
set -u
bad=0
checked=0
for dir in "$@"; do
  [ -d "$dir" ] || continue
  while IFS= read -r -d '' f; do
    case "$f" in */LibAV/*) continue ;; esac
    head -c 4 "$f" 2>/dev/null | grep -q 'ELF' || continue
    checked=$((checked + 1))
    needed=$(readelf -d "$f" 2>/dev/null | grep -E 'NEEDED.*\[lib(avcodec|avformat|avfilter|avutil|avdevice|swscale|swresample|postproc)\.so' || true)
    if [ -n "$needed" ]; then
      echo "links a media library: $f"
      echo "$needed"
      bad=1
    fi
  done < <(find "$dir" -type f -print0)
done
echo "checked $checked ELF files"
if [ "$checked" -eq 0 ]; then echo "no ELF file found: nothing was checked"; exit 1; fi
exit $bad
