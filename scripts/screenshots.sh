#!/usr/bin/env bash
# Renders the main window (three files added), a selected row (light and dark
# palette), the About window, the main window during a run (nothing moved at
# Convert, the log at its last line), the players' limit note, a batch whose
# last file failed with its finish message, and a file refused during Add (its
# box in front of the progress) to PNG files in build/screenshots/, on Qt's
# offscreen platform (no display needed).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build vidlomat vidlomat-screenshots
QT_QPA_PLATFORM=offscreen ./build/bin/vidlomat-screenshots build/screenshots
