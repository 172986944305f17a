# SPDX-License-Identifier: MIT
# bash completion for tivax. The subcommands and options are read from the
# tool's own help, so that they follow the tool as it changes.

# Prints the options of one help text, one a line: "--name" for a flag,
# "--name=" for an option that takes a value.
_tivax_options() {
  local line name metavar
  while IFS= read -r line; do
    [[ $line =~ ^\ \ (--[a-z-]+)(\ ([A-Z_]+))?\ \  ]] || continue
    name=${BASH_REMATCH[1]}
    metavar=${BASH_REMATCH[3]}
    if [[ -n $metavar ]]; then echo "$name="; else echo "$name"; fi
  done
}

_tivax() {
  local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  local help
  help=$("$tool" --help 2>/dev/null) || return 0
  local subcommands
  subcommands=$(sed -n '/^Subcomandos:/,/^$/s/^  \([a-z-]*\) .*/\1/p' <<<"$help")
  local options
  options=$(sed -n '/^Opções globais/,/^$/p' <<<"$help" | _tivax_options)

  # The subcommand is the first word that is neither an option nor the value
  # of one.
  local i word subcommand= takes_value=
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n $takes_value ]]; then takes_value=; continue; fi
    if [[ $word == --* ]]; then
      [[ $word != *=* ]] && grep -qx -- "$word=" <<<"$options" && takes_value=1
      continue
    fi
    if grep -qx -- "$word" <<<"$subcommands"; then
      subcommand=$word
      options+=$'\n'$("$tool" "$subcommand" --help 2>/dev/null | sed -n '/^Opções:/,/^$/p' | _tivax_options)
    fi
  done

  # The value of an option: files and terminals where a path is wanted,
  # nothing to offer otherwise.
  if [[ $prev == --* ]] && grep -qx -- "$prev=" <<<"$options"; then
    case $prev in
      --arquivo | --porta) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    esac
    return 0
  fi

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(sed 's/=$//' <<<"$options")" -- "$cur")
  elif [[ -z $subcommand ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$subcommands" -- "$cur")
  fi
  return 0
}

complete -o filenames -F _tivax tivax
