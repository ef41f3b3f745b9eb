#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs the transcript
# fuzzer for a while on a scratch copy of its seed corpus, then the TFTP
# reply reader and the shell conversation for a quarter of that each.
# Usage: scripts/fuzz-smoke.sh [seconds]   (default 30)
# Exits non-zero when the fuzzer finds a crash, a leak or a mismatch.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

cmake --preset fuzz
cmake --build --preset fuzz --target cv_nodes_fuzz cv_lan_fuzz cv_endpoint_fuzz cv_service_fuzz

work="$(mktemp -d "${TMPDIR:-/tmp}/cv-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# run AREA SECONDS MAX_LEN
run() {
  local area="$1" time="$2" len="$3"
  cp -r "fuzz/$area/corpus" "$work/$area-corpus"
  mkdir -p "$work/$area-artifacts"
  set +e
  "build/fuzz/fuzz/$area/cv_${area}_fuzz" "$work/$area-corpus" \
    -max_total_time="$time" -max_len="$len" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/$area-artifacts/"
  local status=$?
  set -e
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/$area-artifacts")" ]; then
    mkdir -p build/fuzz/crashes
    cp -r "$work/$area-artifacts/." build/fuzz/crashes/ 2>/dev/null || true
    echo "fuzz-smoke: $area failure (status $status); inputs kept in build/fuzz/crashes" >&2
    exit 1
  fi
}
run nodes "$seconds" 4096
run lan "$(( (seconds + 3) / 4 ))" 600
run endpoint "$(( (seconds + 3) / 4 ))" 4096
run service "$(( (seconds + 3) / 4 ))" 4096
echo "fuzz-smoke: no crash in ${seconds}s + 3 x $(( (seconds + 3) / 4 ))s"
