#!/usr/bin/env bash
# The real-model benchmark, start to end: builds korvel (Release) into
# <build dir>, fetches the LLaMA-2 and Gemma-3 tokenizers and the peer library
# (Hugging Face tokenizers' native binding) with tools/fetch_llama2.sh, imports
# and converts LLaMA-2, a unigram tokenizer made from its vocabulary and
# Gemma-3, builds the texts from Debian documentation (tools/bench_setup.sh,
# tools/bench_texts.js), runs the peer on every model and text with one
# thread, times the whole `korvel encode` process on the English text with one
# and two threads (best of several alternating runs), then runs
# bench/real_model_bench on the same, and prints the table. All ratios come
# from this one run.
#   tools/bench.sh [build dir] [quick]
# Without network access nothing can be compared, and the script fails.
set -euo pipefail
export LC_NUMERIC=C  # a decimal point in $EPOCHREALTIME
cd "$(dirname "$0")/.."

build=${1:-build-bench}
quick=${2:-}
work=$build/bench_work
mkdir -p "$work"

echo "== Building (Release) in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target korvel_cli real_model_bench \
  unigram_tokenizer_maker >/dev/null

echo "== Fetching the LLaMA-2 and Gemma-3 tokenizers and the peer library" >&2
llama2_json=$(tools/fetch_llama2.sh "$build/hf")
gemma3_json=$(tools/fetch_llama2.sh "$build/hf" gemma3)
# The peer resolves its binding next to the tokenizer file.
unigram_json=$build/hf/unigram_tokenizer.json
"$build/bench/unigram_tokenizer_maker" "$llama2_json" "$unigram_json"

models=(llama2 unigram gemma3)
echo "== Importing and converting" >&2
for model in "${models[@]}"; do
  json_var=${model}_json
  "$build/src/korvel_cli/korvel" import --output_file="$work/$model.full" \
    "${!json_var}"
  "$build/src/korvel_cli/korvel" convert --output_file="$work/$model.lite" \
    "$work/$model.full"
done

echo "== Building the texts" >&2
texts=$work/texts
if ! { tools/bench_setup.sh && node tools/bench_texts.js "$texts"; } \
    2>"$work/texts.log"; then
  cat "$work/texts.log" >&2
  echo "== WARNING: Debian documentation texts unavailable; using" \
       "tools/generate_text.js output for both texts instead" >&2
  mkdir -p "$texts"
  node tools/generate_text.js 1 60000 data/sample.txt > "$texts/english.txt"
  node tools/generate_text.js 2 60000 data/sample.txt \
    > "$texts/multilingual.txt"
else
  sed 's/^/   /' "$work/texts.log" >&2
fi

peer_passes=3
bench_args=()
if [ "$quick" = quick ]; then
  peer_passes=1
  bench_args+=(quick)
fi
echo "== Peer: Hugging Face tokenizers, one thread, batches of 1,000" >&2
peer=$work/peer
mkdir -p "$peer"
for model in "${models[@]}"; do
  json_var=${model}_json
  for text in english multilingual; do
    RAYON_NUM_THREADS=1 TOKENIZERS_PARALLELISM=false \
      node tools/peer_bench.js "${!json_var}" "$texts/$text.txt" \
      "$peer/$model.$text.ids" "$peer_passes" > "$peer/$model.$text.peer"
  done
done

echo "== korvel encode, whole process, 1 and 2 threads" >&2
cli_runs=$([ "$quick" = quick ] && echo 5 || echo 15)
cli_encode=$work/cli_encode.times
best=(0 1e9 1e9)
for ((run = 0; run < cli_runs; ++run)); do
  for threads in 1 2; do
    begin=$EPOCHREALTIME
    "$build/src/korvel_cli/korvel" encode --model="$work/llama2.lite" \
      --threads=$threads "$texts/english.txt" > /dev/null
    end=$EPOCHREALTIME
    best[threads]=$(awk -v b="$begin" -v e="$end" -v best="${best[threads]}" \
      'BEGIN { s = e - b; print (s < best ? s : best) }')
  done
done
printf '1 %s\n2 %s\n' "${best[1]}" "${best[2]}" > "$cli_encode"

echo "== korvel" >&2
model_args=()
for model in "${models[@]}"; do
  model_args+=("$model=$work/$model.lite" "${model}_full=$work/$model.full")
done
"$build/bench/real_model_bench" "${model_args[@]}" \
  english="$texts/english.txt" multilingual="$texts/multilingual.txt" \
  peer_dir="$peer" cli_encode="$cli_encode" "${bench_args[@]}"

echo "== korvel for JavaScript (wasm) against pure JavaScript, in Node" >&2
js/build.sh build-js >/dev/null
js_peers=$build/js_peers
if [ ! -d "$js_peers/node_modules/@huggingface/tokenizers" ]; then
  npm install --prefix "$js_peers" --no-audit --no-fund --loglevel=error \
    @huggingface/tokenizers@0.2.0 gpt-tokenizer @dqbd/tiktoken >&2
fi
node js/bench.mjs "$texts" "$js_peers/node_modules" \
  "$build/src/korvel_cli/korvel" "$work" \
  "llama2=$work/llama2.lite,$llama2_json" "gemma3=$work/gemma3.lite,$gemma3_json"
