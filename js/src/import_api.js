// The importer module's API, which the core's Tokenizer.fromTokenizerJson
// loads on first use. js/build.sh places this file after the importer's
// loader, its wasm bytes and load.js in dist/korvel-import.mjs, which both
// the ES and the CommonJS entries import().
//
// importTokenizerJson(bytes) takes the UTF-8 bytes of a tokenizer.json and
// answers { model, warnings } with the lite model's bytes, or { error,
// warnings } with the importer's message. The importer's instance keeps the
// memory that parsing grew, which wasm never gives back.

function makeImporter(core) {
  const decoder = new TextDecoder('utf-8');
  const part = (which) => {
    const pointer = core._korvel_import_data(which);
    return new Uint8Array(core.memory.buffer, pointer,
      core._korvel_import_size(which));
  };
  return function importTokenizerJson(bytes) {
    const buffer = core._korvel_import_buffer(bytes.length);
    new Uint8Array(core.memory.buffer).set(bytes,
      core._korvel_import_buffer_data(buffer));
    const code = core._korvel_import(buffer);
    const warnings = decoder.decode(part(1)).split('\n').filter(Boolean);
    if (code !== 0) return { error: decoder.decode(part(0)), warnings };
    const model = part(2).slice();
    core._korvel_import_clear();
    return { model, warnings };
  };
}
