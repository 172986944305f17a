#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages the way Debian builds a package: a tree of its
# own configured for the /usr prefix (so the library lands in the multiarch
# directory), the compiler and linker flags of dpkg-buildflags with every
# hardening feature, only what ships (no tests, no benchmarks), then CPack.
#
#   tools/build-packages.sh [BUILD_DIR]   default build-deb
# The packages are left in BUILD_DIR/packages. Environment: JOBS (nproc).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-deb}")
jobs=${JOBS:-$(nproc)}

"$root/tools/install-deps.sh" deb

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
# CMake reads CFLAGS, CXXFLAGS and LDFLAGS; the preprocessor flags
# (_FORTIFY_SOURCE) go with the compiler's, as debhelper passes them.
CFLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" CXXFLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
  LDFLAGS="$(flags LDFLAGS)" \
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DTIVAX_BUILD_TESTS=OFF -DTIVAX_BUILD_BENCH=OFF -DTIVAX_SYSTEMD_UNIT_DIR=/lib/systemd/system
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB)
ls "$build"/packages/*.deb
