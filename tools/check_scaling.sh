#!/usr/bin/env bash
# Builds the scaling benchmark in BUILD_DIR (configured already, benchmarks
# on) and runs it in check mode: time(8n)/time(n) and the allocation ratio for
# every pathological text shape and operation, with n chosen per row so that a
# call takes tens of milliseconds, then for one byte-level pre-token of 1 MB
# (letters, digits, spaces, one emoji repeated) against 1/8 MB, then for
# importing tokenizer.json files that grow in one place, then a 100 MB line
# against 12.5 MB, all on a thread with a 256 KB stack. A linear operation
# gives about 8 and a quadratic one about 64. Fails when the time ratio
# exceeds 24 (unless KORVEL_SCALING_THRESHOLD says otherwise), the allocation
# ratio exceeds 12, or an operation fails or crashes.
#   tools/check_scaling.sh BUILD_DIR [extra scaling_bench flags]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
  echo "usage: tools/check_scaling.sh BUILD_DIR [scaling_bench flags]" >&2
  exit 2
fi
build=$1
shift

cmake --build "$build" -j 2 --target scaling_bench
"$build/bench/scaling_bench" --check \
  --threshold="${KORVEL_SCALING_THRESHOLD:-24}" "$@"
