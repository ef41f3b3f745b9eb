#!/usr/bin/env bash
# The whole test suite from a fresh clone, as root: installs what is
# missing, builds, runs every test (network tests inside the test LAN only).
#
# What users run is what is tested: the optimised build that scripts/run.sh
# and the package use, with warnings as errors (preset "ci", in
# build/release). Its suite runs, then the README's run command itself on
# an Xvfb display, then the package is built and its contents checked. The
# same suite runs again under AddressSanitizer and UndefinedBehaviorSanitizer.
# Last, the layers without widgets are built with clang and no Qt at all,
# every library instrumented, and the readers of network and operator input
# get a short fuzz run.
#
# A suite spends most of its time waiting on timers and the test LAN, so the
# next build runs beside it at the lowest priority: the tests keep the
# processor whenever they want it, the compiler takes what is left.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step says how long it took, so a slow step shows in the CI log; the
# table at the end sums them up.
steps=()
record() { steps+=("$(printf '%6d s  %s' "$1" "$2")"); }
step() {
  local start=$SECONDS
  "$@"
  echo "test.sh: $* took $((SECONDS - start)) s" >&2
  record $((SECONDS - start)) "$*"
}
table() {
  echo "test.sh: steps (those beside a suite overlap it):" >&2
  printf '  %s\n' "${steps[@]}" >&2
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
  # The background steps' own timings, for the table.
  local line
  while IFS= read -r line; do
    [[ $line =~ ^test\.sh:\ (.*)\ took\ ([0-9]+)\ s$ ]] &&
      record "${BASH_REMATCH[2]}" "(beside) ${BASH_REMATCH[1]}"
  done <"$beside_log"
  return "$rc"
}
# A failing suite ends the run; nothing is left compiling behind it.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill "$1" 2>/dev/null || true
}
trap '[ -z "$beside_pid" ] || kill_tree "$beside_pid"' EXIT

# The suites run the test LAN's binaries with more slots than cores: each
# makes namespaces of its own and mostly waits.
lan_slots=6
suite() {
  local preset=$1 timeout=$2
  step ctest --preset "$preset" -j"$lan_slots" --timeout "$timeout"
}

build_asan() {
  step cmake --preset asan
  step cmake --build --preset asan
}
# No Qt at all and clang instead of gcc: a widget include slipping into the
# parsers, lan/, cli/ or the simulator fails here, as does a warning only
# clang gives. The fuzz run reads what endpoints and control systems send
# and the plan and layout files operators write.
widget_free_and_fuzz() {
  step bash scripts/fuzz-smoke.sh 30
}

# The README's run command, as a user types it, driven on a display of its
# own: the window opens on the fleet, Scan fills the lists, Escape ends it.
run_command() {
  /usr/bin/python3 tests/e2e/run_check.py --screenshot build/release/run-check.png -- bash scripts/run.sh
}
# The package the README describes, built from the tested build.
package() {
  bash scripts/package-check.sh --build-dir build/release --contents-only --out build/release/package
}

# The tree follows .clang-format; a file that strays fails at once.
format_check() {
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
}

step bash scripts/install-deps.sh
step format_check
export QT_QPA_PLATFORM=offscreen
step cmake --preset ci
# The sanitizer build starts at once, at the lowest priority: it takes only
# what the optimised build leaves while it waits on a precompiled header or
# a link, then the processor beside the suite.
beside build/asan-build.log build_asan
step cmake --build --preset ci
suite ci 600
step run_command
step package
joined
beside build/widget-free.log widget_free_and_fuzz
suite asan 900
joined
table
echo "test.sh: everything passed in $SECONDS s" >&2
