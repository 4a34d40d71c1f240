// The package's API over the wasm core. js/build.sh places this file after
// emscripten's loader (createKorvelModule), the wasm bytes (WASM_BASE64) and
// load.js in both the ES module and the CommonJS module. `loadImporter`
// answers a promise of the importer module's importTokenizerJson (see
// import_api.js), which only fromTokenizerJson asks for.
//
// Strings cross into wasm as UTF-8. A JavaScript string can hold a lone
// surrogate (a code unit in U+D800..U+DFFF outside a high-low pair), which
// has no UTF-8 form: every call taking text refuses such a string with a
// TextError naming the index, instead of replacing it with U+FFFD and
// returning ids for a different text. Text coming out (decode, normalize,
// idToPiece) replaces byte sequences that are not UTF-8 (possible with byte
// pieces) by U+FFFD, as TextDecoder does.

function makeApi(core, readFile, loadImporter) {
  const encoder = new TextEncoder();
  const decoder = new TextDecoder('utf-8');
  const loneSurrogate =
    /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;
  const codeNames = {
    3: 'InvalidArgument', 8: 'ResourceExhausted', 9: 'FailedPrecondition',
    11: 'OutOfRange', 13: 'Internal',
  };

  class KorvelError extends Error {
    constructor(message, code = 'Unknown') {
      super(message);
      this.name = new.target.name;
      this.code = code;
    }
  }
  // Bytes that are not a loadable lite model.
  class ModelError extends KorvelError {}
  // An id outside the vocabulary.
  class IdOutOfRangeError extends KorvelError {}
  // A string with a lone surrogate.
  class TextError extends KorvelError {}

  // Reusable wasm buffers for the input text and ids: calls allocate only
  // when an input is larger than any before.
  const scratch = { text: [0, 0], ids: [0, 0] };
  function reserve(name, bytes) {
    const slot = scratch[name];
    if (bytes <= slot[1]) return slot[0];
    if (slot[0]) core._free(slot[0]);
    const size = Math.max(bytes, 1024);
    const pointer = core._malloc(size);
    if (!pointer) {
      scratch[name] = [0, 0];
      throw new KorvelError('out of wasm memory', 'ResourceExhausted');
    }
    scratch[name] = [pointer, size];
    return pointer;
  }
  const heap = () => new Uint8Array(core.memory.buffer);

  // String.prototype.isWellFormed (Node 20 and current browsers) answers
  // several times faster than the regular expression, which then only finds
  // the index.
  const isWellFormed = typeof ''.isWellFormed === 'function'
    ? (text) => text.isWellFormed()
    : (text) => !loneSurrogate.test(text);

  function checkText(text, what) {
    if (typeof text !== 'string') throw new TypeError(`${what} must be a string`);
    if (isWellFormed(text)) return;
    const lone = loneSurrogate.exec(text);
    throw new TextError(`${what} has a lone surrogate at index ${lone.index}`,
      'InvalidArgument');
  }

  // Writes `text` as UTF-8 into the text buffer; answers its size.
  function writeText(text, what = 'text') {
    checkText(text, what);
    const capacity = text.length * 3;
    const pointer = reserve('text', capacity);
    return encoder.encodeInto(text, heap().subarray(pointer, pointer + capacity))
      .written;
  }

  function checkId(id, vocabSize) {
    if (!Number.isInteger(id)) throw new TypeError(`id ${id} is not an integer`);
    if (id > 0x7fffffff) {
      throw new IdOutOfRangeError(
        `id ${id} is outside the vocabulary (ids 0 to ${vocabSize - 1})`,
        'OutOfRange');
    }
    return id;
  }

  const resultPart = (part) => [core._korvel_result_data(part),
    core._korvel_result_size(part)];
  function resultText(part = 1) {
    const [pointer, size] = resultPart(part);
    return decoder.decode(heap().subarray(pointer, pointer + size));
  }
  function resultUint32(part) {
    const [pointer, size] = resultPart(part);
    return new Uint32Array(core.memory.buffer, pointer, size).slice();
  }
  // Throws the error in the result when `code` is not 0.
  function check(code, ErrorClass = KorvelError) {
    if (code === 0) return;
    const message = resultText(0);
    if (code === 11) throw new IdOutOfRangeError(message, 'OutOfRange');
    throw new ErrorClass(message, codeNames[code] || `Code${code}`);
  }

  // Frees what the garbage collector found unreachable without free().
  const finalizer = new FinalizationRegistry((held) => held.free());

  // The native side of a Tokenizer: the pointer and its open streams, freed
  // together.
  class Handle {
    constructor(pointer) {
      this.pointer = pointer;
      this.streams = new Set();
    }
    free() {
      for (const stream of this.streams) stream.free();
      this.streams.clear();
      if (this.pointer) core._korvel_free(this.pointer);
      this.pointer = 0;
    }
  }

  class StreamHandle {
    constructor(pointer, owner) {
      this.pointer = pointer;
      this.owner = owner;
    }
    free() {
      if (this.pointer) core._korvel_stream_free(this.pointer);
      this.pointer = 0;
      this.owner.streams.delete(this);
    }
  }

  const optionFlags = (options = {}) => (options.addBos ? 1 : 0) |
    (options.addEos ? 2 : 0) | (options.parseSpecial ? 4 : 0);

  // A copy of `bytes` in a wasm buffer of korvel_model_buffer.
  function modelBuffer(bytes, method) {
    if (bytes instanceof ArrayBuffer) bytes = new Uint8Array(bytes);
    if (!(bytes instanceof Uint8Array)) {
      throw new TypeError(`${method} takes a Uint8Array or an ArrayBuffer`);
    }
    const buffer = core._korvel_model_buffer(bytes.length);
    heap().set(bytes, core._korvel_model_buffer_data(buffer));
    return buffer;
  }

  function openModel(bytes, method, warnings) {
    const pointer = core._korvel_from_buffer(modelBuffer(bytes, method));
    if (!pointer) check(3, ModelError);
    return new Tokenizer(new Handle(pointer), warnings);
  }
  // The importer's promise, kept once it has loaded.
  let importer = null;

  // A lite model loaded into wasm memory. Methods may be called until free();
  // after it they throw. A Tokenizer left unreachable without free() is freed
  // by the garbage collector eventually, which bounds nothing: call free().
  class Tokenizer {
    constructor(handle, warnings = []) {
      this._handle = handle;
      // What the importer reported about texts that encode differently from
      // the original tokenizer; empty for a lite model.
      this.warnings = Object.freeze(warnings);
      finalizer.register(this, handle, handle);
    }

    // Copies the bytes of a lite model once into wasm memory; the model is
    // used there in place.
    static fromBytes(bytes) {
      return openModel(bytes, 'fromBytes');
    }

    // Imports a Hugging Face tokenizer.json (its text, or its UTF-8 bytes)
    // as `korvel import` and `korvel convert` do, in the importer module,
    // which the first call loads; answers a promise.
    static async fromTokenizerJson(json) {
      if (typeof json === 'string') {
        checkText(json, 'tokenizer.json');
        json = encoder.encode(json);
      }
      if (json instanceof ArrayBuffer) json = new Uint8Array(json);
      if (!(json instanceof Uint8Array)) {
        throw new TypeError(
          'fromTokenizerJson takes a string, a Uint8Array or an ArrayBuffer');
      }
      importer ||= loadImporter().catch((error) => {
        importer = null;
        throw error;
      });
      const { model, error, warnings } = (await importer)(json);
      if (error !== undefined) {
        throw new ModelError(`tokenizer.json: ${error}`, 'InvalidArgument');
      }
      try {
        return openModel(model, 'fromTokenizerJson', warnings);
      } catch (error) {
        if (error instanceof ModelError) {
          error.message = error.message.replace(/^model bytes/, 'tokenizer.json');
        }
        throw error;
      }
    }

    // Node only: reads the lite model file at `path`.
    static fromFile(path) {
      if (!readFile) throw new KorvelError('fromFile needs Node.js; use fromBytes');
      try {
        return Tokenizer.fromBytes(readFile(path));
      } catch (error) {
        if (error instanceof ModelError) {
          error.message = error.message.replace(/^model bytes/, String(path));
        }
        throw error;
      }
    }

    get _pointer() {
      const pointer = this._handle.pointer;
      if (!pointer) throw new KorvelError('the tokenizer has been freed');
      return pointer;
    }

    get vocabSize() { return core._korvel_fact(this._pointer, 0); }
    get unkId() { return core._korvel_fact(this._pointer, 1); }
    get bosId() { return core._korvel_fact(this._pointer, 2); }
    get eosId() { return core._korvel_fact(this._pointer, 3); }
    get padId() { return core._korvel_fact(this._pointer, 4); }

    _encode(text, flags) {
      const pointer = this._pointer;
      const size = writeText(text);
      check(core._korvel_encode(pointer, scratch.text[0], size, flags));
    }

    encode(text, options) {
      this._encode(text, optionFlags(options));
      return resultUint32(2);
    }

    // Ids with [begin, end) ranges of UTF-16 code units: text.slice(begin,
    // end) is the text an id stands for.
    encodeWithOffsets(text, options) {
      this._encode(text, optionFlags(options) | 8);
      const ids = resultUint32(2);
      const flat = resultUint32(3);
      const offsets = new Array(ids.length);
      for (let i = 0; i < ids.length; ++i) {
        offsets[i] = [flat[2 * i], flat[2 * i + 1]];
      }
      return { ids, offsets };
    }

    encodeBatch(texts, options) {
      return Array.from(texts, (text) => this.encode(text, options));
    }

    decode(ids) {
      const pointer = this._pointer;
      if (ids == null || typeof ids.length !== 'number') {
        throw new TypeError('ids must be an array of integers');
      }
      const count = ids.length >>> 0;
      const base = reserve('ids', count * 4) >>> 2;
      const vocabSize = this.vocabSize;
      const view = new Int32Array(core.memory.buffer);
      for (let i = 0; i < count; ++i) view[base + i] = checkId(ids[i], vocabSize);
      check(core._korvel_decode(pointer, base * 4, count));
      return resultText();
    }

    normalize(text) {
      const pointer = this._pointer;
      const size = writeText(text);
      check(core._korvel_normalize(pointer, scratch.text[0], size));
      return resultText();
    }

    idToPiece(id) {
      const pointer = this._pointer;
      check(core._korvel_id_to_piece(pointer, checkId(id, this.vocabSize)));
      return resultText();
    }

    // The id of the piece, or the unknown id when the model has no such piece.
    pieceToId(piece) {
      const pointer = this._pointer;
      const size = writeText(piece, 'piece');
      return core._korvel_piece_to_id(pointer, scratch.text[0], size);
    }

    decodeStream() {
      const pointer = this._pointer;
      return new DecodeStream(this, new StreamHandle(
        core._korvel_stream_new(pointer), this._handle));
    }

    // Frees the model and the streams opened on it; later calls throw.
    free() {
      finalizer.unregister(this._handle);
      this._handle.free();
    }
  }

  // Decodes ids one at a time: step() returns the text that has become final
  // (never part of a character), finish() the rest, and all of them joined
  // equal decode() of the ids. An id outside the vocabulary throws and leaves
  // the stream as it was.
  class DecodeStream {
    constructor(tokenizer, handle) {
      this._tokenizer = tokenizer;
      this._handle = handle;
      handle.owner.streams.add(handle);
      finalizer.register(this, handle, handle);
    }

    get _pointer() {
      const pointer = this._handle.pointer;
      if (!pointer) throw new KorvelError('the decode stream has been freed');
      return pointer;
    }

    step(id) {
      const pointer = this._pointer;
      checkId(id, this._tokenizer.vocabSize);
      check(core._korvel_stream_step(pointer, id));
      return resultText();
    }

    finish() {
      check(core._korvel_stream_finish(this._pointer));
      return resultText();
    }

    free() {
      finalizer.unregister(this._handle);
      this._handle.free();
    }
  }

  // The size of the wasm memory, which grows and never shrinks: a figure
  // for watching leaks.
  const wasmMemoryBytes = () => core.memory.buffer.byteLength;

  return {
    Tokenizer, DecodeStream, KorvelError, ModelError, IdOutOfRangeError,
    TextError, wasmMemoryBytes,
  };
}
