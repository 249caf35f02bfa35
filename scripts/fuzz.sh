#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS seconds (default 30), starting
# from its seed corpus in fuzz/corpus/<target>/. Inputs the fuzzer finds go to a working
# corpus in the build tree; an input that fails a target is kept in <build>/fuzz-artifacts/
# and stops the run.
#
#   bash scripts/fuzz.sh                     # the short run the test command makes
#   FUZZ_SECONDS=600 bash scripts/fuzz.sh    # a longer run
#   FUZZ_TARGETS="receive persist" bash scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD_DIR:-build/fuzz}
read -r -a targets <<<"${FUZZ_TARGETS:-media_type receive persist registry_store bformat_reader sofa_reader rig_files}"

echo "=== fuzz: configure and build"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target fuzz_targets -j "$(nproc)"

artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
export UBSAN_OPTIONS=print_stacktrace=1
for target in "${targets[@]}"; do
  work=$build/fuzz-corpus/$target
  log=$artifacts/$target.log
  mkdir -p "$work"
  echo "=== fuzz: $target for ${seconds}s"
  # A single input that runs for 25 s is a hang; 2 GB of memory is a leak or a runaway.
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzz: $target failed; the input that failed it is in $artifacts/ (see $log)" >&2
    exit 1
  fi
  sed -n 's/^stat::number_of_executed_units: */  inputs run: /p; s/^stat::new_units_added: */  new inputs: /p' "$log"
done
echo "=== fuzz: every target ran ${seconds}s without a failure"
