#!/usr/bin/env bash
# Installs the dependencies, builds and runs all tests. With no argument it runs
# every stage in order and stops at the first failure; name stages to run only
# those.
#   release    all unit, process and real-model tests, Release build in build/
#   sanitize   the same under AddressSanitizer + UBSan (with LeakSanitizer), in
#              build-sanitize/
#   tsan       the concurrency tests under ThreadSanitizer, in build-tsan/
#   scaling    time(8n)/time(n) on pathological texts, fails above 24 (a linear
#              operation gives about 8, a quadratic one 64) (build/)
#   fuzz       every libFuzzer target for a bounded time (KORVEL_FUZZ_SECONDS,
#              default 60 each), built with clang in build-fuzz/
#   python     the Python package installed with pip into a fresh virtual
#              environment (build-venv/, over Debian's /usr/bin/python3), its
#              tests (pytest, including the Dask job), a wheel and pip
#              uninstall; Release build in build/
#   js         the npm package's tests (node --test) and the page in headless
#              Chromium; wasm build in build-js/, `korvel` from build/
# `--sanitize` is accepted for `sanitize`.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {
  local build_dir=$1
  shift
  cmake -S . -B "$build_dir" "$@"
  cmake --build "$build_dir" -j "$jobs"
}

run_release() {
  configure_and_build build -DCMAKE_BUILD_TYPE=Release
  ctest --test-dir build --output-on-failure -j "$jobs"
}

run_sanitize() {
  configure_and_build build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVEL_SANITIZE=ON -DKORVEL_BUILD_BENCHMARKS=OFF
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
}

run_tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TSAN=ON \
    -DKORVEL_BUILD_BENCHMARKS=OFF
  cmake --build build-tsan -j "$jobs" --target concurrency_test
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1} \
    ctest --test-dir build-tsan --output-on-failure -R '^concurrency_test$'
}

run_scaling() {
  configure_and_build build -DCMAKE_BUILD_TYPE=Release
  tools/check_scaling.sh build
}

run_python() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release \
    -DPython3_EXECUTABLE=/usr/bin/python3 -DKORVEL_BUILD_PYTHON=ON
  cmake --build build -j "$jobs" --target korvel_python korvel_cli
  # The package as people install it: pip, into a fresh virtual environment
  # that sees Debian's numpy, pytest and distributed (reusing build/).
  local venv=build-venv
  rm -rf "$venv"
  /usr/bin/python3 -m venv --system-site-packages "$venv"
  KORVEL_CMAKE_BUILD_DIR=build \
    "$venv/bin/python" -m pip install --no-build-isolation --quiet .
  # Any non-zero exit fails the stage, pytest's 5 ("no tests ran") included.
  KORVEL_BUILD_DIR=build KORVEL_TEST_INSTALLED=1 PYTHONDONTWRITEBYTECODE=1 \
    "$venv/bin/python" -m pytest -p no:cacheprovider -q python/tests
  # A wheel builds, and pip uninstall removes the package.
  KORVEL_CMAKE_BUILD_DIR=build "$venv/bin/python" -m pip wheel \
    --no-build-isolation --no-deps --quiet --wheel-dir "$venv/wheels" .
  ls "$venv"/wheels/korvel-*.whl
  "$venv/bin/python" -m pip uninstall --yes --quiet korvel
  if "$venv/bin/python" -c 'import sys, korvel
sys.exit(not korvel.__file__.startswith(sys.prefix))' 2>/dev/null; then
    echo "run_tests.sh: pip uninstall left korvel in $venv" >&2
    exit 1
  fi
}

run_js() {
  js/test.sh build-js
}

run_fuzz() {
  tools/run_fuzzers.sh build-fuzz "${KORVEL_FUZZ_SECONDS:-60}"
}

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  stages=(release sanitize tsan scaling python js fuzz)
fi

tools/setup.sh
for stage in "${stages[@]}"; do
  echo "== korvel tests: $stage" >&2
  case "$stage" in
    release) run_release ;;
    sanitize | --sanitize) run_sanitize ;;
    tsan) run_tsan ;;
    scaling) run_scaling ;;
    python) run_python ;;
    js) run_js ;;
    fuzz) run_fuzz ;;
    *) echo "run_tests.sh: unknown stage '$stage'" >&2; exit 2 ;;
  esac
done
