#ifndef KORVEL_LITE_KORVEL_LITE_PROCESSOR_H_
#define KORVEL_LITE_KORVEL_LITE_PROCESSOR_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "absl/functional/function_ref.h"
#include "absl/status/status.h"
#include "absl/types/span.h"
#include "korvel_lite/model.h"

namespace korvel::lite {

// The public entry point of the lite runtime: turns text into piece ids and
// back with a lite model that it reads in place.
//
// Construct it over the model bytes, either as a view (the caller keeps the
// bytes alive and unchanged for the processor's whole life; the data must be
// 4-byte aligned) or as a shared string (the processor co-owns it). `status()`
// is then kOk, or the code of the failed load (kInvalidArgument for bytes that
// are not a lite model, kInternal for inconsistent contents); a failed
// processor stays failed and answers every call with fixed values.
//
// Operations return bare status codes, never throw (an allocation failure,
// or a byte-level model's regex pre-tokenizer hitting its limits, gives
// kResourceExhausted with the outputs emptied), and write only to the
// caller's output containers, which they clear (keeping capacity) before
// filling. All operations except SetScoreResetThresholdForTesting are const,
// so one loaded processor may serve any number of threads, each with its own
// outputs.
class KorvelLiteProcessor {
 public:
  explicit KorvelLiteProcessor(std::string_view model_bytes);
  explicit KorvelLiteProcessor(std::shared_ptr<std::string> model_bytes);
  ~KorvelLiteProcessor();
  KorvelLiteProcessor(const KorvelLiteProcessor&) = delete;
  KorvelLiteProcessor& operator=(const KorvelLiteProcessor&) = delete;

  absl::StatusCode status() const { return status_; }

  // Vocabulary queries. Without a model they answer 0, -1, "<unk>", 0.0.
  size_t vocab_size() const;
  int PieceToId(std::string_view piece) const;
  // The text of piece `id`; an id out of range gives the unknown piece's text.
  std::string_view IdToPiece(int id) const;
  float GetScore(int id) const;
  int unk_id() const;
  int bos_id() const;
  int eos_id() const;
  int pad_id() const;
  // The PieceType of `id` as an int, or -1 for an id out of range.
  int piece_type(int id) const;
  void SetScoreResetThresholdForTesting(float threshold);

  // Normalizes `text` into `normalized`; `offsets`, when given, receives the
  // input offset of every normalized byte plus a final entry.
  absl::StatusCode Normalize(std::string_view text, std::string* normalized,
                             std::vector<size_t>* offsets) const;
  // True when `Normalize` would return `text` unchanged.
  bool CanSkipNormalization(std::string_view text) const;

  // Normalizes (when needed) and encodes raw text.
  absl::StatusCode Encode(std::string_view text, std::vector<int>* ids) const;
  // Encodes normalized text; `surfaces`, when given, receives one view into
  // `text` per id.
  absl::StatusCode EncodeNormalized(
      std::string_view text, std::vector<int>* ids,
      std::vector<std::string_view>* surfaces) const;
  // Encodes normalized text as a single chunk, never cut at safe boundaries.
  absl::StatusCode EncodeNormalizedChunk(
      std::string_view text, std::vector<int>* ids,
      std::vector<std::string_view>* surfaces) const;
  // Like EncodeNormalized, but samples a segmentation: `alpha` scales the
  // unigram noise or is the BPE dropout probability; `rng` returns uniform
  // draws from [0, 1).
  absl::StatusCode SampleNormalized(
      std::string_view text, float alpha, absl::FunctionRef<float()> rng,
      std::vector<int>* ids, std::vector<std::string_view>* surfaces) const;
  // Calls `on_chunk` with each chunk of `text` cut at safe boundaries.
  absl::StatusCode PretokenizeAtSafeBoundaries(
      std::string_view text,
      absl::FunctionRef<void(std::string_view)> on_chunk) const;

  // Turns ids back into text. `surfaces`, when given, receives one view into
  // `*text` per id. kOutOfRange for an id outside the vocabulary, with both
  // outputs emptied.
  absl::StatusCode Decode(absl::Span<const int> ids, std::string* text,
                          std::vector<std::string_view>* surfaces) const;

  // The loaded model, or null when loading failed.
  const Model* model() const { return model_.get(); }

 private:
  void Load(std::string_view model_bytes);

  std::shared_ptr<std::string> owned_bytes_;
  std::unique_ptr<Model> model_;
  absl::StatusCode status_ = absl::StatusCode::kFailedPrecondition;
};

}  // namespace korvel::lite

#endif  // KORVEL_LITE_KORVEL_LITE_PROCESSOR_H_
