#!/usr/bin/env bash
# Builds the Python package korvel from this checkout and installs it for
# Debian's /usr/bin/python3 (into its site-packages for local installs,
# /usr/local/lib/python3.X/dist-packages), offline: every dependency is a
# Debian package from tools/setup.sh. The build goes to build/.
#   python/install.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release \
  -DPython3_EXECUTABLE=/usr/bin/python3 -DKORVEL_BUILD_PYTHON=ON
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target korvel_python
cmake --install build --component python
cd /
/usr/bin/python3 -c 'import korvel; print("installed korvel in", korvel.__path__[0])'
