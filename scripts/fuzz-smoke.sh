#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs the transcript
# fuzzer for a while on a scratch copy of its seed corpus.
# Usage: scripts/fuzz-smoke.sh [seconds]   (default 30)
# Exits non-zero when the fuzzer finds a crash, a leak or a mismatch.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

cmake --preset fuzz
cmake --build --preset fuzz --target cv_nodes_fuzz

work="$(mktemp -d "${TMPDIR:-/tmp}/cv-nodes-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cp -r fuzz/nodes/corpus "$work/corpus"
mkdir -p "$work/artifacts"

set +e
build/fuzz/fuzz/nodes/cv_nodes_fuzz "$work/corpus" \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/"
status=$?
set -e

if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
  mkdir -p build/fuzz/crashes
  cp -r "$work/artifacts/." build/fuzz/crashes/ 2>/dev/null || true
  echo "fuzz-smoke: failure (status $status); inputs kept in build/fuzz/crashes" >&2
  exit 1
fi
echo "fuzz-smoke: no crash in ${seconds}s"
