# SPDX-License-Identifier: MIT
# Shared by the install and package checks: their arguments, failure
# reporting, the build's own settings, and a device emulator for the
# programs under test. Sourced as: . dist_common.sh BUILD_DIR SOURCE_DIR

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

note() {
  echo "-- $*"
}

# A value from the build's CMakeCache.txt ("" when absent).
cache_value() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" | head -n 1
}

# The compiler flags a consumer needs to link against this build's library:
# a sanitized library needs the sanitizer runtimes in the program too.
consumer_flags() {
  case "$(cache_value "$1" TIVAX_SANITIZE)" in
    ON | on | TRUE | true | 1) echo "-fsanitize=address,undefined" ;;
    *) echo "" ;;
  esac
}

# start_emulator PROGRAM: starts it in the background and sets EMULATOR_PID
# and EMULATOR_PORT from the terminal path it prints first.
start_emulator() {
  local out="$WORK/emulator.$RANDOM.out"
  "$1" >"$out" 2>"$out.err" &
  EMULATOR_PID=$!
  EMULATOR_PORT=""
  local tries=0
  while [ -z "$EMULATOR_PORT" ]; do
    EMULATOR_PORT=$(head -n 1 "$out" 2>/dev/null || true)
    if [ -n "$EMULATOR_PORT" ]; then break; fi
    kill -0 "$EMULATOR_PID" 2>/dev/null || fail "emulator $1 exited: $(cat "$out.err")"
    tries=$((tries + 1))
    [ $tries -le 100 ] || fail "emulator $1 printed no terminal path"
    sleep 0.1
  done
}

stop_emulator() {
  if [ -n "${EMULATOR_PID:-}" ]; then
    kill "$EMULATOR_PID" 2>/dev/null || true
    wait "$EMULATOR_PID" 2>/dev/null || true
    EMULATOR_PID=""
  fi
}

# with_emulator PROGRAM COMMAND...: runs COMMAND with the emulator's port
# appended to its arguments' placeholder @PORT@, against a fresh emulator.
with_emulator() {
  local program=$1
  shift
  start_emulator "$program"
  local args=()
  for a in "$@"; do args+=("${a//@PORT@/$EMULATOR_PORT}"); done
  local status=0
  timeout 60 "${args[@]}" || status=$?
  stop_emulator
  return $status
}

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$2" && pwd)
VERSION=$(cache_value "$BUILD" CMAKE_PROJECT_VERSION)
[ -n "$VERSION" ] || fail "no project version in $BUILD/CMakeCache.txt"
MAJOR=${VERSION%%.*}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tivax-dist.XXXXXX")
cleanup() {
  stop_emulator
  rm -rf "$WORK"
}
trap cleanup EXIT
