#!/usr/bin/env bash
# Sets up, builds and runs the program.
#   ./scripts/run.sh            opens the window (build/bin/vidlomat)
#   ./scripts/run.sh FILE...    converts the given video files with the default
#                               settings into ./converted/ (build/bin/vidlomat-cli)
# The media-library diagnostic stays reachable as ./build/bin/vidlomat-cli --libraries.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh plain
if [ "$#" -eq 0 ]; then
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec ./build/bin/vidlomat
  fi
  cat <<'USAGE'
run: no display here (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window cannot open.
Convert from the command line instead:
  ./scripts/run.sh FILE...
    converts each FILE to an .mp4 file (MPEG-4 video, AAC audio) in ./converted/, with the
    default settings (320x240, 30 fps, 512 kbit/s video, 80 kbit/s stereo audio);
  ./build/bin/vidlomat-cli --help
    lists the other settings (profiles, size, frame rate, output folder, ...).
USAGE
  exit 0
fi
# Relative input paths, and ./converted/, are taken from where the script was called.
files=()
for f in "$@"; do
  case "$f" in
    /*) files+=("$f") ;;
    *) files+=("$caller/$f") ;;
  esac
done
exec ./build/bin/vidlomat-cli -o "$caller/converted" "${files[@]}"
