#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Removes what `make install` put in place, as listed in its manifest, and
# the folders of this project's own that are left empty (lib/cmake/tivax,
# share/doc/libtivax1, ...); shared folders stay. Runs ldconfig when the
# library left a directory of the loader's (as root).
#
#   tools/uninstall.sh MANIFEST PREFIX
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 MANIFEST PREFIX" >&2; exit 2; }
manifest=$1
prefix=$(realpath -m "$2")
[ -f "$manifest" ] || { echo "nothing to uninstall: $manifest is missing (make install writes it)" >&2; exit 1; }

removed_library=
dirs=()
while IFS= read -r file || [ -n "$file" ]; do
  [ -n "$file" ] || continue
  if [ -e "$file" ] || [ -L "$file" ]; then
    rm -f -- "$file"
    echo "-- Removed: $file"
    case $file in */libtivax.so*) removed_library=$file ;; esac
  fi
  # The folders between the file and the prefix that name the project.
  dir=$(dirname -- "$file")
  while [[ $dir == "$prefix"/* ]]; do
    [[ ${dir#"$prefix"/} == *tivax* ]] && dirs+=("$dir")
    dir=$(dirname -- "$dir")
  done
done <"$manifest"

# Deepest first, so that a folder is empty once its children are gone.
if [ ${#dirs[@]} -gt 0 ]; then
  while IFS= read -r dir; do
    rmdir -- "$dir" 2>/dev/null && echo "-- Removed: $dir/" || true
  done < <(printf '%s\n' "${dirs[@]}" | sort -u | awk '{ print length($0) " " $0 }' | sort -rn | cut -d' ' -f2-)
fi
rm -f -- "$manifest"

case $removed_library in
  /usr/lib/* | /usr/local/lib/*)
    if [ "$(id -u)" -eq 0 ] && command -v ldconfig >/dev/null; then ldconfig; fi ;;
esac
