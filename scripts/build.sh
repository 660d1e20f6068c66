#!/usr/bin/env bash
# Configures and builds one build folder: build.sh [plain|address|thread]
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
case "$kind" in
  plain) dir=build; san="" ;;
  address) dir=build-asan; san=address ;;
  thread) dir=build-tsan; san=thread ;;
  *) echo "usage: $0 [plain|address|thread]" >&2; exit 2 ;;
esac
echo "build: $kind build in $dir/"
cmake -S . -B "$dir" -G Ninja -DVIDLOMAT_SANITIZE="$san" >/dev/null
ninja -C "$dir"
