#!/usr/bin/env bash
# Installs the Debian packages whose documentation the benchmark texts are
# built from (tools/bench_texts.js): English and translated manual pages, and
# the translation catalogs of iso-codes, libc-l10n and xkb-data. Optional: the
# build and the tests do not need them. Idempotent; returns at once when
# everything is present.
set -euo pipefail

packages=(
  manpages manpages-dev
  manpages-de manpages-fr manpages-es manpages-pl manpages-it
  manpages-ru manpages-el manpages-ja manpages-zh
  iso-codes libc-l10n xkb-data
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "korvel bench setup: installing ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
