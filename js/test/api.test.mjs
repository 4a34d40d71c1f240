// The package against the native `korvel encode` (its JSON output, written
// by js/test.sh into KORVEL_JS_DATA), plus properties and bad inputs.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import * as korvel from '../dist/korvel.mjs';

const { Tokenizer, ModelError, IdOutOfRangeError, TextError } = korvel;
const data = process.env.KORVEL_JS_DATA;
assert.ok(data, 'KORVEL_JS_DATA must name the directory js/test.sh fills');
const models = ['tiny', 'llama2', 'gemma3', 'llama3', 'gpt4o'];
// Imported in wasm, from the text (Llama-3) or the bytes of tokenizer.json.
const imported = ['llama2', 'llama3', 'gpt4o'];
const json = (m) => readFileSync(join(data, `${m}.tokenizer.json`),
  m === 'llama3' ? 'utf8' : undefined);
const tokenizers = Object.fromEntries([
  ...models.map((m) => [m, Tokenizer.fromFile(join(data, `${m}.lite`))]),
  ...await Promise.all(imported.map(async (m) =>
    [`${m} json`, await Tokenizer.fromTokenizerJson(json(m))]))]);

const lines = (name) => readFileSync(join(data, `${name}.txt`), 'utf8')
  .replace(/\n$/, '').split('\n');
const reference = (model, name) =>
  readFileSync(join(data, `${model}.${name}.json`), 'utf8').trim().split('\n')
    .map((line) => JSON.parse(line));

// The UTF-16 position of UTF-8 byte position `byte` of `text`.
const utf16 = (text, byte) =>
  Buffer.from(text).subarray(0, byte).toString('utf8').length;

const cases = Object.keys(tokenizers).flatMap((model) => [
  [model, 'sample', {}],
  [model, 'generated', {}],
  [model, 'special', { addBos: tokenizers[model].bosId >= 0, addEos: true,
    parseSpecial: true }],
]);

for (const [model, name, options] of cases) {
  test(`${model} ${name}: ids and offsets equal korvel encode`, () => {
    const tok = tokenizers[model];
    const texts = lines(name === 'special' ? 'sample' : name);
    const expected = reference(model.split(' ')[0], name);
    assert.equal(texts.length, expected.length);
    texts.forEach((text, i) => {
      const { ids, offsets } = tok.encodeWithOffsets(text, options);
      assert.deepEqual([...tok.encode(text, options)], expected[i].ids,
        `line ${i + 1}`);
      assert.deepEqual([...ids], expected[i].ids, `line ${i + 1}`);
      assert.deepEqual(offsets, expected[i].offsets.map(
        ([b, e]) => [utf16(text, b), utf16(text, e)]), `line ${i + 1}`);
    });
    assert.deepEqual(tok.encodeBatch(texts, options).map((ids) => [...ids]),
      expected.map((e) => e.ids));
  });
}

test('offsets cut the text into the pieces', () => {
  const tok = tokenizers.llama2;
  for (const text of lines('sample')) {
    const { ids, offsets } = tok.encodeWithOffsets(text);
    let previous = 0;
    ids.forEach((id, i) => {
      const [begin, end] = offsets[i];
      assert.ok(previous <= begin && begin <= end && end <= text.length);
      previous = end;
      const piece = tok.idToPiece(id);
      if (/^<0x[0-9A-F]{2}>$/.test(piece)) return;
      // The model reads "▁" in the text as a space; the first piece may
      // carry the dummy prefix the text lacks.
      const cut = text.slice(begin, end).replace(/ /g, '\u2581');
      assert.ok(piece === cut || (i === 0 && piece === '\u2581' + cut),
        `${piece} vs ${cut}`);
    });
  }
});

// Deterministic pseudo-random ids, byte pieces favoured so that characters
// split across steps.
function* randomIds(vocabSize, count, seed) {
  let state = seed;
  for (let i = 0; i < count; ++i) {
    state = (state * 1103515245 + 12345) >>> 0;
    yield (state % 3 === 0 ? 3 + (state >>> 8) % 256 : state >>> 4) % vocabSize;
  }
}

test('stream steps and finish join to decode', () => {
  for (const model of models) {
    const tok = tokenizers[model];
    const sequences = lines('generated').slice(0, 100).map((t) => tok.encode(t));
    for (let seed = 1; seed <= 100; ++seed) {
      sequences.push([...randomIds(tok.vocabSize, seed % 20, seed)]);
    }
    const stream = tok.decodeStream();
    for (const ids of sequences) {
      let text = '';
      for (const id of ids) text += stream.step(id);
      assert.equal(text + stream.finish(), tok.decode(ids), `${model} ${ids}`);
    }
    stream.free();
  }
});

test('decode inverts encode and normalize matches the command', () => {
  const tok = tokenizers.llama2;
  for (const text of lines('sample')) {
    assert.equal(tok.decode(tok.encode(text)), text.replace(/\u2581/g, ' '));
  }
  const cli = execFileSync(process.env.KORVEL_CLI,
    ['normalize', `--model=${join(data, 'llama2.lite')}`],
    { input: 'Grüße  aus\tMünchen\n' }).toString();
  assert.equal(tok.normalize('Grüße  aus\tMünchen') + '\n', cli);
  assert.equal(tok.pieceToId(tok.idToPiece(1000)), 1000);
  assert.equal(tok.pieceToId('no such piece here'), tok.unkId);
  assert.deepEqual([tok.vocabSize, tok.bosId, tok.eosId], [32000, 1, 2]);
});

test('fromTokenizerJson warns as korvel import does', () => {
  for (const model of imported) {
    const cli = readFileSync(join(data, `${model}.warnings`), 'utf8')
      .split('\n').filter(Boolean)
      .map((line) => line.replace(/^korvel import: warning: .*?\.json: /, ''));
    assert.deepEqual(tokenizers[`${model} json`].warnings, cli, model);
  }
  assert.ok(tokenizers['gpt4o json'].warnings.length > 0);
  assert.deepEqual(tokenizers.gpt4o.warnings, []);
});

test('bad inputs get defined errors', async () => {
  const tok = tokenizers.llama2;
  // Llama-3 with a split pattern of no known family, which needs PCRE2.
  const custom = JSON.parse(json('llama3'));
  custom.pre_tokenizer.pretokenizers[0].pattern.Regex = '\\p{L}+|\\s+|.';
  const lite = readFileSync(join(data, 'llama2.lite'));
  const full = readFileSync(join(data, 'llama2.full'));
  const stream = tok.decodeStream();
  const grusse = tok.encode('Grüße');
  let streamed = stream.step(grusse[0]);
  const table = [
    [() => Tokenizer.fromBytes(new Uint8Array()), ModelError, /empty/],
    [() => Tokenizer.fromBytes(new Uint8Array(64).fill(7)), ModelError,
      /not a korvel lite model/],
    [() => Tokenizer.fromBytes(full), ModelError, /korvel convert/],
    [() => Tokenizer.fromBytes(lite.subarray(0, lite.length >> 1)), ModelError,
      /model bytes: /],
    [() => Tokenizer.fromBytes('bytes'), TypeError, /Uint8Array/],
    [() => Tokenizer.fromFile(join(data, 'missing.lite')), Error, /ENOENT/],
    [() => Tokenizer.fromFile(join(data, 'sample.txt')), ModelError,
      /sample\.txt: not a korvel lite model/],
    [() => tok.decode([32000]), IdOutOfRangeError,
      /^id 32000 is outside the vocabulary \(ids 0 to 31999\)$/],
    [() => tok.decode([5, -1]), IdOutOfRangeError, /id -1 /],
    [() => tok.decode([2 ** 31]), IdOutOfRangeError, /id 2147483648 /],
    [() => tok.decode([1.5]), TypeError, /not an integer/],
    [() => tok.decode(7), TypeError, /array of integers/],
    [() => tok.idToPiece(-3), IdOutOfRangeError, /id -3 /],
    [() => stream.step(99999), IdOutOfRangeError, /id 99999 /],
    [() => tok.encode('\uD800'), TextError, /lone surrogate at index 0/],
    [() => tok.encode('ab\uDC00'), TextError, /at index 2/],
    [() => tok.encode('\uDE00\uD83D'), TextError, /at index 0/],
    [() => tok.encodeWithOffsets('x\uD83D'), TextError, /at index 1/],
    [() => tok.normalize('\uDFFF'), TextError, /lone surrogate/],
    [() => tok.pieceToId('\uD800'), TextError, /piece has a lone/],
    [() => tok.encode(42), TypeError, /must be a string/],
  ];
  // fromTokenizerJson rejects its promise instead of throwing.
  const rejected = [
    ['{"model": {"type": "WordPiece"}}', ModelError,
      /^tokenizer\.json: .*WordPiece/],
    [new Uint8Array([0x7b]), ModelError, /^tokenizer\.json: /],
    [JSON.stringify(custom), ModelError, /PCRE2/],
    ['{"a": "\uD800"}', TextError,
      /tokenizer\.json has a lone surrogate at index 7/],
    [42, TypeError, /a string, a Uint8/],
  ];
  for (const [call, errorClass, message] of table) {
    assert.throws(call, (error) => error instanceof errorClass &&
      message.test(error.message), String(call));
  }
  for (const [input, errorClass, message] of rejected) {
    const promise = Tokenizer.fromTokenizerJson(input);
    assert.ok(promise instanceof Promise);
    await assert.rejects(promise, (error) => error instanceof errorClass &&
      message.test(error.message), String(input).slice(0, 40));
  }
  // The failed step left the stream as it was.
  for (const id of grusse.subarray(1)) streamed += stream.step(id);
  assert.equal(streamed + stream.finish(), 'Grüße');
  assert.deepEqual([...tok.encode('\uD83D\uDE00')], [...tok.encode('😀')]);
});

test('free is final and frees the streams', () => {
  const tok = Tokenizer.fromFile(join(data, 'tiny.lite'));
  const stream = tok.decodeStream();
  tok.free();
  tok.free();
  for (const call of [() => tok.encode('a'), () => tok.vocabSize,
    () => stream.step(0), () => tok.decodeStream()]) {
    assert.throws(call, /has been freed/);
  }
});

test('memory does not grow over 100,000 create/free cycles', () => {
  const bytes = readFileSync(join(data, 'tiny.lite'));
  const cycle = () => {
    const tok = Tokenizer.fromBytes(bytes);
    tok.decodeStream().step(tok.encode('a b')[0]);
    tok.free();
  };
  for (let i = 0; i < 1000; ++i) cycle();
  const before = korvel.wasmMemoryBytes();
  for (let i = 0; i < 100000; ++i) cycle();
  assert.equal(korvel.wasmMemoryBytes(), before);
});

test('npm pack installs into an empty folder and runs offline', () => {
  const dir = mkdtempSync(join(tmpdir(), 'korvel-pack-'));
  try {
    const js = new URL('..', import.meta.url).pathname;
    const tarball = execFileSync('npm', ['pack', '--silent', '--pack-destination',
      dir], { cwd: js }).toString().trim().split('\n').pop();
    execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund',
      '--prefix', dir, join(dir, tarball)], { stdio: 'ignore' });
    const model = join(data, 'llama2.lite');
    // Both entries, and the importer through CommonJS.
    const script = `const { Tokenizer } = require('korvel');
      const tok = Tokenizer.fromFile(${JSON.stringify(model)});
      const json = require('fs').readFileSync(${JSON.stringify(
        join(data, 'llama2.tokenizer.json'))});
      Promise.all([import('korvel'), Tokenizer.fromTokenizerJson(json)])
        .then(([m, imported]) => {
          const other = m.Tokenizer.fromFile(${JSON.stringify(model)});
          console.log([tok, other, imported].map(
            (t) => t.encode('Hello world').join(' ')).join(' '));
        });`;
    writeFileSync(join(dir, 'run.cjs'), script);
    const out = execFileSync('node', ['run.cjs'], { cwd: dir }).toString();
    assert.equal(out.trim(), '22557 1526 22557 1526 22557 1526');
    const pkg = createRequire(join(dir, 'x.js'))('korvel/package.json');
    assert.ok(readFileSync(join(dir, 'node_modules/korvel', pkg.types)).length);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
