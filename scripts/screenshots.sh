#!/usr/bin/env bash
# Renders the main window (three files added; with its Log open on the 800x600
# screen, also at a scale of 1.5), a selected row (light and dark
# palette), the About window, the main window during a run (nothing moved at
# Convert, the log at its last line), the players' limit note, a batch whose
# last file failed with its finish message, a finish message that lists
# several files with their reasons, an output folder that cannot be used, a
# file refused during Add (its box in front of the progress), Add Folder's
# progress, the batch line's size figures, a paused batch, the messages after
# a Stop and after "Stop after this file", a row's Audio
# track menu and one picture of an output with its subtitle burned in to PNG files in
# build/screenshots/, on Qt's offscreen platform (no display needed).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
ninja -C build vidlomat vidlomat-screenshots
QT_QPA_PLATFORM=offscreen ./build/bin/vidlomat-screenshots build/screenshots
# The same 800x600 screen at one and a half times the size.
QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=1.5 ./build/bin/vidlomat-screenshots --scaled build/screenshots
