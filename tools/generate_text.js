#!/usr/bin/env node
// Writes a reproducible stress text for the exactness tests: words drawn from
// a sample file mixed with random characters of many scripts (emoji, rare
// CJK, private-use and control characters included), runs of spaces and tabs,
// literal special-token texts and whitespace symbols, empty and very long
// lines. Lines are joined by "\n"; the text is valid UTF-8.
//   node tools/generate_text.js <seed> <lines> <sample.txt>
'use strict';

const fs = require('fs');

// Code point ranges, each [first, last].
const kRanges = [
  [0x21, 0x7e], [0x21, 0x7e], [0x21, 0x7e], [0x01, 0x09], [0x0b, 0x1f],
  [0xa0, 0xff], [0x100, 0x24f], [0x300, 0x36f], [0x370, 0x3ff],
  [0x400, 0x4ff], [0x5d0, 0x5ea], [0x600, 0x6ff], [0x900, 0x97f],
  [0xe00, 0xe7f], [0x1100, 0x11ff], [0x2000, 0x200f], [0x2070, 0x209f],
  [0x2190, 0x21ff], [0x2500, 0x259f], [0x3000, 0x303f], [0x3040, 0x30ff],
  [0x4e00, 0x9fff], [0x4e00, 0x9fff], [0xac00, 0xd7a3], [0xe000, 0xe0ff],
  [0xfb00, 0xfb4f], [0xff00, 0xffef], [0x1d400, 0x1d7ff], [0x1f300, 0x1faff],
  [0x1f300, 0x1faff], [0x20000, 0x2a6df], [0x10fff0, 0x10ffff],
];
const kLiterals = ['<s>', '</s>', '<unk>', '<0x41>', '\u2581', '\u2581\u2581',
                   '\0', '\r', '\t', '  ', '\u00a0', '\u3000'];

function random32(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function main() {
  if (process.argv.length !== 5) {
    console.error('usage: generate_text.js <seed> <lines> <sample.txt>');
    process.exit(2);
  }
  const random = random32(Number(process.argv[2]));
  const lineCount = Number(process.argv[3]);
  const words = fs.readFileSync(process.argv[4], 'utf8').split(/\s+/)
                    .filter((w) => w.length > 0);
  const below = (n) => Math.floor(random() * n);

  const randomChars = () => {
    const [first, last] = kRanges[below(kRanges.length)];
    let out = '';
    for (let n = 1 + below(6); n > 0; --n) {
      out += String.fromCodePoint(first + below(last - first + 1));
    }
    return out;
  };
  const separator = () => {
    const r = random();
    if (r < 0.7) return ' ';
    if (r < 0.8) return ' '.repeat(2 + below(12));
    if (r < 0.85) return '\t';
    if (r < 0.9) return '';
    return kLiterals[below(kLiterals.length)];
  };

  const lines = [];
  for (let i = 0; i < lineCount; ++i) {
    const r = random();
    let length = 1 + below(25);
    if (r < 0.03) length = 300 + below(700);
    if (r < 0.05 && r >= 0.03) length = 0;
    let line = random() < 0.2 ? ' '.repeat(1 + below(4)) : '';
    for (let k = 0; k < length; ++k) {
      const pick = random();
      line += pick < 0.65 ? words[below(words.length)]
                          : pick < 0.9 ? randomChars()
                                       : kLiterals[below(kLiterals.length)];
      line += separator();
    }
    lines.push(line);
  }
  process.stdout.write(lines.join('\n') + '\n');
}

main();
