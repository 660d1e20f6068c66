#!/usr/bin/env bash
# Sets up, builds the plain build and runs the conversion benchmark (engine
# against a direct use of the libraries). Arguments go to the benchmark:
# --runs N, --seconds S, --dir FOLDER (where the test clip is kept).
# --batch-memory [FILES] instead prints the peak memory of a batch of FILES
# (500) links to a tiny clip against a batch of one.
# --quality instead compares each output of the window's set-up with its
# source (size, bit rate, PSNR, SSIM, time shift); see docs/quality.md.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh plain
exec ./build/bin/vidlomat-bench "$@"
