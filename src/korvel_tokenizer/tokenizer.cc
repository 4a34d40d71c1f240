#include "korvel_tokenizer/tokenizer.h"

#include <algorithm>
#include <utility>

#include "absl/strings/str_cat.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/thread_state.h"
#include "korvel_tokenizer/internal/errors.h"
#include "korvel_tokenizer/split_mix.h"

namespace korvel::tokenizer {
namespace {

// Tags the calling thread's buffer for normalized text to sample from.
struct SampledTextTag {};

// Buffers of the calling thread for encoding with offsets, kept across calls
// so that a thread that encodes many texts stops allocating.
struct EncodeScratch {
  std::string normalized;
  std::vector<size_t> normalized_offsets;
  std::vector<int> ids;
  std::vector<std::string_view> surfaces;
};

// The largest buffer a thread keeps for its next text.
constexpr size_t kMaxKeptScratchBytes = size_t{1} << 20;

void TrimScratch(EncodeScratch& scratch) {
  if (scratch.normalized.capacity() > kMaxKeptScratchBytes) {
    scratch = EncodeScratch();
  }
}

absl::Status CodeError(absl::StatusCode code, const char* what) {
  return absl::Status(code, absl::StrCat(what, " failed (",
                                         absl::StatusCodeToString(code), ")"));
}

// A SplitMix64 sequence of uniform draws from [0, 1) with 24 random bits.
class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}

  float Next() {
    state_ += kSplitMixStep;
    return static_cast<float>(SplitMix64(state_) >> 40) * 0x1.0p-24f;
  }

 private:
  uint64_t state_;
};

}  // namespace

Tokenizer::Tokenizer(ModelBytes bytes)
    : bytes_(std::move(bytes)),
      processor_(std::make_unique<lite::KorvelLiteProcessor>(bytes_.data())) {}

Tokenizer::~Tokenizer() = default;

ModelKind Tokenizer::model_kind() const {
  const lite::Model& model = *processor_->model();
  if (model.byte_level) return ModelKind::kByteLevelBpe;
  switch (model.model_type) {
    case lite::ModelType_UNIGRAM:
      return ModelKind::kUnigram;
    case lite::ModelType_BPE:
      return ModelKind::kBpe;
    default:
      return ModelKind::kOther;
  }
}

int Tokenizer::vocab_size() const {
  return static_cast<int>(processor_->vocab_size());
}
int Tokenizer::unk_id() const { return processor_->unk_id(); }
int Tokenizer::bos_id() const { return processor_->bos_id(); }
int Tokenizer::eos_id() const { return processor_->eos_id(); }
int Tokenizer::pad_id() const { return processor_->pad_id(); }

std::string_view Tokenizer::IdToPiece(int id) const {
  return processor_->IdToPiece(id);
}

int Tokenizer::PieceToId(std::string_view piece) const {
  return processor_->PieceToId(piece);
}

absl::StatusOr<std::unique_ptr<Tokenizer>> Tokenizer::Open(
    const std::string& path, OpenOptions options) {
  absl::StatusOr<ModelBytes> bytes =
      options.mmap ? ModelBytes::MapFile(path) : ModelBytes::ReadFile(path);
  if (!bytes.ok()) return bytes.status();
  return Load(*std::move(bytes), path);
}

absl::StatusOr<std::unique_ptr<Tokenizer>> Tokenizer::FromBytes(
    std::string bytes) {
  return Load(ModelBytes::FromString(std::move(bytes)), "model bytes");
}

absl::StatusOr<std::unique_ptr<Tokenizer>> Tokenizer::Load(
    ModelBytes bytes, std::string_view name) {
  if (bytes.data().empty() || bytes.data().size() >= kMaxTextSize) {
    return LoadFailure(name, bytes.data(), absl::StatusCode::kInvalidArgument);
  }
  std::unique_ptr<Tokenizer> tokenizer(new Tokenizer(std::move(bytes)));
  const absl::StatusCode code = tokenizer->processor_->status();
  if (code != absl::StatusCode::kOk) {
    return LoadFailure(name, tokenizer->bytes_.data(), code);
  }
  tokenizer->special_pieces_ = SpecialPieces(*tokenizer->processor_);
  tokenizer->stream_facts_ = StreamFacts::Find(*tokenizer->processor_);
  return tokenizer;
}

absl::Status Tokenizer::Encode(std::string_view text,
                               const EncodeOptions& options,
                               std::vector<int>* ids,
                               std::vector<Offset>* offsets) const {
  if (ids == nullptr) return absl::InvalidArgumentError("no output for ids");
  if (options.add_bos && bos_id() < 0) {
    return absl::FailedPreconditionError("the model has no BOS piece");
  }
  if (options.add_eos && eos_id() < 0) {
    return absl::FailedPreconditionError("the model has no EOS piece");
  }
  ids->clear();
  if (offsets != nullptr) offsets->clear();
  if (options.add_bos) {
    ids->push_back(bos_id());
    if (offsets != nullptr) offsets->push_back(Offset{0, 0});
  }
  size_t from = 0;
  if (options.parse_special) {
    SpecialPieces::Match match;
    while (special_pieces_.FindNext(text, from, &match)) {
      absl::Status status = EncodeSegment(text.substr(from, match.begin - from),
                                          from, ids, offsets);
      if (!status.ok()) return status;
      ids->push_back(match.id);
      if (offsets != nullptr)
        offsets->push_back(Offset{match.begin, match.end});
      from = match.end;
    }
  }
  absl::Status status = EncodeSegment(text.substr(from), from, ids, offsets);
  if (!status.ok()) return status;
  if (options.add_eos) {
    ids->push_back(eos_id());
    if (offsets != nullptr)
      offsets->push_back(Offset{text.size(), text.size()});
  }
  return absl::OkStatus();
}

// Appends the ids of `text`, which starts at byte `base` of the caller's
// text, and their ranges.
absl::Status Tokenizer::EncodeSegment(std::string_view text, size_t base,
                                      std::vector<int>* ids,
                                      std::vector<Offset>* offsets) const {
  if (text.empty()) return absl::OkStatus();
  if (offsets == nullptr && ids->empty()) {
    const absl::StatusCode code = processor_->Encode(text, ids);
    return code == absl::StatusCode::kOk ? absl::OkStatus()
                                         : CodeError(code, "encoding");
  }
  // The calling thread's scratch, or a local one late in the thread's exit.
  EncodeScratch local_scratch;
  EncodeScratch& scratch =
      lite::ThreadStateOr<EncodeScratch, EncodeScratch>(&local_scratch);
  absl::StatusCode code;
  if (offsets == nullptr) {
    code = processor_->Encode(text, &scratch.ids);
  } else {
    code = processor_->Normalize(text, &scratch.normalized,
                                 &scratch.normalized_offsets);
    if (code == absl::StatusCode::kOk) {
      code = processor_->EncodeNormalized(scratch.normalized, &scratch.ids,
                                          &scratch.surfaces);
    }
  }
  if (code != absl::StatusCode::kOk) {
    TrimScratch(scratch);
    return CodeError(code, "encoding");
  }
  ids->insert(ids->end(), scratch.ids.begin(), scratch.ids.end());
  if (offsets != nullptr) {
    // Views of byte pieces may start before the end of the previous view;
    // each range is moved up to the previous one's end, so that ranges never
    // overlap or go backwards.
    size_t last_end = offsets->empty() ? 0 : offsets->back().end;
    const char* start = scratch.normalized.data();
    for (const std::string_view surface : scratch.surfaces) {
      const auto from = static_cast<size_t>(surface.data() - start);
      size_t begin = base + scratch.normalized_offsets[from];
      size_t end = base + scratch.normalized_offsets[from + surface.size()];
      begin = std::max(begin, last_end);
      end = std::max(end, begin);
      offsets->push_back(Offset{begin, end});
      last_end = end;
    }
  }
  TrimScratch(scratch);
  return absl::OkStatus();
}

absl::Status Tokenizer::Decode(absl::Span<const int> ids,
                               std::string* text) const {
  if (text == nullptr) return absl::InvalidArgumentError("no output for text");
  const absl::StatusCode code = processor_->Decode(ids, text, nullptr);
  if (code == absl::StatusCode::kOutOfRange) {
    const int vocab = vocab_size();
    for (const int id : ids) {
      if (id < 0 || id >= vocab) return IdOutOfRange(id, vocab);
    }
  }
  return code == absl::StatusCode::kOk ? absl::OkStatus()
                                       : CodeError(code, "decoding");
}

absl::Status Tokenizer::Decode(absl::Span<const int> ids,
                               const DecodeOptions& options,
                               std::string* text) const {
  if (!options.keep_special) return Decode(ids, text);
  if (text == nullptr) return absl::InvalidArgumentError("no output for text");
  // The runtime decodes a CONTROL piece to an empty view where it stands;
  // its text goes there.
  std::string plain;
  std::vector<std::string_view> views;
  const absl::StatusCode code = processor_->Decode(ids, &plain, &views);
  if (code != absl::StatusCode::kOk) return Decode(ids, text);
  text->clear();
  size_t copied = 0;
  for (size_t i = 0; i < ids.size() && i < views.size(); ++i) {
    if (processor_->piece_type(ids[i]) != lite::PieceType_CONTROL) continue;
    const auto at = static_cast<size_t>(views[i].data() - plain.data());
    text->append(plain, copied, at - copied);
    text->append(IdToPiece(ids[i]));
    copied = at;
  }
  text->append(plain, copied, std::string::npos);
  return absl::OkStatus();
}

absl::Status Tokenizer::Normalize(std::string_view text,
                                  std::string* normalized) const {
  return Normalize(text, normalized, nullptr);
}

absl::Status Tokenizer::Normalize(std::string_view text,
                                  std::string* normalized,
                                  std::vector<size_t>* offsets) const {
  if (normalized == nullptr) {
    return absl::InvalidArgumentError("no output for the normalized text");
  }
  const absl::StatusCode code =
      processor_->Normalize(text, normalized, offsets);
  return code == absl::StatusCode::kOk ? absl::OkStatus()
                                       : CodeError(code, "normalization");
}

absl::Status Tokenizer::Sample(std::string_view text, float alpha,
                               uint64_t seed, std::vector<int>* ids) const {
  if (ids == nullptr) return absl::InvalidArgumentError("no output for ids");
  const bool bpe = processor_->model()->is_bpe();
  if (!(alpha >= 0.0f) || (bpe && alpha > 1.0f)) {
    return absl::InvalidArgumentError(absl::StrCat(
        "alpha ", alpha, " is out of range (",
        bpe ? "a dropout probability within [0, 1]" : "at least 0", ")"));
  }
  std::string local_normalized;
  std::string& normalized =
      lite::ThreadStateOr<std::string, SampledTextTag>(&local_normalized);
  absl::StatusCode code = processor_->Normalize(text, &normalized, nullptr);
  if (code == absl::StatusCode::kOk) {
    SeededRandom random(seed);
    code = processor_->SampleNormalized(
        normalized, alpha, [&random] { return random.Next(); }, ids, nullptr);
  }
  if (normalized.capacity() > kMaxKeptScratchBytes)
    std::string().swap(normalized);
  return code == absl::StatusCode::kOk ? absl::OkStatus()
                                       : CodeError(code, "sampling");
}

}  // namespace korvel::tokenizer
