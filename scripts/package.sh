#!/usr/bin/env bash
# Builds the Debian package build-package/vidlomat_<version>_<arch>.deb from a
# release build installed under /usr (CPack), then tests it
# (tests/package/check_package.sh). Install it with
#   sudo apt install ./build-package/vidlomat_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh dpkg-dev lintian appstream desktop-file-utils file
dir=build-package

# Debian's flags with every hardening feature (stack protector, fortified
# calls, read-only relocations bound at start), without debug information: the
# package holds stripped programs.
flags() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g \
    dpkg-buildflags --get "$1"
}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
# Only what the package installs; the tests and benchmarks are not built here.
ninja -C "$dir" vidlomat vidlomat-cli vidlomat_icons vidlomat_cli_man

rm -f "$dir"/vidlomat_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/vidlomat_*.deb)
[[ -f ${debs[0]} ]] || { echo "package: CPack made no package" >&2; exit 1; }
echo "package: ${debs[0]}"
./tests/package/check_package.sh "${debs[0]}"
