#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual pages format without a single warning from groff or man (lintian
# runs the latter on the packages).
#
#   check-manpages.sh PAGE...
set -uo pipefail
status=0
for page in "$@"; do
  warnings=$( { groff -ww -man -z "$page"; MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null; } 2>&1)
  if [ -n "$warnings" ]; then
    echo "FAIL: $page:" >&2
    echo "$warnings" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "manual pages check passed: $#"
exit $status
