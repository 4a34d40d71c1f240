#ifndef KORVEL_TOKENIZER_TOKENIZER_H_
#define KORVEL_TOKENIZER_TOKENIZER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "absl/status/statusor.h"
#include "absl/types/span.h"
#include "korvel_lite/limits.h"
#include "korvel_tokenizer/decode_stream.h"
#include "korvel_tokenizer/model_bytes.h"
#include "korvel_tokenizer/options.h"
#include "korvel_tokenizer/special_pieces.h"

namespace korvel::lite {
class KorvelLiteProcessor;
}  // namespace korvel::lite

namespace korvel::tokenizer {

// Texts and id sequences are shorter than this; see korvel_lite/limits.h.
using lite::kMaxTextSize;

// How a model segments text.
enum class ModelKind {
  kUnigram,
  kBpe,
  // BPE over the bytes of pre-tokenized text.
  kByteLevelBpe,
  // A model type this version does not encode with.
  kOther,
};

// A lite model opened for applications: the runtime's processor plus BOS/EOS,
// special tokens, offsets, sampling with a seed and streaming decode.
//
// A Tokenizer owns its model bytes (read into an aligned buffer, or mapped on
// request) and is immutable after creation: any number of threads may call
// its const methods at once. Errors are absl::Status values with a message;
// nothing throws.
//
// Offsets are byte ranges into the text exactly as passed. They never overlap
// and never go backwards. Text that normalization removed (extra whitespace)
// belongs to the id that follows it, or to none at the end of the text. A
// character that normalization turns into several belongs to the id holding
// the end of its normalized form; ids holding only earlier parts of it get an
// empty range at its start. Of the byte pieces that spell one character (byte
// fallback), one covers the whole character and the others get empty ranges
// at its start or end, depending on the order in which the encoder emits
// them. BOS gets the empty range at 0, EOS the empty range at the end of the
// text, and a parsed special text its own bytes.
class Tokenizer {
 public:
  // Opens the lite model file at `path`. The error names the file and the
  // reason: missing, unreadable, not a regular file, a full model that needs
  // converting, not a lite model, or a lite model that breaks a load rule.
  static absl::StatusOr<std::unique_ptr<Tokenizer>> Open(
      const std::string& path, OpenOptions options = {});
  // Loads a model from its bytes, taking ownership (no copy in the usual
  // case; the bytes are placed at an aligned address either way).
  static absl::StatusOr<std::unique_ptr<Tokenizer>> FromBytes(
      std::string bytes);

  Tokenizer(const Tokenizer&) = delete;
  Tokenizer& operator=(const Tokenizer&) = delete;

  ~Tokenizer();

  // The runtime underneath, for what this layer does not offer. Its header,
  // korvel_lite/korvel_lite_processor.h, needs the flatbuffers headers.
  const lite::KorvelLiteProcessor& processor() const { return *processor_; }
  // The model file's bytes, for hashing or serializing the tokenizer.
  std::string_view model_bytes() const { return bytes_.data(); }

  ModelKind model_kind() const;
  int vocab_size() const;
  int unk_id() const;
  int bos_id() const;
  int eos_id() const;
  int pad_id() const;
  // As the processor: an id out of range gives the unknown piece's text.
  std::string_view IdToPiece(int id) const;
  int PieceToId(std::string_view piece) const;

  // Encodes `text` into `*ids` and, when `offsets` is given, one byte range
  // per id. Both outputs are replaced.
  absl::Status Encode(std::string_view text, const EncodeOptions& options,
                      std::vector<int>* ids,
                      std::vector<Offset>* offsets = nullptr) const;
  // Turns ids back into text; kOutOfRange naming the first id outside the
  // vocabulary.
  absl::Status Decode(absl::Span<const int> ids, std::string* text) const;
  // As above; with `keep_special` the texts of CONTROL pieces stand where
  // their ids do, and the text around them is the same as without.
  absl::Status Decode(absl::Span<const int> ids, const DecodeOptions& options,
                      std::string* text) const;
  absl::Status Normalize(std::string_view text, std::string* normalized) const;
  // As above, and when `offsets` is given, for each byte of `*normalized`
  // and for its end, the byte of `text` it comes from (size + 1 entries).
  absl::Status Normalize(std::string_view text, std::string* normalized,
                         std::vector<size_t>* offsets) const;
  // Samples a segmentation of `text` (unigram noise scale or BPE dropout
  // probability `alpha`, within [0, 1] for BPE); the same seed gives the same
  // ids.
  absl::Status Sample(std::string_view text, float alpha, uint64_t seed,
                      std::vector<int>* ids) const;

  // A stream that decodes ids one at a time; it refers to this tokenizer,
  // which must outlive it.
  DecodeStream NewDecodeStream() const { return DecodeStream(*this); }

  // The CONTROL and unknown pieces matched by parse_special.
  const SpecialPieces& special_pieces() const { return special_pieces_; }
  // What streaming decode needs to know about the model.
  const StreamFacts& stream_facts() const { return stream_facts_; }

 private:
  explicit Tokenizer(ModelBytes bytes);
  static absl::StatusOr<std::unique_ptr<Tokenizer>> Load(ModelBytes bytes,
                                                         std::string_view name);
  absl::Status EncodeSegment(std::string_view text, size_t base,
                             std::vector<int>* ids,
                             std::vector<Offset>* offsets) const;

  // Declared first so that the bytes outlive the processor reading them.
  ModelBytes bytes_;
  std::unique_ptr<const lite::KorvelLiteProcessor> processor_;
  SpecialPieces special_pieces_;
  StreamFacts stream_facts_;
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_TOKENIZER_H_
