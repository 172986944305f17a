#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion of tivax offers what the built tool accepts.
#
#   check-completion.sh COMPLETION_SCRIPT TOOL
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 COMPLETION_SCRIPT TOOL" >&2; exit 2; }
# shellcheck disable=SC1090
. "$1"
tool=$2
status=0

# offers WORDS... : EXPECTED...: completing the last of WORDS offers every
# EXPECTED word.
offers() {
  local words=() expected
  while [ "$1" != : ]; do words+=("$1"); shift; done
  shift
  COMP_WORDS=("$tool" "${words[@]}")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _tivax
  for expected in "$@"; do
    if ! printf '%s\n' "${COMPREPLY[@]}" | grep -qx -- "$expected"; then
      echo "FAIL: completing '${words[*]}' does not offer '$expected' (offers: ${COMPREPLY[*]})" >&2
      status=1
    fi
  done
}

subcommands=$("$tool" --help | sed -n '/^Subcomandos:/,/^$/s/^  \([a-z-]*\) .*/\1/p')
[ "$(wc -l <<<"$subcommands")" -ge 18 ] || { echo "FAIL: no subcommands in the help" >&2; exit 1; }
# shellcheck disable=SC2086
offers "" : $subcommands
offers --json --sessao 12 consultar-st : consultar-status
offers enviar-venda -- : --codigo --arquivo --json --porta
offers --porta /dev/nul : /dev/null
offers --tr : --trace
offers consultar-sat --trace --j : --json
offers cancelar-venda --codigo 1 --ch : --chave
COMP_WORDS=("$tool" enviar-venda --codigo "")
COMP_CWORD=3
_tivax
[ ${#COMPREPLY[@]} -eq 0 ] || { echo "FAIL: offered words for the activation code: ${COMPREPLY[*]}" >&2; status=1; }

[ $status -eq 0 ] && echo "completion check passed"
exit $status
