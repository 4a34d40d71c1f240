#include "korvel_tokenizer/decode_stream.h"

#include <algorithm>

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "korvel_tokenizer/internal/errors.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::tokenizer {
namespace {

std::string DecodeOrEmpty(const lite::KorvelLiteProcessor& processor,
                          absl::Span<const int> ids) {
  std::string text;
  if (processor.Decode(ids, &text, nullptr) != absl::StatusCode::kOk) {
    text.clear();
  }
  return text;
}

bool IsOrdinaryPiece(int type) {
  return type != lite::PieceType_UNKNOWN && type != lite::PieceType_CONTROL &&
         type != lite::PieceType_BYTE;
}

// The longest character that a UTF-8 lead byte starts, or 0 for a byte that
// starts none.
size_t LeadLength(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF4) return 4;
  return 0;
}

// True when `byte` may follow `lead` as its first continuation byte.
bool ValidSecondByte(unsigned char lead, unsigned char byte) {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  return byte >= low && byte <= high;
}

// How many of the last of `n` bytes end in an unfinished character that more
// bytes could complete; `byte_at(i)` gives byte i.
template <typename ByteAt>
size_t UnfinishedTail(size_t n, ByteAt byte_at) {
  for (size_t k = 1; k <= std::min<size_t>(n, 3); ++k) {
    const unsigned char lead = byte_at(n - k);
    if ((lead & 0xC0) == 0x80) continue;
    if (LeadLength(lead) <= k) return 0;
    if (k >= 2 && !ValidSecondByte(lead, byte_at(n - k + 1))) return 0;
    for (size_t i = n - k + 2; i < n; ++i) {
      if ((byte_at(i) & 0xC0) != 0x80) return 0;
    }
    return k;
  }
  return 0;
}

}  // namespace

StreamFacts StreamFacts::Find(const lite::KorvelLiteProcessor& processor) {
  StreamFacts facts;
  const lite::Model* model = processor.model();
  if (model == nullptr) return facts;
  facts.first_byte_id = model->first_byte_piece_id;
  const int vocab_size = static_cast<int>(processor.vocab_size());
  int unknown = -1;
  int writing = -1;
  for (int id = 0; id < vocab_size; ++id) {
    const int type = processor.piece_type(id);
    if (type == lite::PieceType_UNKNOWN && unknown < 0) unknown = id;
    if (!IsOrdinaryPiece(type)) continue;
    const std::string_view text = processor.IdToPiece(id);
    if (facts.start_probe_id < 0 &&
        text.substr(0, lite::kWhitespaceSymbol.size()) ==
            lite::kWhitespaceSymbol) {
      facts.start_probe_id = id;
    }
    if (writing < 0 && unknown < 0 && !DecodeOrEmpty(processor, {id}).empty()) {
      writing = id;
    }
    if (facts.start_probe_id >= 0 && (unknown >= 0 || writing >= 0)) break;
  }
  // An unknown piece ends the text start even when its surface is empty;
  // any other piece does so by writing text. A byte piece for an ASCII
  // character is a last resort: later bytes extend its run without changing
  // it.
  int prefix = unknown >= 0 ? unknown : writing;
  if (prefix < 0 && facts.first_byte_id >= 0)
    prefix = facts.first_byte_id + 'A';
  if (facts.start_probe_id >= 0 && prefix >= 0) {
    facts.past_start_prefix.push_back(prefix);
    facts.past_start_prefix_size = DecodeOrEmpty(processor, {prefix}).size();
  }
  return facts;
}

DecodeStream::DecodeStream(const Tokenizer& tokenizer)
    : processor_(&tokenizer.processor()), facts_(&tokenizer.stream_facts()) {}

bool DecodeStream::IsBytePiece(int id) const {
  return facts_->first_byte_id >= 0 && id >= facts_->first_byte_id &&
         id - facts_->first_byte_id < 256 &&
         processor_->piece_type(id) == lite::PieceType_BYTE;
}

size_t DecodeStream::UnfinishedCharacterSize() const {
  return UnfinishedTail(pending_.size(), [&](size_t i) {
    return static_cast<unsigned char>(pending_[i] - facts_->first_byte_id);
  });
}

// A byte-level model decodes every id alone, so the stream only holds back
// the bytes of an unfinished character at the end.
void DecodeStream::StepByteLevel(int id, std::string* out) {
  AppendDecoded({id}, &unfinished_);
  const size_t keep = UnfinishedTail(unfinished_.size(), [&](size_t i) {
    return static_cast<unsigned char>(unfinished_[i]);
  });
  out->append(unfinished_, 0, unfinished_.size() - keep);
  unfinished_.erase(0, unfinished_.size() - keep);
}

void DecodeStream::AppendDecoded(absl::Span<const int> ids, std::string* out) {
  const bool use_prefix = past_start_ && !facts_->past_start_prefix.empty();
  window_.clear();
  if (use_prefix) {
    window_.assign(facts_->past_start_prefix.begin(),
                   facts_->past_start_prefix.end());
  }
  window_.insert(window_.end(), ids.begin(), ids.end());
  if (processor_->Decode(window_, &text_, nullptr) !=
      absl::StatusCode::kOk) {
    text_.clear();
  }
  const size_t skip = use_prefix ? facts_->past_start_prefix_size : 0;
  out->append(text_, std::min(skip, text_.size()), std::string::npos);
}

bool DecodeStream::LeavesTextStart(int id) {
  const int probe = facts_->start_probe_id;
  if (probe < 0) return false;
  const lite::KorvelLiteProcessor& processor = *processor_;
  return DecodeOrEmpty(processor, {id, probe}) !=
         DecodeOrEmpty(processor, {probe});
}

absl::Status DecodeStream::Step(int id, std::string* out) {
  const int vocab_size = static_cast<int>(processor_->vocab_size());
  if (id < 0 || id >= vocab_size) return IdOutOfRange(id, vocab_size);
  if (processor_->model()->byte_level) {
    StepByteLevel(id, out);
    return absl::OkStatus();
  }
  pending_.push_back(id);
  if (IsBytePiece(id)) {
    const size_t ready = pending_.size() - UnfinishedCharacterSize();
    if (ready > 0) {
      AppendDecoded(absl::MakeConstSpan(pending_.data(), ready), out);
      pending_.erase(pending_.begin(), pending_.begin() + ready);
      past_start_ = true;
    }
    return absl::OkStatus();
  }
  const size_t before = out->size();
  AppendDecoded(pending_, out);
  if (!past_start_) {
    past_start_ = out->size() > before || LeavesTextStart(id);
  }
  pending_.clear();
  return absl::OkStatus();
}

absl::Status DecodeStream::Finish(std::string* out) {
  if (!pending_.empty()) AppendDecoded(pending_, out);
  pending_.clear();
  out->append(unfinished_);
  unfinished_.clear();
  past_start_ = false;
  return absl::OkStatus();
}

}  // namespace korvel::tokenizer
