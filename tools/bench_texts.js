#!/usr/bin/env node
// Builds the benchmark texts from documentation that Debian packages ship
// (installed by tools/bench_setup.sh), one paragraph or message per line:
//   english.txt       the English manual pages of manpages and manpages-dev;
//   multilingual.txt  translated manual pages (Latin, Cyrillic, Greek and CJK
//                     scripts) and translated program messages (Arabic,
//                     Devanagari and Hangul scripts) from .mo catalogs;
//   varied_english.txt  English prose of wider vocabulary: fortune cookies,
//                     Debian's handbook, reference, policy and FAQ and Git's
//                     manual (HTML);
//   cjk.txt           Chinese, Japanese and Korean prose: Chinese fortunes and
//                     poems, translated Debian handbooks, reference and guides,
//                     translated manual pages; only lines mostly in CJK script.
// The two later texts hold every distinct line once (HTML pages repeat their
// navigation).
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
const kFortuneDir = /^\/usr\/share\/games\/fortunes\//;
const kVariedEnglish = [
  {name: 'Fortunes', packages: ['fortunes', 'fortunes-min',
   'fortune-anarchism'],
   match: /^\/usr\/share\/games\/fortunes\/[a-z-]+$/, kind: 'fortune',
   budget: 3 * kMiB},
  {name: 'Debian reference', packages: ['debian-reference-en'],
   match: /\/debian-reference\/.*\.en\.html$/, budget: 1.5 * kMiB},
  {name: 'Debian handbook', packages: ['debian-handbook'],
   match: /\/html\/en-US\/.*\.html$/, budget: 2.5 * kMiB},
  {name: 'Developers reference', packages: ['developers-reference'],
   match: /^\/usr\/share\/developers-reference\/[a-z-]+\.html$/,
   budget: 0.8 * kMiB},
  {name: 'Policy and FAQ',
   packages: ['debian-policy', 'debian-faq', 'maint-guide', 'debian-history'],
   match: /(policy\.html\/.*|\.en)\.html$/, budget: 1.5 * kMiB},
  {name: 'Git manual', packages: ['git-doc'], match: /\.html$/,
   budget: 2.5 * kMiB},
];
const kHanOrKana = /[\p{Script=Han}\p{Script=Hiragana}\p{Script=Katakana}\p{Script=Hangul}]/gu;
// Lines of which at least 40% of the non-space characters are CJK.
const kMostlyCjk = (line) => {
  const cjk = (line.match(kHanOrKana) || []).length;
  return cjk * 5 >= line.replace(/\s/g, '').length * 2;
};
const kCjk = [
  {name: 'Chinese fortunes and poems', packages: ['fortunes-zh'],
   match: kFortuneDir, kind: 'fortune', budget: 2.2 * kMiB},
  {name: 'Chinese reference', packages: ['debian-reference-zh-cn'],
   match: /\.zh-cn\.html$/, budget: 0.6 * kMiB},
  {name: 'Traditional Chinese reference', packages: ['debian-reference-zh-tw'],
   match: /\.zh-tw\.html$/, budget: 0.4 * kMiB},
  {name: 'Japanese reference', packages: ['debian-reference-ja'],
   match: /\.ja\.html$/, budget: 0.6 * kMiB},
  {name: 'Chinese handbook', packages: ['debian-handbook'],
   match: /\/html\/zh-(CN|TW)\/.*\.html$/, budget: 0.6 * kMiB},
  {name: 'Japanese handbook', packages: ['debian-handbook'],
   match: /\/html\/ja-JP\/.*\.html$/, budget: 0.6 * kMiB},
  {name: 'Korean handbook', packages: ['debian-handbook'],
   match: /\/html\/ko-KR\/.*\.html$/, budget: 0.4 * kMiB},
  {name: 'Japanese guides', packages: ['developers-reference-ja',
   'maint-guide-ja'], match: /\.html$/, budget: 0.4 * kMiB},
  {name: 'Chinese guides', packages: ['maint-guide-zh-cn', 'debian-faq-zh-cn'],
   match: /\.html$/, budget: 0.3 * kMiB},
  {name: 'Japanese manual pages', packages: ['manpages-ja'],
   match: /\/man\/ja\/.*\.gz$/, budget: 0.4 * kMiB},
  {name: 'Chinese manual pages', packages: ['manpages-zh'],
   match: /\/man\/zh_CN\/.*\.gz$/, budget: 0.4 * kMiB},
].map((source) => ({...source, filter: kMostlyCjk}));

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

const kEntities = {amp: '&', lt: '<', gt: '>', quot: '"', apos: "'",
  nbsp: ' ', mdash: '\u2014', ndash: '\u2013', hellip: '\u2026',
  lsquo: '\u2018', rsquo: '\u2019', ldquo: '\u201c', rdquo: '\u201d',
  copy: '\u00a9', reg: '\u00ae', trade: '\u2122', rarr: '\u2192',
  larr: '\u2190', times: '\u00d7', middot: '\u00b7', laquo: '\u00ab',
  raquo: '\u00bb', deg: '\u00b0', sect: '\u00a7'};

function decodeEntities(text) {
  return text.replace(/&(#x[0-9a-fA-F]+|#\d+|\w+);/g, (m, name) => {
    if (name[0] !== '#') return kEntities[name] || '';
    const code = name[1] === 'x' ? parseInt(name.slice(2), 16)
                                 : parseInt(name.slice(1), 10);
    return code > 0 && code < 0x110000 && (code < 0xd800 || code > 0xdfff)
        ? String.fromCodePoint(code) : '';
  });
}

const kBlockTags = 'p|div|li|ul|ol|dl|dt|dd|h[1-6]|tr|td|th|table|br|' +
    'blockquote|title|section|header|footer|nav|caption|figure|hr';
const kBlockTag = new RegExp(`<\\/?(?:${kBlockTags})\\b[^>]*>`, 'gi');

// The paragraphs of an HTML page, one line each; preformatted text gives one
// line per source line.
function htmlParagraphs(source) {
  const text = source
      .replace(/<(script|style|head)\b[\s\S]*?<\/\1\s*>/gi, '')
      .replace(/<!--[\s\S]*?-->/g, '')
      .replace(/<pre\b[^>]*>([\s\S]*?)<\/pre\s*>/gi,
               (m, body) => '\n' + body.replace(/\n/g, '\u2029') + '\n')
      .replace(/\s+/g, (space) => (space.includes('\u2029') ? space : ' '))
      .replace(kBlockTag, '\n')
      .replace(/<[^>]*>/g, '')
      .replace(/\u2029/g, '\n');
  return decodeEntities(text).split('\n')
      .map((line) => line.replace(/\s+/g, ' ').trim())
      .filter((line) => /\p{L}/u.test(line));
}

// The entries of a fortune file (separated by lines of '%'), each joined into
// one line; terminal escape sequences are dropped.
function fortuneEntries(source) {
  return source.replace(/\x1b\[[0-9;]*[A-Za-z]/g, '').split(/^%\s*$/m)
      .map((entry) => entry.replace(/\s+/g, ' ').trim())
      .filter((entry) => /\p{L}/u.test(entry));
}

function fileLines(file, kind) {
  let raw = fs.readFileSync(file);
  if (file.endsWith('.gz')) raw = zlib.gunzipSync(raw);
  if (file.endsWith('.mo')) return catalogMessages(raw);
  const text = decodeUtf8(raw);
  if (text === null) return [];
  if (kind === 'fortune') return fortuneEntries(text);
  if (/\.html?$/.test(file)) return htmlParagraphs(text);
  return manualParagraphs(text);
}

function sourceLines(source, seen) {
  const lines = [];
  let bytes = 0;
  for (const file of packageFiles(source.packages)) {
    if (!source.match.test(file) || !fs.existsSync(file)) continue;
    if (!fs.statSync(file).isFile()) continue;
    for (const line of fileLines(file, source.kind)) {
      if (source.filter && !source.filter(line)) continue;
      if (seen) {
        if (seen.has(line)) continue;
        seen.add(line);
      }
      lines.push(line);
      bytes += Buffer.byteLength(line) + 1;
      if (bytes >= source.budget) return {lines, bytes};
    }
  }
  return {lines, bytes};
}

function build(sources, outPath, {distinct = false} = {}) {
  const all = [];
  const missing = [];
  const seen = distinct ? new Set() : null;
  for (const source of sources) {
    const {lines, bytes} = sourceLines(source, seen);
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
    ...build(kVariedEnglish, path.join(dir, 'varied_english.txt'),
             {distinct: true}),
    ...build(kCjk, path.join(dir, 'cjk.txt'), {distinct: true}),
  ];
  if (missing.length > 0) {
    console.error('bench_texts.js: no installed source for ' +
                  missing.join(', '));
    process.exit(3);
  }
}

main();
