#!/usr/bin/env bash
# Builds the layers without Qt and the libFuzzer targets (clang, ASan, UBSan,
# every library instrumented) and runs the transcript
# fuzzer for a while on a scratch copy of its seed corpus, then the TFTP
# reply reader, the shell conversation (and the procedures fed chosen
# outcomes) and the service's readers for a
# quarter of that each, then the readers of plan CSV and wall-layout JSON
# files for a sixth each.
# Usage: scripts/fuzz-smoke.sh [seconds]   (default 30)
# Exits non-zero when the fuzzer finds a crash, a leak or a mismatch.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Everything the preset holds: the fuzz targets, and beside them every
# layer and program that builds without Qt, as clang sees them.
cmake --preset fuzz
cmake --build --preset fuzz

work="$(mktemp -d "${TMPDIR:-/tmp}/cv-fuzz.XXXXXX")"
nodes_pid=
trap '[ -z "$nodes_pid" ] || kill "$nodes_pid" 2>/dev/null; rm -rf "$work"' EXIT

# run FOLDER SECONDS MAX_LEN [TARGET]: the target cv_TARGET_fuzz of
# fuzz/FOLDER (TARGET is FOLDER when it holds one), its seeds in
# fuzz/FOLDER/corpus, or fuzz/FOLDER/corpus/TARGET when it holds several.
run() {
  local folder="$1" time="$2" len="$3" area="${4:-$1}"
  local seeds="fuzz/$folder/corpus"
  [ "$area" = "$folder" ] || seeds="$seeds/$area"
  cp -r "$seeds" "$work/$area-corpus"
  mkdir -p "$work/$area-artifacts"
  set +e
  "build/fuzz/fuzz/$folder/cv_${area}_fuzz" "$work/$area-corpus" \
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
quarter=$(( (seconds + 3) / 4 ))
sixth=$(( (seconds + 5) / 6 ))
# Each fuzzer keeps one core: the transcript's long run takes one, the
# others follow each other on the second.
run nodes "$seconds" 4096 >"$work/nodes.log" 2>&1 &
nodes_pid=$!
run lan "$quarter" 600
run endpoint "$quarter" 4096
run service "$quarter" 4096
run cli "$sixth" 4096 plan
run cli "$sixth" 4096 layout
nodes_status=0
wait "$nodes_pid" || nodes_status=$?
nodes_pid=
cat "$work/nodes.log"
((nodes_status == 0)) || exit "$nodes_status"
echo "fuzz-smoke: no crash in ${seconds}s + 3 x ${quarter}s + 2 x ${sixth}s"
