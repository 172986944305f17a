#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and uses it as an application
# developer would: a C program built through pkg-config, a C++ program built
# through find_package(tivax), the example's Makefile and the installed
# command-line tool, each run against the installed device emulator.
#
#   check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
. "$(dirname "$0")/dist_common.sh" "$@"
FLAGS=$(consumer_flags "$BUILD")
CODE=12345678  # the emulator's activation code

# --- the installed tree -----------------------------------------------------
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" || fail "cmake --install: $(cat "$WORK/install.log")"
cp "$BUILD/install_manifest.txt" "$WORK/installed-files.txt"

library=$(find "$PREFIX" -name "libtivax.so.$VERSION" -type f)
[ -n "$library" ] || fail "libtivax.so.$VERSION not installed"
LIBDIR=$(dirname "$library")
note "library in $LIBDIR"
[ "$(readlink "$LIBDIR/libtivax.so.$MAJOR")" = "libtivax.so.$VERSION" ] || fail "libtivax.so.$MAJOR link"
[ "$(readlink "$LIBDIR/libtivax.so")" = "libtivax.so.$MAJOR" ] || fail "libtivax.so link"
# Taken whole first: under pipefail, grep -q leaving early would fail the
# pipeline with objdump's SIGPIPE.
headers=$(objdump -p "$library")
grep -q "SONAME *libtivax.so.$MAJOR\$" <<<"$headers" || fail "SONAME is not libtivax.so.$MAJOR"
for f in include/tivax.h include/tivax_version.h bin/tivax bin/tivax-emulator lib/udev/rules.d/60-tivax.rules \
  share/man/man1/tivax.1.gz share/man/man1/tivax-emulator.1.gz share/man/man3/libtivax.3.gz \
  share/bash-completion/completions/tivax share/doc/libtivax-dev/examples/c/consulta_status.c \
  share/doc/libtivax-dev/examples/python/consulta_status.py; do
  [ -e "$PREFIX/$f" ] || fail "$f not installed"
done
for f in pkgconfig/tivax.pc cmake/tivax/tivaxConfig.cmake cmake/tivax/tivaxConfigVersion.cmake \
  cmake/tivax/tivaxTargets.cmake; do
  [ -e "$LIBDIR/$f" ] || fail "$f not installed beside the library"
done
grep -q "#define TIVAX_VERSION \"$VERSION\"" "$PREFIX/include/tivax_version.h" || fail "tivax_version.h version"
# The hub's unit runs the program installed under this prefix.
unit=$(find "$PREFIX" -name tivax-hub.service)
[ -n "$unit" ] || fail "tivax-hub.service not installed"
grep -qx "ExecStart=$PREFIX/bin/tivax-hub --config $PREFIX/etc/tivax/hub.conf" "$unit" ||
  fail "the unit's ExecStart is not under $PREFIX: $(grep ExecStart "$unit")"
grep -qx "ReadWritePaths=$PREFIX/etc/tivax" "$unit" || fail "the unit's ReadWritePaths is not under $PREFIX"

# Each component alone holds its own part.
for component in runtime development tools; do
  cmake --install "$BUILD" --prefix "$WORK/$component" --component "$component" >/dev/null
done
[ -z "$(find "$WORK/runtime" -name '*.h' -o -name 'libtivax.so' -o -name '*.pc' -o -path '*/bin/*')" ] ||
  fail "runtime component holds development files or tools"
[ -n "$(find "$WORK/runtime" -name "libtivax.so.$MAJOR")" ] || fail "runtime component lacks libtivax.so.$MAJOR"
[ -z "$(find "$WORK/development" -name 'libtivax.so.*')" ] || fail "development component holds the runtime"
[ -n "$(find "$WORK/development" -name tivax.pc)" ] || fail "development component lacks tivax.pc"
[ -e "$WORK/tools/bin/tivax" ] || fail "tools component lacks the tool"

# The Python module is for its Debian package alone; pip installs it elsewhere.
[ -z "$(find "$PREFIX" -name '*.py' -path '*/tivax/*')" ] || fail "a plain install put the Python module in place"

# --- pkg-config -------------------------------------------------------------
# Plain paths under the prefix installed to, which pkg-config can tell apart
# from the system's.
grep -qx "prefix=$PREFIX" "$LIBDIR/pkgconfig/tivax.pc" || fail "tivax.pc: prefix is not $PREFIX"
grep -qx 'includedir=${prefix}/include' "$LIBDIR/pkgconfig/tivax.pc" || fail "tivax.pc: includedir"
export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
[ "$(pkg-config --modversion tivax)" = "$VERSION" ] || fail "pkg-config --modversion"
# shellcheck disable=SC2046
cc $FLAGS -Wall -Wextra -Werror -o "$WORK/c-consumer" "$SOURCE/tests/dist/consumer/consumer.c" \
  $(pkg-config --cflags --libs tivax) || fail "building the C consumer through pkg-config"
LD_LIBRARY_PATH=$LIBDIR with_emulator "$PREFIX/bin/tivax-emulator" "$WORK/c-consumer" @PORT@ "$VERSION" ||
  fail "the C consumer"
note "C program through pkg-config: ok"

# --- find_package -----------------------------------------------------------
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$SOURCE/tests/dist/consumer" -B "$WORK/cmake-consumer" "${generator[@]}" \
  -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_CXX_FLAGS="$FLAGS" >"$WORK/consumer.log" 2>&1 ||
  fail "configuring the CMake consumer: $(cat "$WORK/consumer.log")"
cmake --build "$WORK/cmake-consumer" >>"$WORK/consumer.log" 2>&1 ||
  fail "building the CMake consumer: $(cat "$WORK/consumer.log")"
# The imported target carries the library's path: no LD_LIBRARY_PATH.
with_emulator "$PREFIX/bin/tivax-emulator" "$WORK/cmake-consumer/consumer" @PORT@ "$CODE" ||
  fail "the CMake consumer"
note "C++ program through find_package: ok"

# Another major version must not be accepted.
mkdir -p "$WORK/wrong-major"
cat >"$WORK/wrong-major/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(wrong_major NONE)
find_package(tivax $((MAJOR + 1)) REQUIRED)
EOF
if cmake -S "$WORK/wrong-major" -B "$WORK/wrong-major/build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null 2>&1; then
  fail "find_package(tivax $((MAJOR + 1))) accepted version $VERSION"
fi

# --- the example's Makefile -------------------------------------------------
cp "$SOURCE/examples/c/consulta_status.c" "$SOURCE/examples/c/Makefile" "$WORK/"
make -s -C "$WORK" CFLAGS="$FLAGS -O2 -Wall -Wextra -Werror" consulta_status >/dev/null || fail "building examples/c"
LD_LIBRARY_PATH=$LIBDIR with_emulator "$PREFIX/bin/tivax-emulator" "$WORK/consulta_status" "$CODE" @PORT@ \
  >"$WORK/example.out" || fail "the example"
grep -q '|10000|' "$WORK/example.out" || fail "the example printed no status: $(cat "$WORK/example.out")"
note "examples/c through its Makefile: ok"

# --- the installed tool -----------------------------------------------------
# It finds the library beside it (RUNPATH), without LD_LIBRARY_PATH.
with_emulator "$PREFIX/bin/tivax-emulator" "$PREFIX/bin/tivax" --porta @PORT@ --campos consultar-sat \
  >"$WORK/tool.out" || fail "the installed tool"
grep -q '^EEEEE=08000$' "$WORK/tool.out" || fail "the tool's answer: $(cat "$WORK/tool.out")"
[ "$("$PREFIX/bin/tivax" --version)" = "tivax $VERSION" ] || fail "tivax --version"
note "installed tool: ok"

# --- uninstalling ------------------------------------------------------------
# What make uninstall does: nothing of the project is left behind.
"$SOURCE/tools/uninstall.sh" "$WORK/installed-files.txt" "$PREFIX" >"$WORK/uninstall.log" ||
  fail "uninstall: $(cat "$WORK/uninstall.log")"
left=$(cd "$PREFIX" && find . \( -type f -o -type l -o -path '*tivax*' \))
[ -z "$left" ] || fail "left after uninstalling: $left"
note "uninstall: ok"

echo "install check passed"
