#!/usr/bin/env bash
# Shell functions for the setup scripts, which source this file.

# Prints, one a line, those of the named Debian packages that are not installed.
missing_debian_packages() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}

# Installs the named Debian packages (through sudo unless run as root); $1 is
# the label of the announcement on standard error.
install_debian_packages() {
  local label=$1
  shift
  echo "$label: installing $*" >&2
  local sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
