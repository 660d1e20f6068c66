#!/usr/bin/env bash
# The real power-off (systemd-logind over D-Bus) is compiled into the program
# `vidlomat` only: no other executable and no library of the build may carry
# it, so no test can turn the machine off.
#   check_no_power_off.sh BIN_DIR LIB_DIR
set -euo pipefail
bin=$1 lib=$2
# The call only the power-off makes (the sleep lock talks to logind too).
marker='CanPowerOff'
grep -q "$marker" "$bin/vidlomat" || { echo "vidlomat lacks the power-off: the check looks for the wrong text"; exit 1; }
found=0
for f in "$bin"/* "$lib"/*; do
  [ -f "$f" ] || continue
  [ "$(basename "$f")" = vidlomat ] && continue
  if grep -q "$marker" "$f"; then
    echo "carries the real power-off: $f"
    found=1
  fi
done
exit $found
