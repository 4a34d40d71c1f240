// The C functions of the package's core module, over the tokenizer layer's
// public interface. tokenizer.json files are imported by the importer module
// (import_glue.cc), whose lite model bytes come back through
// korvel_from_buffer.
//
// WebAssembly here runs one thread, so each call leaves its answer in one
// module-wide Result (a status, ids, offsets or text) that JavaScript reads
// before its next call. The Result's buffers keep their capacity, so repeated
// calls allocate nothing once they have grown. Texts come in as UTF-8 and
// offsets go out as UTF-16 code-unit positions of the same text, which is
// what JavaScript strings index.

#include <emscripten/emscripten.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/status/status.h"
#include "korvel_tokenizer/decode_stream.h"
#include "korvel_tokenizer/options.h"
#include "korvel_tokenizer/tokenizer.h"

namespace {

using korvel::tokenizer::DecodeStream;
using korvel::tokenizer::EncodeOptions;
using korvel::tokenizer::Offset;
using korvel::tokenizer::Tokenizer;

struct Result {
  int code = 0;
  std::string message;
  std::vector<int> ids;
  std::vector<Offset> offsets;
  std::vector<uint32_t> utf16_offsets;
  std::string text;
};

Result& result() {
  static Result* const r = new Result;
  return *r;
}

// Records `status` and answers its code (0 for OK).
int Report(const absl::Status& status) {
  Result& r = result();
  r.code = static_cast<int>(status.code());
  r.message.assign(status.message().data(), status.message().size());
  return r.code;
}

// The UTF-16 length of the UTF-8 bytes of `text` in [from, to): a lead byte
// of four bytes counts two, continuation bytes count nothing.
uint32_t Utf16Units(std::string_view text, size_t from, size_t to) {
  uint32_t units = 0;
  for (size_t i = from; i < to; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

// Converts byte offsets into UTF-16 positions in one pass while they go
// forward, starting over from the text start when one goes back.
void ToUtf16(std::string_view text, const std::vector<Offset>& offsets,
             std::vector<uint32_t>* out) {
  out->clear();
  size_t byte = 0;
  uint32_t units = 0;
  auto position = [&](size_t target) {
    if (target > text.size()) target = text.size();
    if (target < byte) byte = 0, units = 0;
    units += Utf16Units(text, byte, target);
    byte = target;
    return units;
  };
  for (const Offset& offset : offsets) {
    out->push_back(position(offset.begin));
    out->push_back(position(offset.end));
  }
}

}  // namespace

extern "C" {

// A buffer for `size` model bytes that korvel_from_buffer then takes over, so
// that JavaScript copies a model into wasm memory once.
EMSCRIPTEN_KEEPALIVE std::string* korvel_model_buffer(size_t size) {
  return new std::string(size, '\0');
}
EMSCRIPTEN_KEEPALIVE char* korvel_model_buffer_data(std::string* buffer) {
  return buffer->data();
}

// Loads a model from a buffer of korvel_model_buffer, which it frees. Answers
// null on failure, with the error in the Result.
EMSCRIPTEN_KEEPALIVE Tokenizer* korvel_from_buffer(std::string* buffer) {
  std::unique_ptr<std::string> owned(buffer);
  auto tokenizer = Tokenizer::FromBytes(std::move(*owned));
  if (!tokenizer.ok()) {
    Report(tokenizer.status());
    return nullptr;
  }
  Report(absl::OkStatus());
  return tokenizer->release();
}

EMSCRIPTEN_KEEPALIVE void korvel_free(Tokenizer* tokenizer) {
  delete tokenizer;
}

// 0: vocabulary size, 1: unknown id, 2: BOS id, 3: EOS id, 4: padding id.
EMSCRIPTEN_KEEPALIVE int korvel_fact(const Tokenizer* tokenizer, int which) {
  switch (which) {
    case 0:
      return tokenizer->vocab_size();
    case 1:
      return tokenizer->unk_id();
    case 2:
      return tokenizer->bos_id();
    case 3:
      return tokenizer->eos_id();
    default:
      return tokenizer->pad_id();
  }
}

// Encodes the UTF-8 text; `flags` bit 0 adds BOS, bit 1 EOS, bit 2 parses
// special texts, bit 3 asks for UTF-16 offsets.
EMSCRIPTEN_KEEPALIVE int korvel_encode(const Tokenizer* tokenizer,
                                       const char* text, size_t size,
                                       int flags) {
  Result& r = result();
  EncodeOptions options;
  options.add_bos = (flags & 1) != 0;
  options.add_eos = (flags & 2) != 0;
  options.parse_special = (flags & 4) != 0;
  const bool offsets = (flags & 8) != 0;
  const std::string_view view(text, size);
  const absl::Status status =
      tokenizer->Encode(view, options, &r.ids, offsets ? &r.offsets : nullptr);
  if (status.ok() && offsets) ToUtf16(view, r.offsets, &r.utf16_offsets);
  return Report(status);
}

EMSCRIPTEN_KEEPALIVE int korvel_decode(const Tokenizer* tokenizer,
                                       const int* ids, size_t count) {
  Result& r = result();
  return Report(tokenizer->Decode(absl::MakeConstSpan(ids, count), &r.text));
}

EMSCRIPTEN_KEEPALIVE int korvel_normalize(const Tokenizer* tokenizer,
                                          const char* text, size_t size) {
  Result& r = result();
  return Report(tokenizer->Normalize(std::string_view(text, size), &r.text));
}

// An id outside the vocabulary fails with Decode's error.
EMSCRIPTEN_KEEPALIVE int korvel_id_to_piece(const Tokenizer* tokenizer,
                                            int id) {
  Result& r = result();
  if (id < 0 || id >= tokenizer->vocab_size()) {
    return Report(tokenizer->Decode({id}, &r.text));
  }
  r.text.assign(tokenizer->IdToPiece(id));
  return Report(absl::OkStatus());
}

EMSCRIPTEN_KEEPALIVE int korvel_piece_to_id(const Tokenizer* tokenizer,
                                            const char* piece, size_t size) {
  return tokenizer->PieceToId(std::string_view(piece, size));
}

EMSCRIPTEN_KEEPALIVE DecodeStream* korvel_stream_new(
    const Tokenizer* tokenizer) {
  return new DecodeStream(tokenizer->NewDecodeStream());
}

EMSCRIPTEN_KEEPALIVE void korvel_stream_free(DecodeStream* stream) {
  delete stream;
}

EMSCRIPTEN_KEEPALIVE int korvel_stream_step(DecodeStream* stream, int id) {
  Result& r = result();
  r.text.clear();
  return Report(stream->Step(id, &r.text));
}

EMSCRIPTEN_KEEPALIVE int korvel_stream_finish(DecodeStream* stream) {
  Result& r = result();
  r.text.clear();
  return Report(stream->Finish(&r.text));
}

// The parts of the Result: 0 the message, 1 the text, 2 the ids, 3 the UTF-16
// offsets (two per id); korvel_result_size gives bytes for 0 and 1 and
// elements for 2 and 3.
EMSCRIPTEN_KEEPALIVE const void* korvel_result_data(int part) {
  Result& r = result();
  switch (part) {
    case 0:
      return r.message.data();
    case 1:
      return r.text.data();
    case 2:
      return r.ids.data();
    default:
      return r.utf16_offsets.data();
  }
}

EMSCRIPTEN_KEEPALIVE size_t korvel_result_size(int part) {
  Result& r = result();
  switch (part) {
    case 0:
      return r.message.size();
    case 1:
      return r.text.size();
    case 2:
      return r.ids.size();
    default:
      return r.utf16_offsets.size();
  }
}

}  // extern "C"
