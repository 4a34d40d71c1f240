#!/usr/bin/env bash
# The js test stage: builds the native `korvel` command and the npm package,
# imports and converts the LLaMA-2, Gemma-3, Llama-3 and GPT-4o tokenizers
# (and the small model of data/tiny_vocab.tsv) with the command, keeping the
# importer's warnings, writes its ids for the test texts as the reference,
# installs puppeteer-core into the build tree, and runs the package's tests
# (node --test), the browser test of the page included.
#   js/test.sh [build dir]      (default: build-js at the repository root)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(mkdir -p "${1:-build-js}" && cd "${1:-build-js}" && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
puppeteer=puppeteer-core@24.8.2

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs" --target korvel_cli
korvel=$PWD/build/src/korvel_cli/korvel
KORVEL_JS_JOBS=$jobs js/build.sh "$build"

data=$build/data
mkdir -p "$data"
make_model() {  # name source
  [ -s "$data/$1.lite" ] && return
  "$korvel" import --output_file="$data/$1.full" "$2" 2>"$data/$1.warnings"
  "$korvel" convert --output_file="$data/$1.lite" "$data/$1.full"
}
make_model tiny data/tiny_vocab.tsv
for model in llama2 gemma3 llama3 gpt4o; do
  json=$(tools/fetch_llama2.sh build/hf "$model")
  ln -sf "$PWD/$json" "$data/$model.tokenizer.json"
  make_model "$model" "$json"
done

cp data/sample.txt "$data/sample.txt"
node tools/generate_text.js 22 400 data/sample.txt >"$data/generated.txt"
for model in tiny llama2 gemma3 llama3 gpt4o; do
  for text in sample generated; do
    "$korvel" encode --model="$data/$model.lite" --output=json \
      "$data/$text.txt" >"$data/$model.$text.json"
  done
  bos=--add_bos
  [ "$model" = gpt4o ] && bos=  # GPT-4o has no BOS piece
  "$korvel" encode --model="$data/$model.lite" --output=json $bos \
    --add_eos --parse_special "$data/sample.txt" >"$data/$model.special.json"
done

npm_dir=$build/npm
if [ ! -f "$npm_dir/node_modules/puppeteer-core/package.json" ]; then
  PUPPETEER_SKIP_DOWNLOAD=1 npm install --prefix "$npm_dir" --no-audit \
    --no-fund --loglevel=error "$puppeteer" >&2
fi

KORVEL_JS_DATA=$data KORVEL_JS_NODE_MODULES=$npm_dir/node_modules \
KORVEL_CLI=$korvel node --test js/test/api.test.mjs js/test/page.test.mjs
