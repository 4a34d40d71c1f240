#!/usr/bin/env node
// The peer of korvel's encoding benchmark: Hugging Face tokenizers' native
// library (the binding @anush008/tokenizers, fetched by tools/fetch_llama2.sh)
// encodes every line of a text in batches of 1,000 and reports its
// throughput; the ids go to a file, one line of space-separated ids per input
// line, for the identical-ids check of tools/bench.sh.
//   RAYON_NUM_THREADS=1 node tools/peer_bench.js <tokenizer.json> <texts.txt>
//       <ids out> [passes]
//
// Loading the tokenizer, one warm-up batch and the collection of the ids are
// not timed; each pass times the encodeBatch calls over the whole text and the
// best pass counts. Prints "peer_mb_per_s <MB/s of input> <lines> <bytes>".
// The tokenizer is loaded as tools/reference_encode.js loads it: special
// tokens count as plain text, no special tokens are added.
'use strict';

const fs = require('fs');
const path = require('path');

const kBatch = 1000;

async function main() {
  if (process.argv.length < 5 || process.argv.length > 6) {
    console.error('usage: peer_bench.js <tokenizer.json> <texts.txt> ' +
                  '<ids out> [passes]');
    process.exit(2);
  }
  const [tokenizerPath, textPath, idsPath] = process.argv.slice(2, 5);
  const passes = Number(process.argv[5] || 3);
  const binding = require.resolve('@anush008/tokenizers',
      {paths: [path.dirname(tokenizerPath), process.cwd()]});
  const {Tokenizer} = require(binding);

  const config = JSON.parse(fs.readFileSync(tokenizerPath, 'utf8'));
  config.added_tokens = (config.added_tokens || []).filter((t) => !t.special);
  config.truncation = null;
  config.padding = null;
  const tokenizer = Tokenizer.fromString(JSON.stringify(config));
  const options = {addSpecialTokens: false};

  const text = fs.readFileSync(textPath, 'utf8');
  const lines = text.split('\n');
  if (text.endsWith('\n')) lines.pop();
  const batches = [];
  for (let start = 0; start < lines.length; start += kBatch) {
    batches.push(lines.slice(start, start + kBatch));
  }
  const bytes = Buffer.byteLength(text) - (text.endsWith('\n') ? 1 : 0) -
                Math.max(lines.length - 1, 0);

  await tokenizer.encodeBatch(batches[0] || [], options);
  let best = Infinity;
  let encodings = null;
  for (let pass = 0; pass < passes; ++pass) {
    const results = [];
    const begin = process.hrtime.bigint();
    for (const batch of batches) {
      results.push(await tokenizer.encodeBatch(batch, options));
    }
    const seconds = Number(process.hrtime.bigint() - begin) / 1e9;
    best = Math.min(best, seconds);
    encodings = results;
  }

  const out = [];
  for (const batch of encodings) {
    for (const encoding of batch) out.push(encoding.getIds().join(' ') + '\n');
  }
  fs.writeFileSync(idsPath, out.join(''));
  console.log(`peer_mb_per_s ${(bytes / best / 1e6).toFixed(3)} ` +
              `${lines.length} ${bytes}`);
}

main().catch((error) => {
  console.error('peer_bench.js: ' + error);
  process.exit(1);
});
