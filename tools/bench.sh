#!/usr/bin/env bash
# The real-model benchmark, start to end: builds korvel (Release) into
# <build dir>; fetches the LLaMA-2, Gemma-3, Llama-3, Qwen3 and GPT-4o
# tokenizers and the peers (Hugging Face tokenizers' native binding and
# tiktoken's WASM build with tools/fetch_llama2.sh, gpt-tokenizer with npm);
# imports and converts those models, a unigram tokenizer made from LLaMA-2's
# vocabulary, and tiktoken's cl100k_base and o200k_base rank files; builds
# the four texts from Debian documentation (tools/bench_setup.sh,
# tools/bench_texts.js: english, multilingual, varied_english, cjk); runs the
# peers on every model and text, per line and in 1 MB blocks, with one
# thread; times the whole `korvel encode` process on both English texts with
# one and two threads and `korvel --version` (best of several alternating
# runs); then runs bench/real_model_bench on the same and prints the table,
# then the JavaScript rows of js/bench.mjs. All ratios come from this one run.
#   tools/bench.sh [build dir] [quick]
# quick: the first MiB of every text, fewer passes.
# Without network access nothing can be compared, and the script fails.
set -euo pipefail
export LC_NUMERIC=C  # a decimal point in $EPOCHREALTIME
cd "$(dirname "$0")/.."

build=${1:-build-bench}
quick=${2:-}
work=$build/bench_work
mkdir -p "$work"

echo "== Building (Release) in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target korvel_cli real_model_bench \
  unigram_tokenizer_maker >/dev/null

echo "== Fetching the tokenizers and the peer libraries" >&2
for model in llama2 gemma3 llama3 qwen3 gpt4o; do
  json=$(tools/fetch_llama2.sh "$build/hf" "$model")
  printf -v "${model}_json" '%s' "$json"
done
# The peer resolves its binding next to the tokenizer file.
unigram_json=$build/hf/unigram_tokenizer.json
"$build/bench/unigram_tokenizer_maker" "$llama2_json" "$unigram_json"
js_peers=$build/js_peers
if [ ! -d "$js_peers/node_modules/gpt-tokenizer/cjs/encoding" ]; then
  npm install --prefix "$js_peers" --no-audit --no-fund --loglevel=error \
    @huggingface/tokenizers@0.2.0 gpt-tokenizer@4.1.2 @dqbd/tiktoken@1.0.22 >&2
fi

json_models=(llama2 unigram gemma3 llama3 qwen3 gpt4o)
tiktoken_models=(cl100k_base o200k_base)
models=("${json_models[@]}" "${tiktoken_models[@]}")
korvel=$build/src/korvel_cli/korvel
echo "== Importing and converting" >&2
for model in "${json_models[@]}"; do
  json_var=${model}_json
  "$korvel" import --output_file="$work/$model.full" "${!json_var}" \
    2>"$work/$model.warnings"
done
for model in "${tiktoken_models[@]}"; do
  specials=$(node tools/tiktoken_ranks.js "$build/hf" ranks "$model" \
    "$work/$model.tiktoken")
  "$korvel" import --tiktoken --pattern="${model%_base}" \
    --special="$specials" --output_file="$work/$model.full" \
    "$work/$model.tiktoken" 2>"$work/$model.warnings"
done
for model in "${models[@]}"; do
  "$korvel" convert --output_file="$work/$model.lite" "$work/$model.full"
done

echo "== Building the texts" >&2
text_names=(english multilingual varied_english cjk)
texts=$work/texts
if ! { tools/bench_setup.sh && node tools/bench_texts.js "$texts"; } \
    2>"$work/texts.log"; then
  cat "$work/texts.log" >&2
  echo "== WARNING: Debian documentation texts unavailable; using" \
       "tools/generate_text.js output for every text instead" >&2
  mkdir -p "$texts"
  for i in "${!text_names[@]}"; do
    node tools/generate_text.js $((i + 1)) 60000 data/sample.txt \
      > "$texts/${text_names[i]}.txt"
  done
else
  sed 's/^/   /' "$work/texts.log" >&2
fi

peer_passes=3
cli_runs=15
start_runs=200
bench_args=()
if [ "$quick" = quick ]; then
  # The first MiB of every text, in whole lines.
  peer_passes=1
  cli_runs=5
  start_runs=50
  bench_args+=(quick)
  for name in "${text_names[@]}"; do
    mkdir -p "$texts/quick"
    LC_ALL=C awk \
      '{ bytes += length($0) + 1; if (bytes > 1048576) exit; print }' \
      "$texts/$name.txt" > "$texts/quick/$name.txt"
  done
  texts=$texts/quick
fi

echo "== Peers, one thread: Hugging Face tokenizers (native), tiktoken" \
     "(wasm), gpt-tokenizer" >&2
peer=$work/peer
rm -rf "$peer"
mkdir -p "$peer"
text_files=()
for text in "${text_names[@]}"; do
  text_files+=("$texts/$text.txt")
done
# run_peer <peer> <source> <model>: every text, per line and in blocks.
run_peer() {
  RAYON_NUM_THREADS=1 TOKENIZERS_PARALLELISM=false \
    node tools/peer_bench.js "$1" "$2" "$peer/$3" "$peer_passes" \
    "${text_files[@]}"
}
for model in "${json_models[@]}"; do
  json_var=${model}_json
  run_peer hf "${!json_var}" "$model"
done
for model in "${tiktoken_models[@]}"; do
  run_peer tiktoken "$build/hf/node_modules:$model" "$model"
  run_peer gpt-tokenizer "$js_peers/node_modules:$model" "$model"
done

echo "== korvel encode, whole process, 1 and 2 threads; korvel --version" >&2
# best_seconds <runs> <command...>: the fastest of <runs> runs.
best_seconds() {
  local runs=$1 best=1e9 begin end
  shift
  for ((run = 0; run < runs; ++run)); do
    begin=$EPOCHREALTIME
    "$@" > /dev/null
    end=$EPOCHREALTIME
    best=$(awk -v b="$begin" -v e="$end" -v best="$best" \
      'BEGIN { s = e - b; print (s < best ? s : best) }')
  done
  echo "$best"
}
cli_encode=$work/cli_encode.times
: > "$cli_encode"
for text in english varied_english; do
  # The two thread counts alternate, so that other work weighs on both alike.
  best=(0 1e9 1e9)
  for ((run = 0; run < cli_runs; ++run)); do
    for threads in 1 2; do
      seconds=$(best_seconds 1 "$korvel" encode --model="$work/llama2.lite" \
        --threads=$threads "$texts/$text.txt")
      best[threads]=$(awk -v s="$seconds" -v best="${best[threads]}" \
        'BEGIN { print (s < best ? s : best) }')
    done
  done
  printf '%s 1 %s\n%s 2 %s\n' "$text" "${best[1]}" "$text" "${best[2]}" \
    >> "$cli_encode"
done
cli_start=$work/cli_start.times
echo "$start_runs $(best_seconds "$start_runs" "$korvel" --version)" \
  > "$cli_start"

echo "== korvel" >&2
model_args=()
for model in "${models[@]}"; do
  model_args+=("$model=$work/$model.lite" "${model}_full=$work/$model.full")
done
text_args=()
for text in "${text_names[@]}"; do
  text_args+=("$text=$texts/$text.txt")
done
"$build/bench/real_model_bench" "${model_args[@]}" "${text_args[@]}" \
  peer_dir="$peer" cli_encode="$cli_encode" cli_start="$cli_start" \
  "${bench_args[@]}"

echo "== korvel for JavaScript (wasm) against pure JavaScript, in Node" >&2
js/build.sh build-js >/dev/null
node js/bench.mjs "$texts" "$js_peers/node_modules" "$korvel" "$work" \
  "llama2=$work/llama2.lite,$llama2_json" "gemma3=$work/gemma3.lite,$gemma3_json"
