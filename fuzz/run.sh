#!/usr/bin/env bash
# Replays the committed regressions of each fuzz target, then fuzzes it for a while.
#
#   fuzz/run.sh <build dir> <seconds per target> [target...]
#
# The seed corpora in fuzz/corpus/<target> are read, never written; what the fuzzer learns
# goes to <build dir>/corpus/<target>. A crashing input is left in <build dir>/artifacts;
# once the fault is fixed, copy it to fuzz/regressions/<target>/ so every run replays it.
set -euo pipefail

build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(wal snapshot filter)
root=$(cd "$(dirname "$0")" && pwd)
limits=(-rss_limit_mb=512 -malloc_limit_mb=64)
# An allocation the allocator cannot satisfy is a finding too (a size taken from the input),
# not a null pointer for the code under test to cope with.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0

for target in "${targets[@]}"; do
  bin="$build/fuzz_$target"
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"

  shopt -s nullglob
  regressions=("$root/regressions/$target"/*)
  shopt -u nullglob
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "== $target: replaying ${#regressions[@]} regression input(s)"
    if ! "$bin" "${limits[@]}" "${regressions[@]}" >"$build/$target.replay.log" 2>&1; then
      tail -n 40 "$build/$target.replay.log"
      echo "== $target: a committed regression fails again"
      status=1
      continue
    fi
  fi

  echo "== $target: fuzzing for ${seconds}s"
  if "$bin" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" "$root/corpus/$target" \
      >"$build/$target.fuzz.log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' \
      "$build/$target.fuzz.log" | sed "s/^/   $target /"
  else
    tail -n 60 "$build/$target.fuzz.log"
    echo "== $target: the fuzzer found a fault; the input is in $artifacts"
    status=1
  fi
done
exit $status
