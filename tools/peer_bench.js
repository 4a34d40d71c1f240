#!/usr/bin/env node
// The peers of korvel's encoding benchmark, one thread, each as a black box:
//   hf             Hugging Face tokenizers' native library (the binding
//                  @anush008/tokenizers, fetched by tools/fetch_llama2.sh) on a
//                  tokenizer.json, lines in batches of 1,000;
//   tiktoken       tiktoken's WASM build (@dqbd/tiktoken), encode_ordinary;
//   gpt-tokenizer  gpt-tokenizer (pure JavaScript), special tokens as text;
// the last two on their own cl100k_base or o200k_base vocabulary.
//
//   RAYON_NUM_THREADS=1 node tools/peer_bench.js <peer> <source> <out prefix>
//       <passes> <texts.txt>...
// <source> is the tokenizer.json for hf, and <node_modules dir>:<encoding>
// for the other two.
//
// Every text is encoded in two units: `line`, every line of the text (cut at
// "\n"), and `block`, 1 MB blocks: consecutive lines joined by "\n", a block
// closed as soon as it holds 1,000,000 bytes or more (bench/real_model_bench.cc
// cuts the same blocks). For text <name>.txt and each unit the peer writes
// <out prefix>.<name>.<unit>.<peer>.ids, one line of space-separated ids per
// line or block, for the identical-ids check of bench/real_model_bench, and
// ....peer, the line "peer_mb_per_s <MB/s of input> <units> <bytes>".
//
// Loading, one warm-up call and the collection of the ids (the native peer's
// getIds) are not timed; each pass times the encoding of the whole text and
// the best pass counts; passes stop after 10 seconds.
'use strict';

const fs = require('fs');
const path = require('path');

const kBatch = 1000;
const kBlockBytes = 1000000;
const kEnoughSeconds = 10;

// The tokenizer.json loaded as tools/reference_encode.js loads it: special
// tokens count as plain text, no special tokens are added.
function hfPeer(tokenizerPath) {
  const binding = require.resolve('@anush008/tokenizers',
      {paths: [path.dirname(tokenizerPath), process.cwd()]});
  const {Tokenizer} = require(binding);
  const config = JSON.parse(fs.readFileSync(tokenizerPath, 'utf8'));
  config.added_tokens = (config.added_tokens || []).filter((t) => !t.special);
  config.truncation = null;
  config.padding = null;
  const tokenizer = Tokenizer.fromString(JSON.stringify(config));
  const options = {addSpecialTokens: false};
  const run = async (inputs) => {
    const batches = [];
    for (let start = 0; start < inputs.length; start += kBatch) {
      batches.push(await tokenizer.encodeBatch(
          inputs.slice(start, start + kBatch), options));
    }
    return batches;
  };
  const ids = (batches) => batches.flat().map((e) => e.getIds());
  return {run, ids};
}

function tiktokenPeer(source) {
  const [modules, encoding] = source.split(':');
  const {get_encoding: getEncoding} =
      require(path.resolve(modules, '@dqbd/tiktoken'));
  const encoder = getEncoding(encoding);
  const run = async (inputs) => inputs.map((t) => encoder.encode_ordinary(t));
  return {run, ids: (rows) => rows};
}

function gptTokenizerPeer(source) {
  const [modules, encoding] = source.split(':');
  const {encode} =
      require(path.resolve(modules, 'gpt-tokenizer/cjs/encoding', encoding));
  const options = {disallowedSpecial: new Set()};
  const run = async (inputs) => inputs.map((text) => encode(text, options));
  return {run, ids: (rows) => rows};
}

const kPeers = {'hf': hfPeer, 'tiktoken': tiktokenPeer,
  'gpt-tokenizer': gptTokenizerPeer};

function readUnits(textPath, unit) {
  const text = fs.readFileSync(textPath, 'utf8');
  const lines = text.split('\n');
  if (text.endsWith('\n')) lines.pop();
  if (unit === 'line') return lines;
  const blocks = [];
  let current = [];
  let bytes = -1;
  for (const line of lines) {
    current.push(line);
    bytes += Buffer.byteLength(line) + 1;
    if (bytes >= kBlockBytes) {
      blocks.push(current.join('\n'));
      current = [];
      bytes = -1;
    }
  }
  if (current.length > 0) blocks.push(current.join('\n'));
  return blocks;
}

// Times up to `passes` encodings of `inputs`, fewer once kEnoughSeconds have
// gone by (a slow peer on 1 MB blocks), and writes the ids and the figure.
async function measure(tokenizer, inputs, passes, out) {
  const bytes = inputs.reduce((sum, text) => sum + Buffer.byteLength(text), 0);
  let best = Infinity;
  let spent = 0;
  let results = null;
  for (let pass = 0; pass < passes && spent < kEnoughSeconds; ++pass) {
    const begin = process.hrtime.bigint();
    results = await tokenizer.run(inputs);
    const seconds = Number(process.hrtime.bigint() - begin) / 1e9;
    best = Math.min(best, seconds);
    spent += seconds;
  }
  const ids = tokenizer.ids(results);
  fs.writeFileSync(out + '.ids',
      ids.map((row) => row.join(' ') + '\n').join(''));
  fs.writeFileSync(out + '.peer', `peer_mb_per_s ` +
      `${(bytes / best / 1e6).toFixed(3)} ${inputs.length} ${bytes}\n`);
}

async function main() {
  const [peer, source, prefix, passesArg, ...texts] = process.argv.slice(2);
  if (texts.length === 0 || !(peer in kPeers)) {
    console.error('usage: peer_bench.js hf|tiktoken|gpt-tokenizer <source> ' +
                  '<out prefix> <passes> <texts.txt>...');
    process.exit(2);
  }
  const tokenizer = kPeers[peer](source);
  for (const textPath of texts) {
    const name = path.basename(textPath, '.txt');
    for (const unit of ['line', 'block']) {
      const inputs = readUnits(textPath, unit);
      // The warm-up: a batch of lines, or the first kilobyte of a block.
      await tokenizer.run(unit === 'line' ? inputs.slice(0, kBatch)
                                          : [inputs[0].slice(0, 1000)]);
      await measure(tokenizer, inputs, Number(passesArg),
                    `${prefix}.${name}.${unit}.${peer}`);
    }
  }
}

main().catch((error) => {
  console.error('peer_bench.js: ' + error);
  process.exit(1);
});
