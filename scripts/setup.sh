#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing,
# and the further packages named as arguments. Safe to run again. Never
# installs the media libraries' command-line programs: only their development
# headers and shared libraries.
set -euo pipefail

packages=(
  g++ cmake ninja-build binutils ccache
  googletest libgtest-dev libgmock-dev
  libavcodec-dev libavformat-dev libavfilter-dev libavutil-dev libswscale-dev libswresample-dev
  qt6-base-dev libqt6dbus6
  fonts-dejavu-core  # the window's font, and the font of burned-in subtitles
  locales help2man
  xvfb openbox xdotool x11-utils
  dbus-daemon
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

# The number-parsing tests run under a locale that writes decimals with a comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "setup: generating the de_DE.UTF-8 locale"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
