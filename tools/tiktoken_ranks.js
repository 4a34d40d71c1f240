#!/usr/bin/env node
// tiktoken's own data and ids, from its WASM build @dqbd/tiktoken (fetched by
// tools/fetch_llama2.sh into <npm dir>):
//   node tools/tiktoken_ranks.js <npm dir> ranks <encoding> <out file>
//     writes the rank file of cl100k_base or o200k_base (one "BASE64 RANK"
//     line per token, tiktoken's own format) and prints its special tokens as
//     TEXT=ID,... for `korvel import --tiktoken --special=`;
//   node tools/tiktoken_ranks.js <npm dir> encode <encoding> <texts.txt>
//     prints the ids of encode_ordinary (special tokens are plain text) for
//     every line, cut at "\n" only, space-separated.
'use strict';

const fs = require('fs');
const path = require('path');

function main() {
  const [npmDir, mode, encoding, file] = process.argv.slice(2);
  if (!file || (mode !== 'ranks' && mode !== 'encode')) {
    console.error('usage: tiktoken_ranks.js <npm dir> ranks|encode ' +
                  '<encoding> <file>');
    process.exit(2);
  }
  const packageDir =
      path.resolve(npmDir, 'node_modules', '@dqbd', 'tiktoken');
  const data = require(path.join(packageDir, 'encoders', encoding + '.json'));
  if (mode === 'ranks') {
    writeRanks(data, file);
  } else {
    const {get_encoding: getEncoding} = require(packageDir);
    encodeLines(getEncoding(encoding), file);
  }
}

// bpe_ranks holds lines "NAME FIRST_RANK TOKEN TOKEN ...", tokens in base64
// with consecutive ranks.
function writeRanks(data, outFile) {
  const out = [];
  for (const line of data.bpe_ranks.split('\n')) {
    const [, first, ...tokens] = line.split(' ');
    tokens.forEach((token, i) => {
      if (token) out.push(token + ' ' + (Number(first) + i) + '\n');
    });
  }
  fs.writeFileSync(outFile, out.join(''));
  const specials = Object.entries(data.special_tokens)
      .map(([text, id]) => text + '=' + id);
  process.stdout.write(specials.join(',') + '\n');
}

function encodeLines(encoder, textFile) {
  const text = fs.readFileSync(textFile, 'utf8');
  const lines = text.split('\n');
  if (text.endsWith('\n')) lines.pop();
  const out = lines.map((line) => encoder.encode_ordinary(line).join(' '));
  process.stdout.write(out.map((line) => line + '\n').join(''));
  encoder.free();
}

main();
