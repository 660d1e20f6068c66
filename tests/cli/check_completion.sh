#!/usr/bin/env bash
# The bash completion of vidlomat-cli offers exactly the long options its
# --help lists, and the documented values after --size.
set -euo pipefail
cli=$1
completion=$2
from_help=$("$cli" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u)
# shellcheck disable=SC1090
source "$completion"
COMP_WORDS=(vidlomat-cli --); COMP_CWORD=1
_vidlomat_cli
offered=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u)
if [[ $from_help != "$offered" ]]; then
  diff <(echo "$from_help") <(echo "$offered") >&2 || true
  echo "check_completion: the completion's options differ from --help" >&2
  exit 1
fi
COMP_WORDS=(vidlomat-cli --size 72); COMP_CWORD=2
_vidlomat_cli
[[ "${COMPREPLY[*]}" == "720x306 720x320" ]] || { echo "check_completion: --size 72 offers '${COMPREPLY[*]}'" >&2; exit 1; }
echo "check_completion: ok"
