#!/usr/bin/env node
// Encodes every line of a text file with Hugging Face tokenizers' own
// implementation (the native binding @anush008/tokenizers, fetched next to the
// tokenizer by tools/fetch_llama2.sh) and prints one line of space-separated
// ids per input line: the reference that korvel's imported models must match.
//   node tools/reference_encode.js <tokenizer.json> <texts.txt> [special]
//
// Lines are cut at "\n" only; a final "\n" ends the last line. No BOS or EOS
// is added (addSpecialTokens false), unless "special" is given: then the
// special tokens in the text become their ids and the post-processor adds
// BOS and EOS (addSpecialTokens true), as korvel encode does with
// --parse_special and --add_bos (and --add_eos where the template adds EOS).
//
// Special tokens count as plain text. The binding has no switch for that:
// with addSpecialTokens false the library still cuts every added special
// token out of the text ("a <s> b" gives the id of "<s>"). So the special
// entries are dropped from "added_tokens" before loading; they stay in the
// model's vocabulary, which BPE reaches only through merges, and no merge
// produces them, so "<s>" is then spelled out like any other text.
'use strict';

const fs = require('fs');
const path = require('path');

function main() {
  if (process.argv.length !== 4 && process.argv.length !== 5) {
    console.error(
        'usage: reference_encode.js <tokenizer.json> <texts.txt> [special]');
    process.exit(2);
  }
  const [tokenizerPath, textPath, mode] = process.argv.slice(2);
  const special = mode === 'special';
  const binding = require.resolve('@anush008/tokenizers',
      {paths: [path.dirname(tokenizerPath), process.cwd()]});
  const {Tokenizer} = require(binding);

  const config = JSON.parse(fs.readFileSync(tokenizerPath, 'utf8'));
  if (!special) {
    config.added_tokens = (config.added_tokens || []).filter((t) => !t.special);
  }
  config.truncation = null;
  config.padding = null;
  const tokenizer = Tokenizer.fromString(JSON.stringify(config));

  const text = fs.readFileSync(textPath, 'utf8');
  const lines = text.split('\n');
  if (text.endsWith('\n')) lines.pop();
  return encodeAll(tokenizer, lines, special);
}

async function encodeAll(tokenizer, lines, special) {
  const batch = 256;
  const out = [];
  for (let start = 0; start < lines.length; start += batch) {
    const encodings = await tokenizer.encodeBatch(
        lines.slice(start, start + batch), {addSpecialTokens: special});
    for (const encoding of encodings) out.push(encoding.getIds().join(' '));
  }
  process.stdout.write(out.map((line) => line + '\n').join(''));
}

main().catch((error) => {
  console.error('reference_encode.js: ' + error);
  process.exit(1);
});
