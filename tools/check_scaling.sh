#!/usr/bin/env bash
# Builds the scaling benchmark in BUILD_DIR (configured already, benchmarks
# on) and runs it in check mode: time(2n)/time(n) and the allocation ratio for
# every pathological text shape and operation, then a 100 MB line against
# 50 MB, all on a thread with a 256 KB stack. Fails when a ratio exceeds the
# threshold (3 unless KORVEL_SCALING_THRESHOLD says otherwise) or an operation
# fails or crashes.
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
  --threshold="${KORVEL_SCALING_THRESHOLD:-3}" "$@"
