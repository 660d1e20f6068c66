#!/usr/bin/env bash
# Builds the two libFuzzer targets with Debian's clang (installed when missing)
# and runs each for SECONDS (default 60): the option parser and handlers, then
# the conversion of input bytes held in memory. Not part of the test command.
#
#   ./scripts/fuzz.sh [SECONDS] [options|convert]   (both targets by default)
#
# Everything lives in build-fuzz/: corpus/<target>/ (kept between runs, seeded
# on the first), findings/<target>/ (inputs that crashed, leaked or hung) and
# <target>.log (libFuzzer's output). The exit status is 1 when a target found
# something (findings/ not empty).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
only=${2:-}
# Debian's clang with its libFuzzer runtime.
./scripts/setup.sh clang libclang-rt-14-dev

dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DVIDLOMAT_SANITIZE=fuzzer -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C "$dir" vidlomat_option_fuzzer vidlomat_convert_fuzzer vidlomat_fuzz_seeds

# Seeds. Options: one text per row of the option table with a typical value,
# and the window's option set; a dictionary of the option names.
opts="$dir/corpus/options"
conv="$dir/corpus/convert"
mkdir -p "$opts" "$conv" "$dir/findings/options" "$dir/findings/convert"
if [ -z "$(ls -A "$opts")" ]; then
  printf 'vcodec=mpeg4\nacodec=libfaac\nac=2\nab=80000\nb=512000\ns=320x240\nr=30\nar=44100\n' >"$opts/window"
  n=0
  for name in $(grep -o '^    {"[a-z_0-9A-Z]*"' Src/OptionTable.cpp | tr -d ' {"'); do
    for value in 1 0 -1 320x240 25 abc 99999999999; do
      printf '%s=%s\n' "$name" "$value" >"$opts/row$((n++))"
    done
  done
fi
grep -o '^    {"[a-z_0-9A-Z]*"' Src/OptionTable.cpp | tr -d ' {' | sed 's/^/kw=/' >"$dir/options.dict"
if [ -z "$(ls -A "$conv")" ]; then
  ./"$dir"/bin/vidlomat_fuzz_seeds "$conv"
fi

# One scratch folder for the outputs of every process of the run, in memory
# where the system has such a folder.
scratch_base=/tmp
if [ -d /dev/shm ]; then scratch_base=/dev/shm; fi
VIDLOMAT_FUZZ_SCRATCH=$(mktemp -d "$scratch_base/vidlomat-fuzz.XXXXXX")
export VIDLOMAT_FUZZ_SCRATCH
trap 'rm -rf "$VIDLOMAT_FUZZ_SCRATCH"' EXIT

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
# Each target runs in libFuzzer's fork mode, so that a fault found early does
# not end the run: every finding is kept in findings/<target>/.
run() {
  local target=$1 corpus=$2 findings=$3
  shift 3
  echo "fuzz: $target for ${seconds}s"
  ./"$dir"/bin/"$target" "$corpus" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -max_len=1048576 \
    -artifact_prefix="$findings/" "$@" >"$dir/$target.log" 2>&1 || true
  # The last statistics line: executions, coverage, corpus, findings.
  grep -E '^#[0-9]+' "$dir/$target.log" | tail -n 1
  if [ -n "$(ls -A "$findings")" ]; then
    status=1
    echo "fuzz: $target found faults: $(ls "$findings" | tr '\n' ' ')"
  fi
}
if [ "$only" != convert ]; then
  run vidlomat_option_fuzzer "$opts" "$dir/findings/options" -dict="$dir/options.dict" -max_len=4096
fi
if [ "$only" != options ]; then
  run vidlomat_convert_fuzzer "$conv" "$dir/findings/convert"
fi
exit $status
