#!/usr/bin/env bash
# Builds the npm package korvel into js/dist: the tokenizer layer compiled to
# WebAssembly with Debian's emscripten, wrapped as an ES module and a CommonJS
# module that each carry the wasm inline, so loading touches no network and
# no file, and the tokenizer.json importer as a module of its own, loaded on
# first use. abseil and protobuf's lite runtime are compiled from Debian's
# source packages, fetched once into the build directory through a private
# apt source list (Debian's mirror only; the system's apt configuration is
# left alone).
#   js/build.sh [build dir]      (default: build-js at the repository root)
set -euo pipefail
js=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$js")
build=$(mkdir -p "${1:-$root/build-js}" && cd "${1:-$root/build-js}" && pwd)
jobs=${KORVEL_JS_JOBS:-2}

# Fetches the Debian source package $1 once into $build/$2, unpacked with
# Debian's patches applied.
fetch_source() {
  local package=$1 dest=$build/$2 apt=$build/apt
  [ -f "$dest/CMakeLists.txt" ] && return
  mkdir -p "$apt/lists/partial" "$apt/parts" "$apt/source"
  # The system's own Debian sources, as deb-src entries.
  local sources
  for sources in /etc/apt/sources.list.d/*.sources; do
    sed -n '/^Types:/s/.*/Types: deb-src/p; /^Types:/!p' "$sources"
  done >"$apt/parts/debian.sources"
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list \
      >"$apt/parts/debian.list"
  fi
  local options=(-o Dir::Etc::SourceList=/dev/null
                 -o "Dir::Etc::SourceParts=$apt/parts"
                 -o "Dir::State::Lists=$apt/lists")
  compgen -G "$apt/lists/*Sources*" >/dev/null ||
    apt-get "${options[@]}" update -qq
  (cd "$apt/source" && apt-get "${options[@]}" source -qq "$package" >/dev/null)
  local tree
  tree=$(find "$apt/source" -maxdepth 1 -mindepth 1 -type d -name "$package-*")
  [ -f "$tree/CMakeLists.txt" ] || {
    echo "build.sh: no $package source" >&2; exit 1; }
  rm -rf "$dest"
  mv "$tree" "$dest"
}

fetch_sources() {
  if [ ! -f "$build/abseil/CMakeLists.txt" ]; then
    fetch_source abseil abseil
    # Debian links every abseil library with -latomic through GNU ld
    # options; wasm has neither (its atomics are instructions).
    sed -i '/"-Wl,--push-state,--as-needed" "-latomic" "-Wl,--pop-state"/d' \
      "$build/abseil/absl/copts/AbseilConfigureCopts.cmake"
  fi
  # protobuf 3.21, the version of the host's protoc, for its lite runtime.
  fetch_source protobuf protobuf
}

build_wasm() {
  NODE_PATH=/usr/share/nodejs emcmake cmake -S "$js" -B "$build/wasm" \
    -DCMAKE_BUILD_TYPE=Release -DABSL_SOURCE_DIR="$build/abseil" \
    -DPROTOBUF_SOURCE_DIR="$build/protobuf" >/dev/null
  NODE_PATH=/usr/share/nodejs cmake --build "$build/wasm" -j "$jobs" \
    --target korvel_wasm korvel_import_wasm
}

# Emscripten's loader of module $1, its wasm as base64 and load.js.
module_code() {
  cat "$build/wasm/$1.js"
  echo "const WASM_BASE64 = '$(base64 -w0 "$build/wasm/$1.wasm")';"
  cat "$js/src/load.js"
}

# dist/korvel.cjs and dist/korvel.mjs: the core module and the API in
# src/api.js, with each format's exports; dist/korvel-import.mjs: the
# importer module, which both import() on the first fromTokenizerJson (one
# ES module serves both, so the package carries the importer's wasm once).
assemble() {
  local dist=$js/dist
  local importer="  () => import('./korvel-import.mjs').then((m) => m.importTokenizerJson));"
  mkdir -p "$dist"
  {
    echo "'use strict';"
    module_code korvel_wasm
    cat "$js/src/api.js"
    echo "module.exports = makeApi(loadSync(createKorvelModule),"
    echo "  (path) => require('fs').readFileSync(path),"
    echo "$importer"
  } >"$dist/korvel.cjs"
  {
    module_code korvel_wasm
    cat "$js/src/api.js"
    echo "const nodeFs = typeof process === 'object' && process.versions &&"
    echo "  process.versions.node ? await import('node:fs') : null;"
    echo "const api = makeApi(await loadAsync(createKorvelModule),"
    echo "  nodeFs && ((path) => nodeFs.readFileSync(path)),"
    echo "$importer"
    echo "export const { Tokenizer, DecodeStream, KorvelError, ModelError,"
    echo "  IdOutOfRangeError, TextError, wasmMemoryBytes } = api;"
    echo "export default api;"
  } >"$dist/korvel.mjs"
  {
    module_code korvel_import_wasm
    cat "$js/src/import_api.js"
    echo "export const importTokenizerJson ="
    echo "  makeImporter(await loadAsync(createKorvelImportModule));"
  } >"$dist/korvel-import.mjs"
  cp "$js/src/index.d.ts" "$dist/index.d.ts"
}

fetch_sources
build_wasm
assemble
echo "$js/dist"
