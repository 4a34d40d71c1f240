// The tokenizer page: opens a lite model or a tokenizer.json from a file
// picker and shows the tokens of the text as it is typed. Everything runs in
// the browser; the page loads nothing but its own files.
import { Tokenizer } from '../dist/korvel.mjs';

const $ = (id) => document.getElementById(id);
let tokenizer = null;

function setStatus(element, message, isError) {
  element.textContent = message;
  element.classList.toggle('error', Boolean(isError));
}

// The pieces' own text shows where an id covers no text (BOS, EOS, the
// continuation bytes of a character).
function tokenSpan(text, id, index) {
  const span = document.createElement('span');
  span.className = `token c${index % 6}`;
  if (text === '') {
    span.classList.add('empty');
    text = tokenizer.idToPiece(id);
  }
  span.append(text);
  const label = document.createElement('sub');
  label.textContent = String(id);
  span.append(label);
  return span;
}

function render() {
  const text = $('text').value;
  const tokens = $('tokens');
  tokens.replaceChildren();
  if (!tokenizer) return;
  let encoded;
  try {
    encoded = tokenizer.encodeWithOffsets(text, {
      addBos: $('add-bos').checked,
      addEos: $('add-eos').checked,
      parseSpecial: $('parse-special').checked,
    });
  } catch (error) {
    setStatus(tokens, error.message, true);
    return;
  }
  const { ids, offsets } = encoded;
  const fragment = document.createDocumentFragment();
  let covered = 0;
  ids.forEach((id, i) => {
    const [begin, end] = offsets[i];
    if (begin > covered) fragment.append(text.slice(covered, begin));
    fragment.append(tokenSpan(text.slice(begin, end), id, i));
    covered = Math.max(covered, end);
  });
  if (covered < text.length) fragment.append(text.slice(covered));
  tokens.append(fragment);
  const characters = [...text].length;
  $('count').textContent = String(ids.length);
  $('chars').textContent = String(characters);
  $('chars-per-token').textContent =
    ids.length ? (characters / ids.length).toFixed(2) : '–';
  $('ids').textContent = ids.join(' ');
  tokens.dataset.ids = $('ids').textContent;
}

function decodePasted() {
  const output = $('decode-output');
  const words = $('decode-input').value.split(/[\s,\[\]]+/).filter(Boolean);
  if (!tokenizer || words.length === 0) {
    setStatus(output, '', false);
    return;
  }
  const ids = words.map(Number);
  const bad = words.find((word, i) => !Number.isInteger(ids[i]) || ids[i] < 0);
  try {
    if (bad !== undefined) throw new Error(`"${bad}" is not an id`);
    setStatus(output, tokenizer.decode(ids), false);
  } catch (error) {
    setStatus(output, error.message, true);
  }
}

// A lite model, or a tokenizer.json (a file starting with "{") imported here.
async function openModel(file) {
  try {
    const bytes = new Uint8Array(await file.arrayBuffer());
    const json = /^\s*\{/.test(new TextDecoder().decode(bytes.subarray(0, 64)));
    const opened = json ? await Tokenizer.fromTokenizerJson(bytes)
      : Tokenizer.fromBytes(bytes);
    if (tokenizer) tokenizer.free();
    tokenizer = opened;
    const warnings = tokenizer.warnings.length;
    setStatus($('model-status'), `${file.name}: ${tokenizer.vocabSize} pieces` +
      (warnings ? ` (${warnings} import warnings in the console)` : ''), false);
    tokenizer.warnings.forEach((warning) => console.warn(warning));
  } catch (error) {
    setStatus($('model-status'), error.message, true);
  }
  render();
  decodePasted();
}

$('model-file').addEventListener('change', (event) => {
  if (event.target.files.length) openModel(event.target.files[0]);
});
for (const id of ['text', 'add-bos', 'add-eos', 'parse-special']) {
  $(id).addEventListener('input', render);
}
$('show-ids').addEventListener('input', () => {
  $('ids').hidden = !$('show-ids').checked;
  $('tokens').hidden = $('show-ids').checked;
});
$('decode-input').addEventListener('input', decodePasted);
document.body.dataset.ready = 'true';
