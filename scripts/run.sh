#!/usr/bin/env bash
# Sets up, builds, and runs the program's main job: for now a diagnostic that
# loads the media libraries from LibAV/ and prints each one's file and version.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh plain
exec ./build/bin/vidlomat-libinfo "$@"
