#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs all tests.
#   tools/run_tests.sh                 # Release build in build/
#   tools/run_tests.sh --sanitize      # AddressSanitizer + UBSan build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
cmake_args=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build-sanitize
  cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_SANITIZE=ON
              -DKORVEL_BUILD_BENCHMARKS=OFF)
fi

tools/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build_dir" "${cmake_args[@]}"
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
