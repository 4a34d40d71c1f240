#!/usr/bin/env node
// Builds the benchmark texts from documentation that Debian packages ship
// (installed by tools/bench_setup.sh), one paragraph or message per line:
//   english.txt       the English manual pages of manpages and manpages-dev;
//   multilingual.txt  translated manual pages (Latin, Cyrillic, Greek and CJK
//                     scripts) and translated program messages (Arabic,
//                     Devanagari and Hangul scripts) from .mo catalogs.
// The output depends only on the installed package versions: files are read
// in sorted order and every source is capped at a fixed byte budget. A script
// with no installed source is reported on standard error and left out; the
// caller decides what to do (tools/bench.sh falls back to generated text).
//   node tools/bench_texts.js <out dir>
'use strict';

const childProcess = require('child_process');
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');

const kMiB = 1 << 20;

// Each source: the packages whose files are read, the file paths taken, and a
// byte budget. Manual pages are cut into paragraphs; catalogs give one line per
// translated message.
const kCatalogPackages = ['iso-codes', 'libc-l10n', 'xkb-data', 'apt', 'dpkg',
  'coreutils', 'tar', 'sed', 'grep', 'findutils', 'diffutils', 'bash',
  'adduser', 'passwd', 'login'];
const kEnglish = [
  {name: 'English', packages: ['manpages', 'manpages-dev'],
   match: /^\/usr\/share\/man\/man\d\/.*\.gz$/, budget: 6 * kMiB},
];
const kMultilingual = [
  {name: 'German', packages: ['manpages-de'], match: /\/man\/de\/.*\.gz$/,
   budget: 0.5 * kMiB},
  {name: 'French', packages: ['manpages-fr'], match: /\/man\/fr\/.*\.gz$/,
   budget: 0.4 * kMiB},
  {name: 'Spanish', packages: ['manpages-es'], match: /\/man\/es\/.*\.gz$/,
   budget: 0.3 * kMiB},
  {name: 'Polish', packages: ['manpages-pl'], match: /\/man\/pl\/.*\.gz$/,
   budget: 0.3 * kMiB},
  {name: 'Italian', packages: ['manpages-it'], match: /\/man\/it\/.*\.gz$/,
   budget: 0.2 * kMiB},
  {name: 'Russian', packages: ['manpages-ru'], match: /\/man\/ru\/.*\.gz$/,
   budget: 1.0 * kMiB},
  {name: 'Greek', packages: ['manpages-el'], match: /\/man\/el\/.*\.gz$/,
   budget: 0.5 * kMiB},
  {name: 'Greek messages', packages: kCatalogPackages,
   match: /\/locale\/el\/LC_MESSAGES\/.*\.mo$/, budget: 0.4 * kMiB},
  {name: 'Japanese', packages: ['manpages-ja'], match: /\/man\/ja\/.*\.gz$/,
   budget: 1.0 * kMiB},
  {name: 'Chinese', packages: ['manpages-zh'], match: /\/man\/zh_CN\/.*\.gz$/,
   budget: 1.0 * kMiB},
  {name: 'Arabic', packages: kCatalogPackages,
   match: /\/locale\/(ar|fa|ur)\/LC_MESSAGES\/.*\.mo$/, budget: 0.5 * kMiB},
  {name: 'Devanagari', packages: kCatalogPackages,
   match: /\/locale\/(hi|mr|ne)\/LC_MESSAGES\/.*\.mo$/, budget: 0.5 * kMiB},
  {name: 'Korean', packages: kCatalogPackages,
   match: /\/locale\/ko\/LC_MESSAGES\/.*\.mo$/, budget: 0.5 * kMiB},
];

function packageFiles(packages) {
  const files = [];
  for (const name of packages) {
    let listing;
    try {
      listing = childProcess.execFileSync('dpkg', ['-L', name],
          {encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore']});
    } catch (error) {
      continue;  // not installed
    }
    files.push(...listing.split('\n'));
  }
  return [...new Set(files)].sort();
}

const kDecoder = new TextDecoder('utf-8', {fatal: true});

function decodeUtf8(bytes) {
  try {
    return kDecoder.decode(bytes);
  } catch (error) {
    return null;
  }
}

const kNamedCharacters = {
  em: '\u2014', en: '\u2013', aq: "'", dq: '"', lq: '\u201c', rq: '\u201d',
  oq: '\u2018', cq: '\u2019', bu: '\u2022', co: '\u00a9', rg: '\u00ae',
  mu: '\u00d7', di: '\u00f7', '<=': '\u2264', '>=': '\u2265', '->': '\u2192',
  '<-': '\u2190', tm: '\u2122', de: '\u00b0', hy: '-', ti: '~', ha: '^',
  rs: '\\', fo: '\u00ab', fc: '\u00bb', Fo: '\u00ab', Fc: '\u00bb',
};

// The visible text of one roff input line, escapes resolved or dropped.
function roffText(line) {
  return line
      .replace(/\\f(\[[^\]]*\]|\(..|.)/g, '')
      .replace(/\\s[-+]?\d/g, '')
      .replace(/\\\[([^\]]*)\]/g, (m, name) => kNamedCharacters[name] || '')
      .replace(/\\\((..)/g, (m, name) => kNamedCharacters[name] || '')
      .replace(/\\\*(\(..|\[[^\]]*\]|.)/g, '')
      .replace(/\\[&,/|^%:]/g, '')
      .replace(/\\[-e]/g, (m) => (m === '\\-' ? '-' : '\\'))
      .replace(/\\ /g, ' ')
      .replace(/\\"/g, '')
      .replace(/\\./g, '')
      .trim();
}

const kBreakMacros = new Set(['SH', 'SS', 'PP', 'P', 'LP', 'TP', 'IP', 'HP',
  'sp', 'br', 'TH', 'RS', 'RE', 'nf', 'fi', 'TS', 'TE', 'EX', 'EE', 'in',
  'ti', 'TQ', 'SY', 'YS', 'OP', 'UR', 'UE', 'MT', 'ME', 'ad', 'na', 'ne']);
const kTextMacros = new Set(['B', 'I', 'BI', 'BR', 'IB', 'IR', 'RB', 'RI',
  'SM', 'SB', 'SH', 'SS', 'IP', 'OP']);

// The paragraphs of a manual page, each joined into one line.
function manualParagraphs(source) {
  const paragraphs = [];
  let words = [];
  let inTable = false;
  const flush = () => {
    const text = words.join(' ').replace(/\s+/g, ' ').trim();
    if (/\p{L}/u.test(text)) paragraphs.push(text);
    words = [];
  };
  for (const line of source.split('\n')) {
    if (line.startsWith('.') || line.startsWith("'")) {
      const match = /^['.]\s*(\S+)\s*(.*)$/.exec(line);
      if (match === null) continue;
      const [, macro, rest] = match;
      if (macro === 'TS') inTable = true;
      if (macro === 'TE') inTable = false;
      if (kBreakMacros.has(macro)) flush();
      if (kTextMacros.has(macro) && rest !== '') {
        words.push(roffText(rest.replace(/"/g, '')));
        if (macro === 'SH' || macro === 'SS') flush();
      }
      continue;
    }
    if (inTable) continue;
    if (line.trim() === '') {
      flush();
      continue;
    }
    words.push(roffText(line));
  }
  flush();
  return paragraphs;
}

// The translated messages of a GNU .mo catalog, one line each.
function catalogMessages(bytes) {
  if (bytes.length < 28) return [];
  const magic = bytes.readUInt32LE(0);
  const read = magic === 0x950412de ? (o) => bytes.readUInt32LE(o)
             : magic === 0xde120495 ? (o) => bytes.readUInt32BE(o) : null;
  if (read === null) return [];
  const count = read(8);
  const table = read(16);
  const messages = [];
  for (let i = 0; i < count; ++i) {
    const length = read(table + 8 * i);
    const offset = read(table + 8 * i + 4);
    if (offset + length > bytes.length) break;
    const text = decodeUtf8(bytes.subarray(offset, offset + length));
    if (text === null || text.startsWith('Project-Id-Version')) continue;
    for (const form of text.split('\0')) {
      const line = form.replace(/\s+/g, ' ').trim();
      if (/\p{L}/u.test(line)) messages.push(line);
    }
  }
  return messages;
}

function sourceLines(source) {
  const lines = [];
  let bytes = 0;
  for (const file of packageFiles(source.packages)) {
    if (!source.match.test(file) || !fs.existsSync(file)) continue;
    if (!fs.statSync(file).isFile()) continue;
    let raw = fs.readFileSync(file);
    if (file.endsWith('.gz')) raw = zlib.gunzipSync(raw);
    let found;
    if (file.endsWith('.mo')) {
      found = catalogMessages(raw);
    } else {
      const text = decodeUtf8(raw);
      if (text === null) continue;
      found = manualParagraphs(text);
    }
    for (const line of found) {
      lines.push(line);
      bytes += Buffer.byteLength(line) + 1;
      if (bytes >= source.budget) return {lines, bytes};
    }
  }
  return {lines, bytes};
}

function build(sources, outPath) {
  const all = [];
  const missing = [];
  for (const source of sources) {
    const {lines, bytes} = sourceLines(source);
    if (lines.length === 0) {
      missing.push(source.name);
      continue;
    }
    console.error(`${path.basename(outPath)}: ${source.name}: ` +
                  `${lines.length} lines, ${(bytes / kMiB).toFixed(2)} MiB`);
    all.push(...lines);
  }
  fs.writeFileSync(outPath, all.map((line) => line + '\n').join(''));
  return missing;
}

function main() {
  if (process.argv.length !== 3) {
    console.error('usage: bench_texts.js <out dir>');
    process.exit(2);
  }
  const dir = process.argv[2];
  fs.mkdirSync(dir, {recursive: true});
  const missing = [
    ...build(kEnglish, path.join(dir, 'english.txt')),
    ...build(kMultilingual, path.join(dir, 'multilingual.txt')),
  ];
  if (missing.length > 0) {
    console.error('bench_texts.js: no installed source for ' +
                  missing.join(', '));
    process.exit(3);
  }
}

main();
