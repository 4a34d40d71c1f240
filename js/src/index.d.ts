// Types of the npm package korvel: a lite tokenizer model run in WebAssembly.

export interface EncodeOptions {
  /** Put the model's BOS id first; an error when the model has none. */
  addBos?: boolean;
  /** Put the model's EOS id last; an error when the model has none. */
  addEos?: boolean;
  /**
   * Turn texts of control pieces and of the unknown piece ("<s>", "<unk>",
   * ...) into their ids. Off by default, so user text cannot inject them.
   */
  parseSpecial?: boolean;
}

export interface EncodingWithOffsets {
  ids: Uint32Array;
  /** [begin, end) in UTF-16 code units: text.slice(begin, end). */
  offsets: Array<[number, number]>;
}

/** Every error of the package; `code` names the status (e.g. "OutOfRange"). */
export class KorvelError extends Error {
  readonly code: string;
}
/** Bytes that are not a loadable lite model, or a tokenizer.json not imported. */
export class ModelError extends KorvelError {}
/** An id outside the vocabulary. */
export class IdOutOfRangeError extends KorvelError {}
/** A string holding a lone surrogate, which has no UTF-8 form. */
export class TextError extends KorvelError {}

/** Decodes ids one at a time; steps plus finish() equal decode() of all. */
export class DecodeStream {
  private constructor();
  /** The text that has become final with this id (never part of a character). */
  step(id: number): string;
  /** The text still pending; the stream then starts a new sequence. */
  finish(): string;
  free(): void;
}

/**
 * A lite model loaded into wasm memory. Call free() when done; a
 * FinalizationRegistry frees forgotten ones eventually.
 */
export class Tokenizer {
  private constructor();
  /** Copies a lite model's bytes once into wasm memory. */
  static fromBytes(bytes: Uint8Array | ArrayBuffer): Tokenizer;
  /** Node only: reads a lite model file. */
  static fromFile(path: string): Tokenizer;
  /**
   * Imports a Hugging Face tokenizer.json (its text, or its UTF-8 bytes) in
   * wasm, as `korvel import` then `korvel convert` do, in the importer
   * module (dist/korvel-import.mjs), which the first call loads. A file
   * korvel cannot import rejects with a ModelError naming the component, as
   * do split patterns of no known family (they need PCRE2, which the wasm
   * build lacks); a wrong argument rejects with a TypeError or TextError.
   */
  static fromTokenizerJson(
    json: string | Uint8Array | ArrayBuffer): Promise<Tokenizer>;

  /**
   * The importer's warnings, one line each, about rare texts that encode
   * differently from the original tokenizer; empty for lite models.
   */
  readonly warnings: readonly string[];

  readonly vocabSize: number;
  readonly unkId: number;
  /** -1 when the model has none. */
  readonly bosId: number;
  /** -1 when the model has none. */
  readonly eosId: number;
  readonly padId: number;

  encode(text: string, options?: EncodeOptions): Uint32Array;
  encodeWithOffsets(text: string, options?: EncodeOptions): EncodingWithOffsets;
  encodeBatch(texts: Iterable<string>, options?: EncodeOptions): Uint32Array[];
  decode(ids: ArrayLike<number>): string;
  decodeStream(): DecodeStream;
  normalize(text: string): string;
  idToPiece(id: number): string;
  /** The piece's id, or unkId when the model has no such piece. */
  pieceToId(piece: string): number;
  /** Frees the model and its streams; later calls throw. */
  free(): void;
}

/** The wasm memory's size in bytes; it grows and never shrinks. */
export function wasmMemoryBytes(): number;
