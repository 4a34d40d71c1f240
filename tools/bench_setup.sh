#!/usr/bin/env bash
# Installs the Debian packages whose documentation the benchmark texts are
# built from (tools/bench_texts.js): English and translated manual pages, the
# translation catalogs of iso-codes, libc-l10n and xkb-data, fortune cookies,
# and Debian's and Git's manuals in English, Chinese and Japanese. Optional: the
# build and the tests do not need them. Idempotent; returns at once when
# everything is present.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/debian_packages.sh"

packages=(
  manpages manpages-dev
  manpages-de manpages-fr manpages-es manpages-pl manpages-it
  manpages-ru manpages-el manpages-ja manpages-zh
  iso-codes libc-l10n xkb-data
  fortunes fortune-anarchism fortunes-zh git-doc
  debian-reference-en debian-reference-zh-cn debian-reference-zh-tw
  debian-reference-ja debian-handbook debian-policy debian-faq debian-history
  developers-reference developers-reference-ja maint-guide maint-guide-ja
  maint-guide-zh-cn debian-faq-zh-cn
)

mapfile -t missing < <(missing_debian_packages "${packages[@]}")
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

install_debian_packages "korvel bench setup" "${missing[@]}"
