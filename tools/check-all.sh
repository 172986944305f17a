#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck disable=SC2317  # the stages are called through run_stage
# The robustness stages that go beyond `make test`, each printing its
# figures; exits non-zero when any stage fails.
#
#   asan      the whole test suite built with AddressSanitizer and
#             UndefinedBehaviorSanitizer (build-check-asan)
#   tsan      the concurrency and end-to-end tests with ThreadSanitizer
#             (build-check-tsan)
#   fuzz      every fuzz target for FUZZ_SECONDS with libFuzzer, AddressSan-
#             itizer and UndefinedBehaviorSanitizer (clang, build-check-fuzz)
#   valgrind  the end-to-end programs under memcheck: no error, nothing
#             definitely lost (normal build)
#   soak      SOAK_CALLS calls against the emulator with faults; descriptors
#             and resident memory must stay flat (normal build). It mostly
#             waits on the link, so it runs alongside the other stages.
#   load      the hub's load tests (ctest label "load", left out of
#             `make test`): concurrent checkouts, floods of idle, slow and
#             kept connections (normal build)
#   packages  the Debian packages built as `make deb` builds them
#             (build-deb), checked for their contents and by lintian, which
#             must find no error (installed here when missing, as root);
#             as root they are then installed, the hub service started as
#             its unit starts it, and purged
#
# Usage: tools/check-all.sh [normal build dir, default build]
# Environment: STAGES (default "asan tsan fuzz valgrind soak load packages"),
#   FUZZ_SECONDS (120 per target), SOAK_CALLS (10000), JOBS (nproc).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
stages=${STAGES:-asan tsan fuzz valgrind soak load packages}
fuzz_seconds=${FUZZ_SECONDS:-120}
soak_calls=${SOAK_CALLS:-10000}
jobs=${JOBS:-$(nproc)}
sanitizers_cmake=$root/cmake/sanitizers.cmake
fuzz_targets=(answer_decoding request_encoding session_normalisation sale_xml network_configuration)
# The tests that run threads against each other: the end-to-end programs
# (the emulator serves on its own thread), the cancelled and bounded waits,
# the two programs on one device, the façade, the channel, the sale check,
# the emulator, the soak and the hub (HTTP threads, its queue).
tsan_tests='^(test_e2e.*|test_waits|test_log|test_log_e2e|test_hammer|test_discovered_port|test_facade|test_comm|test_cfe|test_emulator|test_wire|test_soak|test_hub_units|test_hub_http|test_hub_load|test_hub_flood|test_hub_panel_units|test_hub_panel)$'

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:check_initialization_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

declare -A status seconds
failed=0
started_all=$(date +%s)

banner() { printf '\n==== %s ====\n' "$*"; }
has_stage() { [[ " $stages " == *" $1 "* ]]; }

# run_stage NAME FUNCTION: times the stage and records its outcome.
run_stage() {
  local name=$1 fn=$2 start end
  has_stage "$name" || return 0
  banner "$name"
  start=$(date +%s)
  if "$fn"; then status[$name]=passed; else status[$name]=FAILED; failed=1; fi
  end=$(date +%s)
  seconds[$name]=$((end - start))
  printf -- '---- %s %s in %d s\n' "$name" "${status[$name]}" "${seconds[$name]}"
}

configure() {  # configure DIR [cmake arguments...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIVAX_BUILD_BENCH=OFF \
    "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}

# ctest's closing lines are the figures: how many tests passed, the time.
run_ctest() {  # run_ctest DIR [ctest arguments...]
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@" 2>&1 | tee "$dir/ctest.log" |
    grep -E '^[0-9]+% tests passed|Total Test time|\*\*\*|Failed|Timeout|Not Run|^ +[0-9]+ - ' || true
  grep -q '^100% tests passed' "$dir/ctest.log"
}

stage_asan() {
  local dir=$root/build-check-asan
  mkdir -p "$dir"
  configure "$dir" -DTIVAX_SANITIZE=ON || return 1
  cmake --build "$dir" -j "$jobs" > "$dir/build.log" 2>&1 || { tail -40 "$dir/build.log"; return 1; }
  run_ctest "$dir"
}

stage_load() {
  cmake --build "$build" -j "$jobs" > "$build/check-load-build.log" 2>&1 ||
    { tail -40 "$build/check-load-build.log"; return 1; }
  run_ctest "$build" -L load
}

stage_tsan() {
  local dir=$root/build-check-tsan targets
  mkdir -p "$dir"
  configure "$dir" -DTIVAX_SANITIZE_THREAD=ON -DCMAKE_PROJECT_INCLUDE="$sanitizers_cmake" || return 1
  targets=$(ctest --test-dir "$dir" -N -R "$tsan_tests" | sed -n 's/^ *Test *#[0-9]*: //p')
  [ -n "$targets" ] || { echo "no test matches $tsan_tests"; return 1; }
  echo "tests: ${targets//$'\n'/ }"
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets > "$dir/build.log" 2>&1 ||
    { tail -40 "$dir/build.log"; return 1; }
  run_ctest "$dir" -R "$tsan_tests"
}

stage_fuzz() {
  local dir=$root/build-check-fuzz work target ok=0 line
  command -v clang++ > /dev/null || { echo "clang++ missing (Debian: clang, libclang-rt-14-dev)"; return 1; }
  mkdir -p "$dir"
  CC=clang CXX=clang++ configure "$dir" -DTIVAX_SANITIZE=ON -DTIVAX_FUZZ=ON \
    -DCMAKE_PROJECT_INCLUDE="$sanitizers_cmake" || return 1
  # shellcheck disable=SC2046
  cmake --build "$dir" -j "$jobs" --target $(printf 'fuzz_%s ' "${fuzz_targets[@]}") \
    > "$dir/build.log" 2>&1 || { tail -40 "$dir/build.log"; return 1; }
  # Each target grows its own corpus under the build tree, starting from the
  # starter corpus in the sources (which it only reads). Two at a time.
  # Inputs are kept below 16 KiB so that the large example sales do not slow
  # every run down (they are mutated in their first 16 KiB).
  work=$dir/fuzz-work
  mkdir -p "$work"
  run_target() {
    local t=$1 extra=()
    mkdir -p "$work/$t"
    [ "$t" = sale_xml ] && [ -d "$root/examples/vendas" ] && extra+=("$root/examples/vendas")
    "$dir/tests/fuzz/fuzz_$t" -max_total_time="$fuzz_seconds" -timeout=25 -max_len=16384 \
      -print_final_stats=1 \
      -dict="$root/tests/fuzz/tokens.dict" -artifact_prefix="$work/$t-" \
      "$work/$t" "$root/tests/fuzz/corpus/$t" "${extra[@]}" > "$work/$t.log" 2>&1
  }
  local pids=()
  for target in "${fuzz_targets[@]}"; do
    run_target "$target" & pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
      wait "${pids[0]}" || ok=1
      pids=("${pids[@]:1}")
    fi
  done
  for pid in "${pids[@]}"; do wait "$pid" || ok=1; done
  for target in "${fuzz_targets[@]}"; do
    line=$(grep -E '^Done [0-9]+ runs' "$work/$target.log" | tail -1)
    if [ -n "$line" ]; then
      printf '%-24s %s, corpus %s inputs\n' "$target" "$line" \
        "$(find "$work/$target" -type f | wc -l)"
    else
      printf '%-24s CRASHED\n' "$target"
      grep -E 'PROPERTY BROKEN|ERROR:|SUMMARY:|^  ' "$work/$target.log" | head -8
      find "$work" -maxdepth 1 -name "$target-*" -type f | sed 's/^/  input kept in /'
      echo "  once fixed, copy it to tests/fuzz/corpus/$target/ as a regression case"
      ok=1
    fi
  done
  return "$ok"
}

stage_valgrind() {
  local programs=() program log ok=0
  command -v valgrind > /dev/null || { echo "valgrind missing (Debian: valgrind)"; return 1; }
  cmake --build "$build" -j "$jobs" --target test_e2e test_e2e_connect test_soak \
    > "$build/check-valgrind-build.log" 2>&1 || { tail -40 "$build/check-valgrind-build.log"; return 1; }
  programs=("$build"/tests/e2e/test_e2e* "$build/tests/soak/test_soak")
  for program in "${programs[@]}"; do
    [ -x "$program" ] || continue
    log=$build/valgrind-$(basename "$program").log
    # The soak's short form: valgrind makes each call much slower.
    TIVAX_SOAK_CALLS=300 valgrind --error-exitcode=99 --leak-check=full \
      --suppressions="$root/tests/valgrind.supp" \
      --errors-for-leak-kinds=definite --track-fds=yes --num-callers=30 \
      --log-file="$log" "$program" > "$log.out" 2>&1
    local rc=$? errors lost fds
    errors=$(grep -Eo 'ERROR SUMMARY: [0-9]+ errors' "$log" | tail -1)
    lost=$(grep -Eo 'definitely lost: [0-9,]+ bytes' "$log" | tail -1)
    fds=$(grep -Eo 'FILE DESCRIPTORS: [0-9]+ open' "$log" | head -1)
    printf '%-20s exit %d | %s | %s | %s at exit\n' "$(basename "$program")" "$rc" \
      "${errors:-no summary}" "${lost:-definitely lost: 0 bytes}" "${fds:-FILE DESCRIPTORS: ?}"
    if [ "$rc" -ne 0 ]; then
      ok=1
      grep -E '^==[0-9]+== (Invalid|Conditional|Syscall|Mismatched|[0-9,]+ bytes in)' -A12 "$log" | head -60
      tail -20 "$log.out"
    fi
  done
  return "$ok"
}

stage_packages() {
  local dir=$root/build-deb
  "$root/tools/install-deps.sh" deb lintian pkg-config python3 || return 1
  JOBS=$jobs "$root/tools/build-packages.sh" "$dir" > "$dir.build.log" 2>&1 ||
    { tail -40 "$dir.build.log"; return 1; }
  bash "$root/tests/dist/check-packages.sh" "$dir" "$root" --lintian &&
    bash "$root/tests/dist/check-package-install.sh" "$dir/packages"
}

# The soak is started first and collected last: it spends its time waiting
# on the pseudo-terminal, not on the processors.
soak_pid=
soak_log=$build/check-soak.log
start_soak() {
  has_stage soak || return 0
  cmake --build "$build" -j "$jobs" --target test_soak > "$build/check-soak-build.log" 2>&1 ||
    { tail -40 "$build/check-soak-build.log"; status[soak]=FAILED; failed=1; return 0; }
  soak_started=$(date +%s)
  TIVAX_SOAK_CALLS=$soak_calls "$build/tests/soak/test_soak" > "$soak_log" 2>&1 &
  soak_pid=$!
  echo "soak: $soak_calls calls started in the background (log: $soak_log)"
}
finish_soak() {
  [ -n "$soak_pid" ] || return 0
  banner soak
  if wait "$soak_pid"; then status[soak]=passed; else status[soak]=FAILED; failed=1; fi
  seconds[soak]=$(($(date +%s) - soak_started))
  grep -E '^\[soak\]|Failure|Expected|Which is|gave no answer|did not recover' "$soak_log" | head -60
  printf -- '---- soak %s in %d s (alongside the other stages)\n' "${status[soak]}" "${seconds[soak]}"
}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja > /dev/null || exit 1
fi
start_soak
run_stage asan stage_asan
run_stage tsan stage_tsan
run_stage fuzz stage_fuzz
run_stage valgrind stage_valgrind
run_stage load stage_load
run_stage packages stage_packages
finish_soak

banner summary
for s in asan tsan fuzz valgrind soak load packages; do
  has_stage "$s" || continue
  printf '%-9s %-7s %5s s\n' "$s" "${status[$s]:-not run}" "${seconds[$s]:-}"
done
printf 'total     %d s\n' $(($(date +%s) - started_all))
exit $failed
