#!/usr/bin/env bash
# The whole test suite from a fresh clone, as root: installs what is
# missing, builds, runs every test (network tests inside the test LAN only).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
# First the layers without widgets, built without Qt at all: a widget
# include slipping into the parsers, lan/, cli/ or the simulator fails here.
# Their network tests run in the two full suites below.
cmake --preset nogui
cmake --build --preset nogui
ctest --preset nogui -j2 --timeout 600 -LE lan
cmake --preset default
cmake --build --preset default
ctest --preset default -j2 --timeout 600
# The same suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset asan
cmake --build --preset asan
ctest --preset asan -j2 --timeout 900
# The transcript readers take bytes from the network: a short fuzz run
# under ASan and UBSan on every test run.
bash scripts/fuzz-smoke.sh 30
