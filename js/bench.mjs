// Benchmark rows of the npm package in Node, one thread: encode throughput of
// korvel (wasm) against @huggingface/tokenizers (pure JavaScript) and native
// korvel, per line and in 1 MB blocks, with the ids of the two JavaScript
// tokenizers compared; model load times; the package's gzip sizes; tiktoken's
// wasm build and gpt-tokenizer (their own vocabularies) as reference rows.
//
// wasm against native korvel compares CPU time, which a loaded machine
// inflates less than wall time, over 8 rounds of the lines (the clocks count
// in ticks): this process's for `encode`, and for native korvel that of
// `korvel encode --threads=1` on the lines written 8 times, minus the same
// command on an empty file (process start and model load). The native figure keeps reading the lines and printing
// the ids to /dev/null, which wasm does not do: it counts against native.
// Children's CPU time comes from /proc/self/stat in clock ticks (Linux).
// Runs of the two alternate and each keeps its best. tools/bench.sh runs it:
//   node js/bench.mjs <texts dir> <peers node_modules> <korvel command>
//        <work dir> name=<lite model>,<tokenizer.json> ...
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { gzipSync } from 'node:zlib';

import { Tokenizer } from './dist/korvel.mjs';

const [textsDir, peers, korvel, work, ...modelArgs] = process.argv.slice(2);
const need = createRequire(join(resolve(peers), 'x.js'));
const { Tokenizer: HfTokenizer } = await import(pathToFileURL(
  join(resolve(peers), '@huggingface/tokenizers/dist/tokenizers.mjs')));
const mib = Number(process.env.KORVEL_JS_BENCH_MIB || 2);

// The first `mib` MiB of a text, as lines and as 1 MB blocks of lines.
function units(name) {
  const text = readFileSync(join(textsDir, `${name}.txt`), 'utf8');
  const lines = [];
  let bytes = 0;
  for (const line of text.split('\n')) {
    if (bytes >= mib * 1048576) break;
    lines.push(line);
    bytes += Buffer.byteLength(line) + 1;
  }
  const blocks = [];
  for (let i = 0, size = 0; i < lines.length; ++i) {
    if (size === 0) blocks.push([]);
    blocks[blocks.length - 1].push(lines[i]);
    size += Buffer.byteLength(lines[i]) + 1;
    if (size >= 1e6) size = 0;
  }
  return { bytes, line: lines, block: blocks.map((b) => b.join(' ')) };
}

function time(run) {
  const begin = process.hrtime.bigint();
  run();
  return Number(process.hrtime.bigint() - begin) / 1e9;
}

function seconds(run, passes = 2) {
  let best = Infinity;
  for (let i = 0; i < passes; ++i) best = Math.min(best, time(run));
  return best;
}

// seconds() of a function answering a promise.
async function secondsAsync(run, passes = 2) {
  let best = Infinity;
  for (let i = 0; i < passes; ++i) {
    const begin = process.hrtime.bigint();
    await run();
    best = Math.min(best, Number(process.hrtime.bigint() - begin) / 1e9);
  }
  return best;
}

const ticks = Number(execFileSync('getconf', ['CLK_TCK']).toString());
const ownCpu = () => {
  const { user, system } = process.cpuUsage();
  return (user + system) / 1e6;
};
const childrenCpu = () => {
  const fields = readFileSync('/proc/self/stat', 'utf8').split(') ')[1]
    .split(' ');
  return (Number(fields[13]) + Number(fields[14])) / ticks;
};
const cpuOf = (clock, run) => {
  const begin = clock();
  run();
  return clock() - begin;
};
const repeat = 8;

// The best CPU times of `encode` (wasm) and of native korvel on the lines
// in `file`, written `repeat` times, per round (see the top of the file).
function wasmAndNative(encode, lite, file, empty, passes = 3) {
  const native = (input) => cpuOf(childrenCpu, () => execFileSync(korvel,
    ['encode', '--threads=1', `--model=${lite}`, input], { stdio: 'ignore' }));
  let [wasm, full, none] = [Infinity, Infinity, Infinity];
  for (let i = 0; i < passes; ++i) {
    wasm = Math.min(wasm, cpuOf(ownCpu, () => {
      for (let r = 0; r < repeat; ++r) encode();
    }));
    none = Math.min(none, native(empty));
    full = Math.min(full, native(file));
  }
  return [wasm / repeat, (full - none) / repeat];
}

const mbs = (bytes, s) => (bytes / 1e6 / s).toFixed(1);
const rows = ['| model | text | unit | korvel wasm MB/s | @huggingface/tokenizers MB/s | wasm / HF | wasm MB/s, CPU time | native MB/s, CPU time | wasm / native CPU time | lines with different ids |',
  '|---|---|---|---|---|---|---|---|---|---|'];
// The importer module's load, once: fromTokenizerJson's first call pays it.
const importerLoad = await secondsAsync(() => import('./dist/korvel-import.mjs'), 1);
const ratios = [];
const loads = [];
const empty = join(work, 'js_bench.empty.txt');
writeFileSync(empty, '');
for (const arg of modelArgs) {
  const [name, paths] = arg.split('=');
  const [lite, json] = paths.split(',');
  const bytes = readFileSync(lite);
  const config = JSON.parse(readFileSync(join(json, '../tokenizer_config.json')));
  const tokenizerJson = JSON.parse(readFileSync(json, 'utf8'));
  const load = seconds(() => Tokenizer.fromBytes(bytes).free(), 5);
  const jsonBytes = readFileSync(json);
  const imported = await secondsAsync(
    async () => (await Tokenizer.fromTokenizerJson(jsonBytes)).free());
  const hfLoad = seconds(() => new HfTokenizer(tokenizerJson, config), 2);
  loads.push(`| ${name} | ${(load * 1e3).toFixed(2)} ms | ${(imported * 1e3).toFixed(0)} ms | ${(hfLoad * 1e3).toFixed(0)} ms |`);
  const tok = Tokenizer.fromBytes(bytes);
  const hf = new HfTokenizer(tokenizerJson, config);
  for (const text of ['english', 'multilingual']) {
    const u = units(text);
    for (const unit of ['line', 'block']) {
      const inputs = u[unit];
      const peer = seconds(() => inputs.forEach(
        (t) => hf.encode(t, { add_special_tokens: false })), 1);
      let different = 0;
      if (unit === 'line') {
        for (const t of inputs) {
          const a = tok.encode(t);
          const b = hf.encode(t, { add_special_tokens: false }).ids;
          if (a.length !== b.length || a.some((id, i) => id !== b[i])) ++different;
        }
      }
      const file = join(work, `js_bench.${unit}.txt`);
      writeFileSync(file, (inputs.join('\n') + '\n').repeat(repeat));
      const encodeAll = () => inputs.forEach((t) => tok.encode(t));
      const wasm = seconds(encodeAll);
      const [wasmCpu, nativeCpu] = wasmAndNative(encodeAll, lite, file, empty);
      ratios.push(wasmCpu / nativeCpu);
      rows.push(`| ${name} | ${text} | ${unit === 'line' ? 'line' : '1 MB block'} | ${mbs(u.bytes, wasm)} | ${mbs(u.bytes, peer)} | ${(peer / wasm).toFixed(1)}× | ${mbs(u.bytes, wasmCpu)} | ${mbs(u.bytes, nativeCpu)} | ${(wasmCpu / nativeCpu).toFixed(2)}× | ${unit === 'line' ? `${different} of ${inputs.length}` : '–'} |`);
    }
  }
  tok.free();
}

// Reference rows: other vocabularies, the same texts per line.
const { get_encoding } = need('@dqbd/tiktoken');
const gpt = need('gpt-tokenizer');
const reference = ['| reference (own vocabulary) | text | MB/s per line |', '|---|---|---|'];
const tiktoken = get_encoding('cl100k_base');
for (const text of ['english', 'multilingual']) {
  const u = units(text);
  reference.push(`| tiktoken wasm, cl100k_base | ${text} | ${mbs(u.bytes, seconds(() => u.line.forEach((t) => tiktoken.encode(t))))} |`);
  reference.push(`| gpt-tokenizer, o200k_base | ${text} | ${mbs(u.bytes, seconds(() => u.line.forEach((t) => gpt.encode(t))))} |`);
}
tiktoken.free();

const dist = new URL('./dist/', import.meta.url);
const tarball = execFileSync('npm', ['pack', '--dry-run', '--json'],
  { cwd: new URL('.', import.meta.url) }).toString();
const packed = JSON.parse(tarball)[0];
console.log(`Texts: the first ${mib} MiB of each benchmark text; MB/s of UTF-8 input, best of runs.\n`);
console.log(rows.join('\n'));
console.log(`\nwasm / native CPU time: ${Math.min(...ratios).toFixed(2)}–${Math.max(...ratios).toFixed(2)}×`);
console.log('\n| model | korvel fromBytes | korvel fromTokenizerJson | @huggingface/tokenizers constructor |\n|---|---|---|---|');
console.log(loads.join('\n'));
const gzipKb = (file) =>
  (gzipSync(readFileSync(new URL(file, dist)), { level: 9 }).length / 1024).toFixed(0);
console.log(`\nThe importer module loads in ${(importerLoad * 1e3).toFixed(0)} ms (once, on the first fromTokenizerJson).`);
console.log(`\nPackage: npm tarball ${(packed.size / 1024).toFixed(0)} KB (gzip), unpacked ${(packed.unpackedSize / 1024).toFixed(0)} KB; gzip -9 alone: the core korvel.mjs ${gzipKb('korvel.mjs')} KB, korvel.cjs ${gzipKb('korvel.cjs')} KB, the importer korvel-import.mjs ${gzipKb('korvel-import.mjs')} KB.\n`);
console.log(reference.join('\n'));
