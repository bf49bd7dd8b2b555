#!/usr/bin/env bash
# Runs fuzz targets for a bounded time each, two at a time, and fails when
# any of them reports a finding (crash, sanitizer report, leak, timeout,
# out-of-memory or an allocation above the limit).
#
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
#
# BUILD_DIR holds the targets (cmake -DOSTREL_FUZZ=ON ...; see the README).
# TARGET is a name such as fat or ntfs; without any, every target built.
# Each target starts from its committed corpus (fuzz/corpus/NAME, plus the
# file-type samples for filetype and carve) and its dictionary; what it finds
# new goes to $FUZZ_OUT/corpus/NAME (default BUILD_DIR/fuzz-out), so the
# committed corpus is only read. A finding is written to $FUZZ_OUT as
# NAME-crash-..., NAME-leak-..., NAME-timeout-... or NAME-oom-...; add it to
# fuzz/corpus/NAME once it is fixed, so that every later run replays it.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd)
out=${FUZZ_OUT:-$build/fuzz-out}
jobs=${FUZZ_JOBS:-2}
mkdir -p "$out"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/fuzz/fuzz_*; do
    [ -x "$binary" ] && targets+=("${binary##*/fuzz_}")
  done
fi

# An allocation above 64 MiB fails the run: inputs are at most 256 KiB, so
# only a size taken from the input without a bound asks for that much. The
# engine's largest fixed buffer, the sweep's 64 MiB chunk, passes (libFuzzer
# counts whole MiB and stops at the limit itself).
malloc_limit_mb=65

run_one() {
  local name=$1
  # New inputs go to the first folder; the others are only read.
  mkdir -p "$out/corpus/$name"
  local corpus=("$out/corpus/$name")
  local seeds=("$here/corpus/$name")
  case $name in
    filetype | carve) seeds+=("$here/../tests/data/filetype/samples") ;;
    volume) seeds+=("$here/corpus/fat" "$here/corpus/ntfs" "$here/corpus/exfat") ;;
  esac
  for dir in "${seeds[@]}"; do [ -d "$dir" ] && corpus+=("$dir"); done
  local dict=()
  [ -f "$here/dict/$name.dict" ] && dict=(-dict="$here/dict/$name.dict")
  local status=0
  nice "$build/fuzz/fuzz_$name" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb="$malloc_limit_mb" \
    -max_len=262144 -print_final_stats=1 -artifact_prefix="$out/$name-" \
    "${corpus[@]}" >"$out/$name.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$name: FINDING (exit $status), log $out/$name.log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$out/$name.log" | head -5 >&2 || true
    return 1
  fi
  # The last status line carries cov: (edges) and ft: (features).
  local last runs
  last=$(grep -E '^#[0-9]+' "$out/$name.log" | tail -1 | sed -E 's/^#[0-9]+[[:space:]]+[A-Z]+[[:space:]]+//')
  runs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$out/$name.log")
  echo "fuzz_$name: $runs runs, $last"
}
export -f run_one
export build seconds here out malloc_limit_mb

printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}
