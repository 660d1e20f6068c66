#!/usr/bin/env bash
# Sets up, builds and runs every test: a plain build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build (leaks fail the run), then a ThreadSanitizer
# build that runs the converter component, CLI, window run and engine
# life-cycle tests (a reported race fails the run). The window's tests run on
# Qt's offscreen platform: no display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
export QT_QPA_PLATFORM=offscreen

./scripts/build.sh plain
echo "test: plain build"
ctest --test-dir build --output-on-failure -j2

./scripts/build.sh address
echo "test: address + undefined-behaviour build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j2

./scripts/build.sh thread
echo "test: thread-sanitizer build (component, CLI, window run, engine life cycle)"
unset ASAN_OPTIONS UBSAN_OPTIONS
# Qt and the media libraries are not built with ThreadSanitizer: the
# synchronisation inside them (Qt's futex mutexes and thread pool, which Qt Gui
# uses for image work) is invisible to it, so the copies and frees those
# libraries make on their own threads would be reported as races. Only calls
# made from our own, instrumented code are checked.
export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1:ignore_noninstrumented_modules=1
ctest --test-dir build-tsan --output-on-failure -j2 -L tsan
