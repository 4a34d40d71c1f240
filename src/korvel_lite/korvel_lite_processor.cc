#include "korvel_lite/korvel_lite_processor.h"

#include <cmath>
#include <utility>

#include "korvel_lite/internal/allocation_guard.h"
#include "korvel_lite/limits.h"
#include "korvel_lite/thread_state.h"

namespace korvel::lite {
namespace {

constexpr std::string_view kUnknownPieceText = "<unk>";

bool TooLong(size_t size) { return size >= kMaxTextSize; }

// The largest normalization buffer that Encode keeps for the next call.
constexpr size_t kMaxKeptScratchBytes = 1 << 20;

struct NormalizedTextTag {};

void ClearOutputs(std::vector<int>* ids,
                  std::vector<std::string_view>* surfaces) {
  ids->clear();
  if (surfaces != nullptr) surfaces->clear();
}

// The frame of the encoding operations: the model and argument checks, then
// `encode` into the cleared outputs, an allocation failure answered with
// kResourceExhausted and emptied outputs.
template <typename Encode>
absl::StatusCode RunEncoding(const Model* model, std::string_view text,
                             std::vector<int>* ids,
                             std::vector<std::string_view>* surfaces,
                             Encode encode) {
  if (model == nullptr) return absl::StatusCode::kFailedPrecondition;
  if (TooLong(text.size()) || ids == nullptr) {
    return absl::StatusCode::kInvalidArgument;
  }
  return GuardAllocation(
      [&] {
        ClearOutputs(ids, surfaces);
        const absl::StatusCode code = encode(*model);
        if (code != absl::StatusCode::kOk) ClearOutputs(ids, surfaces);
        return code;
      },
      [&] { ClearOutputs(ids, surfaces); });
}

}  // namespace

KorvelLiteProcessor::KorvelLiteProcessor(std::string_view model_bytes) {
  Load(model_bytes);
}

KorvelLiteProcessor::KorvelLiteProcessor(
    std::shared_ptr<std::string> model_bytes)
    : owned_bytes_(std::move(model_bytes)) {
  if (owned_bytes_ == nullptr) {
    status_ = absl::StatusCode::kInvalidArgument;
    return;
  }
  Load(*owned_bytes_);
}

KorvelLiteProcessor::~KorvelLiteProcessor() {
  model_.reset();
  owned_bytes_.reset();
}

void KorvelLiteProcessor::Load(std::string_view model_bytes) {
  auto model = std::make_unique<Model>(model_bytes);
  status_ = model->status();
  if (status_ == absl::StatusCode::kOk) model_ = std::move(model);
}

size_t KorvelLiteProcessor::vocab_size() const {
  return model_ == nullptr ? 0 : model_->vocab_size();
}

int KorvelLiteProcessor::PieceToId(std::string_view piece) const {
  return model_ == nullptr ? -1 : model_->PieceToId(piece);
}

std::string_view KorvelLiteProcessor::IdToPiece(int id) const {
  if (model_ == nullptr) return kUnknownPieceText;
  if (id >= 0 && static_cast<size_t>(id) < model_->vocab_size()) {
    return model_->IdToPiece(id);
  }
  if (model_->unk_id >= 0) return model_->IdToPiece(model_->unk_id);
  return kUnknownPieceText;
}

float KorvelLiteProcessor::GetScore(int id) const {
  if (model_ == nullptr || id < 0 ||
      static_cast<size_t>(id) >= model_->vocab_size()) {
    return 0.0f;
  }
  if (model_->is_bpe()) return static_cast<float>(model_->bpe_scores[id]);
  return model_->scores[id];
}

int KorvelLiteProcessor::unk_id() const {
  return model_ == nullptr ? -1 : model_->unk_id;
}
int KorvelLiteProcessor::bos_id() const {
  return model_ == nullptr ? -1 : model_->bos_id;
}
int KorvelLiteProcessor::eos_id() const {
  return model_ == nullptr ? -1 : model_->eos_id;
}
int KorvelLiteProcessor::pad_id() const {
  return model_ == nullptr ? -1 : model_->pad_id;
}

int KorvelLiteProcessor::piece_type(int id) const {
  if (model_ == nullptr || id < 0 ||
      static_cast<size_t>(id) >= model_->vocab_size()) {
    return -1;
  }
  return static_cast<int>(model_->types[id]);
}

void KorvelLiteProcessor::SetScoreResetThresholdForTesting(float threshold) {
  if (model_ != nullptr) model_->score_reset_threshold = threshold;
}

absl::StatusCode KorvelLiteProcessor::Normalize(
    std::string_view text, std::string* normalized,
    std::vector<size_t>* offsets) const {
  if (model_ == nullptr) return absl::StatusCode::kFailedPrecondition;
  if (normalized == nullptr || TooLong(text.size())) {
    return absl::StatusCode::kInvalidArgument;
  }
  return GuardAllocation(
      [&] { return model_->Normalize(text, normalized, offsets); },
      [&] {
        normalized->clear();
        if (offsets != nullptr) offsets->clear();
      });
}

bool KorvelLiteProcessor::CanSkipNormalization(std::string_view text) const {
  if (model_ == nullptr || TooLong(text.size())) return false;
  return model_->CanSkipNormalization(text);
}

absl::StatusCode KorvelLiteProcessor::Encode(std::string_view text,
                                             std::vector<int>* ids) const {
  if (model_ != nullptr && !TooLong(text.size()) &&
      model_->CanSkipNormalization(text)) {
    return EncodeNormalized(text, ids, nullptr);
  }
  if (model_ == nullptr) return absl::StatusCode::kFailedPrecondition;
  if (TooLong(text.size())) return absl::StatusCode::kInvalidArgument;
  // The normalized text goes into a buffer of the calling thread that keeps
  // its capacity across calls, so encoding allocates nothing once it has
  // grown; buffers grown by unusually long texts are released afterwards.
  // Late in the thread's exit the buffer is gone and a local one serves.
  std::string local_buffer;
  std::string& normalized =
      ThreadStateOr<std::string, NormalizedTextTag>(&local_buffer);
  const absl::StatusCode code = GuardAllocation(
      [&] {
        const absl::StatusCode normalize_code =
            model_->Normalize(text, &normalized, nullptr);
        if (normalize_code != absl::StatusCode::kOk) return normalize_code;
        return EncodeNormalized(normalized, ids, nullptr);
      },
      [&] {
        if (ids != nullptr) ids->clear();
      });
  if (normalized.capacity() > kMaxKeptScratchBytes) {
    std::string().swap(normalized);
  }
  return code;
}

absl::StatusCode KorvelLiteProcessor::EncodeNormalized(
    std::string_view text, std::vector<int>* ids,
    std::vector<std::string_view>* surfaces) const {
  return RunEncoding(model_.get(), text, ids, surfaces, [&](const Model& m) {
    return m.Encode(text, ids, surfaces, 0.0f, nullptr);
  });
}

absl::StatusCode KorvelLiteProcessor::EncodeNormalizedChunk(
    std::string_view text, std::vector<int>* ids,
    std::vector<std::string_view>* surfaces) const {
  return RunEncoding(model_.get(), text, ids, surfaces, [&](const Model& m) {
    if (!text.empty()) m.EncodeChunk(text, ids, surfaces, 0.0f, nullptr);
    return absl::StatusCode::kOk;
  });
}

absl::StatusCode KorvelLiteProcessor::SampleNormalized(
    std::string_view text, float alpha, absl::FunctionRef<float()> rng,
    std::vector<int>* ids, std::vector<std::string_view>* surfaces) const {
  if (!std::isfinite(alpha) || alpha < 0.0f) {
    return absl::StatusCode::kInvalidArgument;
  }
  return RunEncoding(model_.get(), text, ids, surfaces, [&](const Model& m) {
    return m.Encode(text, ids, surfaces, alpha, &rng);
  });
}

absl::StatusCode KorvelLiteProcessor::PretokenizeAtSafeBoundaries(
    std::string_view text,
    absl::FunctionRef<void(std::string_view)> on_chunk) const {
  if (model_ == nullptr) return absl::StatusCode::kFailedPrecondition;
  if (TooLong(text.size())) return absl::StatusCode::kInvalidArgument;
  return GuardAllocation(
      [&] { return model_->PretokenizeAtSafeBoundaries(text, on_chunk); },
      [] {});
}

}  // namespace korvel::lite
