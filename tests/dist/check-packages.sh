#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages of a build (cpack -G DEB) and checks that each
# holds what it should, depends on what it should, and that they fit
# together: no file in two packages, and the unpacked development files
# usable as they are. With --lintian, lintian must find no error in them
# (the warnings it keeps are printed).
#
#   check-packages.sh BUILD_DIR SOURCE_DIR [--lintian]
set -euo pipefail
lintian=
if [ "${3:-}" = --lintian ]; then lintian=1; set -- "$1" "$2"; fi
. "$(dirname "$0")/dist_common.sh" "$@"
RUNTIME=libtivax$MAJOR
PACKAGES=("$RUNTIME" libtivax-dev tivax-tools python3-tivax tivax-hub)

(cd "$BUILD" && cpack -G DEB -B "$WORK/packages") >"$WORK/cpack.log" 2>&1 || fail "cpack: $(cat "$WORK/cpack.log")"

package_file() {
  local file
  file=$(find "$WORK/packages" -maxdepth 1 -name "$1_${VERSION}_*.deb")
  [ -n "$file" ] || fail "no package $1_${VERSION}_*.deb; built: $(ls "$WORK/packages")"
  echo "$file"
}

# The paths a package holds, one a line, without the leading "." and without
# directories; links as "path -> target".
contents() {
  dpkg-deb --contents "$1" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); sub(/^\./, ""); print }'
}

expect_path() {  # PACKAGE REGEX: the package holds a path matching REGEX
  grep -Eq "$2" "$WORK/$1.list" || fail "$1 lacks $2; it holds: $(cat "$WORK/$1.list")"
}
refuse_path() {
  if grep -Eq "$2" "$WORK/$1.list"; then fail "$1 should not hold $2"; fi
}
expect_depends() {  # PACKAGE TEXT
  local depends
  depends=$(dpkg-deb --field "$(package_file "$1")" Depends)
  case "$depends" in *"$2"*) ;; *) fail "$1 Depends '$depends' lacks '$2'" ;; esac
}

for p in "${PACKAGES[@]}"; do
  contents "$(package_file "$p")" >"$WORK/$p.list"
  [ "$(dpkg-deb --field "$(package_file "$p")" Version)" = "$VERSION" ] || fail "$p version"
  # Debian wants both in every package, the changelog compressed.
  expect_path "$p" "^/usr/share/doc/$p/copyright\$"
  expect_path "$p" "^/usr/share/doc/$p/changelog\.gz\$"
done

# The library directory the tree was configured with; for the /usr prefix,
# as the packages are built, Debian's multiarch directory.
LIBDIR=$(cache_value "$BUILD" CMAKE_INSTALL_LIBDIR)
if [ "$(cache_value "$BUILD" CMAKE_INSTALL_PREFIX)" = /usr ]; then
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  [ "$LIBDIR" = "lib/$multiarch" ] || fail "configured for /usr, the library goes to $LIBDIR, not lib/$multiarch"
fi
LIB="^/usr/$LIBDIR/"
control() {  # control PACKAGE FILE: prints the control file, fails when absent
  dpkg-deb --info "$(package_file "$1")" "$2" 2>/dev/null || fail "$1 has no $2 control file"
}
has_control() { grep -qx "\./$2" <<<"$(dpkg-deb --ctrl-tarfile "$(package_file "$1")" | tar -t)"; }

expect_path "$RUNTIME" "${LIB}libtivax\.so\.$VERSION\$"
expect_path "$RUNTIME" "${LIB}libtivax\.so\.$MAJOR -> libtivax\.so\.$VERSION\$"
refuse_path "$RUNTIME" '\.h$|libtivax\.so ->|\.pc$|^/usr/bin/'
grep -q "^libtivax $MAJOR $RUNTIME (>= " <<<"$(control "$RUNTIME" shlibs)" || fail "$RUNTIME shlibs"
symbols_file=$(control "$RUNTIME" symbols)
head -n 1 <<<"$symbols_file" | grep -qx "libtivax.so.$MAJOR $RUNTIME #MINVER#" || fail "$RUNTIME symbols"
! grep -q '^#' <<<"$symbols_file" || fail "$RUNTIME symbols file keeps its comments"
grep -qx 'activate-noawait ldconfig' <<<"$(control "$RUNTIME" triggers)" || fail "$RUNTIME has no ldconfig trigger"
for script in postinst postrm; do
  ! has_control "$RUNTIME" $script || fail "$RUNTIME has a $script: the ldconfig trigger does its work"
done
expect_depends "$RUNTIME" "libc6"

expect_path libtivax-dev '^/usr/include/tivax\.h$'
expect_path libtivax-dev '^/usr/include/tivax_version\.h$'
expect_path libtivax-dev "${LIB}libtivax\.so -> libtivax\.so\.$MAJOR\$"
expect_path libtivax-dev "${LIB}pkgconfig/tivax\.pc\$"
for f in tivaxConfig tivaxConfigVersion tivaxTargets; do
  expect_path libtivax-dev "${LIB}cmake/tivax/$f\.cmake\$"
done
expect_path libtivax-dev '^/usr/share/man/man3/libtivax\.3\.gz$'
for f in c/consulta_status.c c/Makefile c/CMakeLists.txt python/consulta_status.py; do
  expect_path libtivax-dev "^/usr/share/doc/libtivax-dev/examples/$f\$"
done
refuse_path libtivax-dev "libtivax\.so\.$VERSION"
expect_depends libtivax-dev "$RUNTIME (= $VERSION)"

expect_path tivax-tools '^/usr/bin/tivax$'
expect_path tivax-tools '^/usr/bin/tivax-emulator$'
expect_path tivax-tools '^/usr/lib/udev/rules\.d/60-tivax\.rules$'
expect_path tivax-tools '^/usr/share/man/man1/tivax\.1\.gz$'
expect_path tivax-tools '^/usr/share/man/man1/tivax-emulator\.1\.gz$'
expect_path tivax-tools '^/usr/share/bash-completion/completions/tivax$'
refuse_path tivax-tools 'libtivax\.so'
expect_depends tivax-tools "$RUNTIME (= $VERSION)"
[ "$(dpkg-deb --field "$(package_file tivax-tools)" Recommends)" = udev ] || fail "tivax-tools should recommend udev"
control tivax-tools postinst >/dev/null

expect_path python3-tivax '^/usr/lib/python3/dist-packages/tivax/__init__\.py$'
expect_path python3-tivax '^/usr/lib/python3/dist-packages/tivax/py\.typed$'
[ "$(dpkg-deb --field "$(package_file python3-tivax)" Architecture)" = all ] || fail "python3-tivax is not Architecture: all"
expect_depends python3-tivax "$RUNTIME (>= $VERSION)"

expect_path tivax-hub '^/usr/bin/tivax-hub$'
expect_path tivax-hub '^(/usr)?/lib/systemd/system/tivax-hub\.service$'
expect_path tivax-hub '^/usr/share/man/man8/tivax-hub\.8\.gz$'
expect_path tivax-hub '^/usr/share/doc/tivax-hub/examples/hub\.conf$'
refuse_path tivax-hub '^/etc/'
expect_depends tivax-hub "$RUNTIME (= $VERSION)"
expect_depends tivax-hub adduser
[ "$(dpkg-deb --field "$(package_file tivax-hub)" Recommends)" = systemd ] || fail "tivax-hub should recommend systemd"
for script in postinst prerm postrm; do control tivax-hub $script >/dev/null; done

# dpkg refuses to install two packages that hold the same file.
shared=$(cat "$WORK"/*.list | sed 's/ -> .*//' | sort | uniq -d)
[ -z "$shared" ] || fail "files in more than one package: $shared"

# Unpacked together, the packages are a working tree: the udev rule as
# written, and a pkg-config file that points into the tree it sits in.
ROOT=$WORK/root
for p in "${PACKAGES[@]}"; do dpkg-deb -x "$(package_file "$p")" "$ROOT"; done
head -n 1 <<<"$(zcat "$ROOT/usr/share/doc/$RUNTIME/changelog.gz")" | grep -q "^libtivax ($VERSION) " ||
  fail "the changelog does not start with this version"
rule=$ROOT/usr/lib/udev/rules.d/60-tivax.rules
for key in 'SUBSYSTEM=="tty"' 'ATTRS{idVendor}=="1d6b"' 'ATTRS{idProduct}=="0104"' 'ATTRS{product}=="Tivax1"' \
  'SYMLINK+="tivax"' 'GROUP="dialout"' 'MODE="0660"'; do
  grep -Fq "$key" "$rule" || fail "udev rule lacks $key"
done
pc=$(find "$ROOT" -name tivax.pc)
grep -qx 'prefix=/usr' "$pc" && grep -qx 'includedir=${prefix}/include' "$pc" ||
  fail "tivax.pc has no plain paths: $(cat "$pc")"
# Plain system paths are what pkg-config leaves out of the flags...
cflags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags tivax)
[ -z "$cflags" ] || fail "pkg-config --cflags gives '$cflags' for headers in /usr/include"
# ... and a system root moves them into the unpacked tree.
cflags=$(PKG_CONFIG_SYSROOT_DIR=$ROOT PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags tivax)
# shellcheck disable=SC2086
cc $cflags -fsyntax-only -x c "$SOURCE/tests/dist/consumer/consumer.c" ||
  fail "the unpacked headers do not compile through pkg-config ($cflags)"
version=$(PYTHONPATH=$ROOT/usr/lib/python3/dist-packages python3 -c 'import tivax; print(tivax.__version__)') ||
  fail "the packaged Python module does not import"
[ "$version" = "$VERSION" ] || fail "the packaged Python module is version $version"

if [ -n "$lintian" ]; then
  lintian --display-info --tag-display-limit 0 --fail-on error "$WORK"/packages/*.deb \
    >"$WORK/lintian.log" 2>&1 || { cat "$WORK/lintian.log"; fail "lintian found errors"; }
  note "lintian: no error; what it keeps:"
  grep -E '^[WIPX]: ' "$WORK/lintian.log" | sed 's/^/   /' || echo "   nothing"
fi

note "$(cd "$WORK/packages" && ls -- *.deb | tr '\n' ' ')"
echo "package check passed"
