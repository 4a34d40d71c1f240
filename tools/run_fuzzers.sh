#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer + UBSan)
# into BUILD_DIR and runs each for SECONDS, one after another, starting from
# its committed seeds in fuzz/corpus/<target>/ (and with fuzz/<target>.dict
# as its dictionary, when there is one). New inputs go to a scratch
# directory, never into the committed corpus. Prints the executions and the
# coverage reached per target, and exits non-zero when a target finds a crash;
# the crashing input is kept in BUILD_DIR/fuzz-artifacts/<target>/ and the
# full log in BUILD_DIR/fuzz-logs/<target>.log.
#
# Usage: tools/run_fuzzers.sh [BUILD_DIR] [SECONDS]    (build-fuzz, 60)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-fuzz}
seconds=${2:-60}

CC=clang CXX=clang++ cmake -S . -B "$build_dir" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_FUZZ=ON \
  -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build_dir" -j 2 --target korvel_fuzzers

# Target and largest input: texts up to 64 KiB, models and documents 1 MiB.
targets=(
  "lite_model_fuzzer 1048576"
  "unigram_text_fuzzer 65536"
  "bpe_text_fuzzer 65536"
  "byte_level_text_fuzzer 4096"
  "full_model_fuzzer 1048576"
  "hf_import_fuzzer 1048576"
  "pretokenizer_fuzzer 65536"
)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build_dir/fuzz-logs"

passed=0
failed=0
for entry in "${targets[@]}"; do
  read -r target max_len <<<"$entry"
  artifacts="$build_dir/fuzz-artifacts/$target"
  log="$build_dir/fuzz-logs/$target.log"
  mkdir -p "$artifacts" "$scratch/$target"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
           -max_len="$max_len" -print_final_stats=1
           -artifact_prefix="$artifacts/")
  if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
  result=ok
  if ! "$build_dir/fuzz/$target" "$scratch/$target" "fuzz/corpus/$target" \
      "${options[@]}" >"$log" 2>&1; then
    result=CRASH
  fi
  # A crash on a seed leaves no coverage line: report it, do not stop here.
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" |
               tail -n 1 || true)
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 ||
             true)
  printf '%-20s %-5s executions %10s  cov %6s\n' "$target" "$result" \
    "${executions:-?}" "${coverage:-?}"
  if [ "$result" = ok ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "--- $target: end of $log" >&2
    tail -n 40 "$log" >&2
  fi
done

echo "fuzzers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
