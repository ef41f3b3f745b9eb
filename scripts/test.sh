#!/usr/bin/env bash
# The whole test suite from a fresh clone, as root: installs what is
# missing, builds, runs every test (network tests inside the test LAN only).
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says how long it took, so a slow step shows in the CI log.
step() {
  local start=$SECONDS
  "$@"
  echo "test.sh: $* took $((SECONDS - start)) s" >&2
}
step bash scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
# First the layers without widgets, built without Qt at all: a widget
# include slipping into the parsers, lan/, cli/ or the simulator fails here.
# Their network tests run in the two full suites below.
step cmake --preset nogui
step cmake --build --preset nogui
step ctest --preset nogui -j2 --timeout 600 -LE lan
step cmake --preset default
step cmake --build --preset default
step ctest --preset default -j2 --timeout 600
# The same suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
step cmake --preset asan
step cmake --build --preset asan
step ctest --preset asan -j2 --timeout 900
# The transcript readers take bytes from the network: a short fuzz run
# under ASan and UBSan on every test run.
step bash scripts/fuzz-smoke.sh 30
echo "test.sh: everything passed in $SECONDS s" >&2
