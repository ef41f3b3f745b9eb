#!/usr/bin/env bash
# The whole test suite from a fresh clone, as root: installs what is
# missing, builds, runs every test (network tests inside the test LAN only).
#
# Three configurations: Debug, the same with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the layers without widgets (no Qt at all),
# which the fuzz targets share. A suite spends most of its time waiting on
# timers and the test LAN (a Debug run keeps the two cores about 13% busy),
# so the next build runs beside it at the lowest priority: the tests keep
# the processor whenever they want it, the compiler takes what is left.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step says how long it took, so a slow step shows in the CI log.
step() {
  local start=$SECONDS
  "$@"
  echo "test.sh: $* took $((SECONDS - start)) s" >&2
}

# beside LOG FUNCTION: runs FUNCTION in the background at nice 19, its
# output kept in LOG; joined waits for it and then shows that output whole.
beside_pid=
beside() {
  beside_log=$1
  ( renice -n 19 -p "$BASHPID" >/dev/null; "$2" ) >"$beside_log" 2>&1 &
  beside_pid=$!
}
joined() {
  local rc=0
  wait "$beside_pid" || rc=$?
  beside_pid=
  cat "$beside_log"
  return "$rc"
}
# A failing suite ends the run; nothing is left compiling behind it.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
trap '[ -z "$beside_pid" ] || kill_tree "$beside_pid"' EXIT

build_asan() {
  step cmake --preset asan
  step cmake --build --preset asan
}
# Built without Qt at all: a widget include slipping into the parsers, lan/,
# cli/ or the simulator fails here. Their network tests run in the two full
# suites. Then the transcript and TFTP readers, which take bytes from the
# network, and the plan and layout readers, which take operators' files, get
# a short fuzz run under ASan and UBSan.
widget_free_and_fuzz() {
  step cmake --preset nogui
  step cmake --build --preset nogui
  step ctest --preset nogui -j2 --timeout 600 -LE lan
  step bash scripts/fuzz-smoke.sh 30
}

# The tree follows .clang-format; a file that strays fails at once.
format_check() {
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
}

step bash scripts/install-deps.sh
step format_check
export QT_QPA_PLATFORM=offscreen
step cmake --preset default
step cmake --build --preset default
beside build/asan-build.log build_asan
step ctest --preset default -j2 --timeout 600
joined
beside build/widget-free.log widget_free_and_fuzz
step ctest --preset asan -j2 --timeout 900
joined
echo "test.sh: everything passed in $SECONDS s" >&2
