#!/usr/bin/env bash
# Sets up, builds, and runs the program's main job: ./scripts/run.sh FILE...
# converts the given video files with the default settings into ./converted/.
# Without files it prints how to use it. The media-library diagnostic stays
# reachable as ./build/bin/vidlomat-cli --libraries (or vidlomat-libinfo).
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
if [ "$#" -eq 0 ]; then
  cat <<'USAGE'
Usage: ./scripts/run.sh FILE...
  Converts each FILE to an .mp4 file (MPEG-4 video, AAC audio) in ./converted/,
  with the default settings (320x240, 30 fps, 512 kbit/s video, 80 kbit/s stereo audio).
  For other settings run ./build/bin/vidlomat-cli --help after a first build;
  ./build/bin/vidlomat-cli --libraries shows the media libraries in use.
USAGE
  exit 0
fi
./scripts/setup.sh
./scripts/build.sh plain
# Relative input paths, and ./converted/, are taken from where the script was called.
files=()
for f in "$@"; do
  case "$f" in
    /*) files+=("$f") ;;
    *) files+=("$caller/$f") ;;
  esac
done
exec ./build/bin/vidlomat-cli -o "$caller/converted" "${files[@]}"
