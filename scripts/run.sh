#!/usr/bin/env bash
# Tries Cortavia without hardware, as root: installs what is missing,
# builds, starts a simulated fleet (2 transmitters, 8 receivers) in the
# test LAN and opens Cortavia there on your display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
# Only what the demo runs: the window and the simulator. The tests are most
# of a full build; scripts/test.sh builds them. The control service joins
# this list once the tree has it.
targets=(Cortavia endpoint-sim)
if cmake --build --preset release --target help | grep -x '\.\.\. cortaviad' >/dev/null; then
  targets+=(cortaviad)
fi
cmake --build --preset release --target "${targets[@]}"
root=$PWD/build/release
if [ -z "${DISPLAY:-}" ]; then
  echo "run: no DISPLAY; start an X session (or Xvfb) first" >&2
  exit 1
fi
exec scripts/testlan.sh -- bash -c '
  state=$(mktemp -d /tmp/cortavia-fleet.XXXXXX)
  ip netns exec "$CV_LAN_NS" "$0/tools/endpoint-sim/endpoint-sim" \
      --tx 2 --rx 8 --state-dir "$state" --ready-file "$state/ready" >/dev/null &
  sim=$!
  for _ in $(seq 100); do [ -e "$state/ready" ] && break; sleep 0.1; done
  echo "Simulated fleet up (wire logs in $state); opening Cortavia."
  "$0/app/Cortavia"
  kill "$sim" 2>/dev/null || true
' "$root"
