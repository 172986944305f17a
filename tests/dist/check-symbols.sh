#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The symbols file of the runtime package must list exactly what the built
# library exports, each symbol with a version no newer than this release:
# dpkg-shlibdeps derives every program's dependency on libtivax from it.
#
#   check-symbols.sh LIBRARY SYMBOLS_FILE VERSION
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 LIBRARY SYMBOLS_FILE VERSION" >&2; exit 2; }
library=$1 symbols=$2 version=$3

# NAME@NODE per exported symbol; a version node itself is NODE@NODE, as
# dpkg-gensymbols writes it.
exported=$(nm -D --defined-only --with-symbol-versions "$library" |
  awk '$2 == "A" { print $3 "@" $3; next } { sub(/@@/, "@", $3); print $3 }' | LC_ALL=C sort)
listed=$(sed -n 's/^ \([^ ]*\) .*/\1/p' "$symbols" | LC_ALL=C sort)

status=0
missing=$(LC_ALL=C comm -23 <(echo "$exported") <(echo "$listed"))
if [ -n "$missing" ]; then
  echo "FAIL: exported by $library but not in $symbols; add, with the first release that has it:" >&2
  sed "s/.*/ & $version/" <<<"$missing" >&2
  status=1
fi
gone=$(LC_ALL=C comm -13 <(echo "$exported") <(echo "$listed"))
if [ -n "$gone" ]; then
  echo "FAIL: in $symbols but no longer exported (an ABI break needs a new SONAME):" >&2
  echo "$gone" >&2
  status=1
fi
while read -r symbol since; do
  dpkg --compare-versions "$since" le "$version" ||
    { echo "FAIL: $symbol is given version $since, newer than this release ($version)" >&2; status=1; }
done < <(sed -n 's/^ \([^ ]*\) \([^ ]*\)$/\1 \2/p' "$symbols")
head -n 1 <<<"$(grep -v "^#" "$symbols")" | grep -Eq '^libtivax\.so\.[0-9]+ libtivax[0-9]+ #MINVER#$' ||
  { echo "FAIL: the first line (after the comments) of $symbols must name the SONAME and the package" >&2; status=1; }

[ $status -eq 0 ] && echo "symbols check passed: $(wc -l <<<"$exported") symbols"
exit $status
