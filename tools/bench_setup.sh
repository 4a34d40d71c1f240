#!/usr/bin/env bash
# Installs the Debian packages whose documentation the benchmark texts are
# built from (tools/bench_texts.js): English and translated manual pages, and
# the translation catalogs of iso-codes, libc-l10n and xkb-data. Optional: the
# build and the tests do not need them. Idempotent; returns at once when
# everything is present.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian_packages.sh"

packages=(
  manpages manpages-dev
  manpages-de manpages-fr manpages-es manpages-pl manpages-it
  manpages-ru manpages-el manpages-ja manpages-zh
  iso-codes libc-l10n xkb-data
)

mapfile -t missing < <(missing_debian_packages "${packages[@]}")
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

install_debian_packages "korvel bench setup" "${missing[@]}"
