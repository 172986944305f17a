#!/usr/bin/env bash
# Builds the Debian packages of a build (cpack -G DEB) and checks that each
# holds what it should, depends on what it should, and that the three fit
# together: no file in two packages, and the unpacked development files
# usable as they are.
#
#   check-packages.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
. "$(dirname "$0")/dist_common.sh" "$@"
RUNTIME=libtivax$MAJOR

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

for p in "$RUNTIME" libtivax-dev tivax-tools; do
  contents "$(package_file "$p")" >"$WORK/$p.list"
  [ "$(dpkg-deb --field "$(package_file "$p")" Version)" = "$VERSION" ] || fail "$p version"
done

LIB='^/usr/lib(/[^/]+)?/'
expect_path "$RUNTIME" "${LIB}libtivax\.so\.$VERSION\$"
expect_path "$RUNTIME" "${LIB}libtivax\.so\.$MAJOR -> libtivax\.so\.$VERSION\$"
refuse_path "$RUNTIME" '\.h$|libtivax\.so ->|\.pc$|^/usr/bin/'
dpkg-deb --info "$(package_file "$RUNTIME")" shlibs | grep -q "^libtivax $MAJOR $RUNTIME" || fail "$RUNTIME shlibs"

expect_path libtivax-dev '^/usr/include/tivax\.h$'
expect_path libtivax-dev '^/usr/include/tivax_version\.h$'
expect_path libtivax-dev "${LIB}libtivax\.so -> libtivax\.so\.$MAJOR\$"
expect_path libtivax-dev "${LIB}pkgconfig/tivax\.pc\$"
for f in tivaxConfig tivaxConfigVersion tivaxTargets; do
  expect_path libtivax-dev "${LIB}cmake/tivax/$f\.cmake\$"
done
refuse_path libtivax-dev "libtivax\.so\.$VERSION"
expect_depends libtivax-dev "$RUNTIME (= $VERSION)"

expect_path tivax-tools '^/usr/bin/tivax$'
expect_path tivax-tools '^/usr/bin/tivax-emulator$'
expect_path tivax-tools '^/usr/lib/udev/rules\.d/60-tivax\.rules$'
refuse_path tivax-tools 'libtivax\.so'
expect_depends tivax-tools "$RUNTIME (= $VERSION)"
dpkg-deb --info "$(package_file tivax-tools)" postinst >/dev/null || fail "tivax-tools has no postinst"

# dpkg refuses to install two packages that hold the same file.
shared=$(cat "$WORK"/*.list | sed 's/ -> .*//' | sort | uniq -d)
[ -z "$shared" ] || fail "files in more than one package: $shared"

# Unpacked together, the packages are a working tree: the udev rule as
# written, and a pkg-config file that points into the tree it sits in.
ROOT=$WORK/root
for p in "$RUNTIME" libtivax-dev tivax-tools; do dpkg-deb -x "$(package_file "$p")" "$ROOT"; done
rule=$ROOT/usr/lib/udev/rules.d/60-tivax.rules
for key in 'SUBSYSTEM=="tty"' 'ATTRS{idVendor}=="1d6b"' 'ATTRS{idProduct}=="0104"' 'ATTRS{product}=="Tivax1"' \
  'SYMLINK+="tivax"' 'GROUP="dialout"' 'MODE="0660"'; do
  grep -Fq "$key" "$rule" || fail "udev rule lacks $key"
done
pc=$(find "$ROOT" -name tivax.pc)
cflags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags tivax)
cc $cflags -fsyntax-only -x c "$SOURCE/tests/dist/consumer/consumer.c" ||
  fail "the unpacked headers do not compile through pkg-config ($cflags)"

note "$(cd "$WORK/packages" && ls -- *.deb | tr '\n' ' ')"
echo "package check passed"
