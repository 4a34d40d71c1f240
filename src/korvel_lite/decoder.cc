// Decoding: piece ids back to text, with optional per-id views of the output.

#include <cstring>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

// Where the view of one id lies in the output text. Views are kept as offsets
// while the text may still move, and turned into pointers at the end.
struct ViewRecord {
  size_t offset = 0;
  size_t length = 0;
};

// The state of one Decode call: the output text, the view records (null when
// no views are wanted) and the pending run of byte pieces.
class Decoder {
 public:
  Decoder(const Model& model, std::string* text, std::vector<ViewRecord>* views)
      : model_(model),
        text_(text),
        views_(views),
        strip_leading_space_(model.add_dummy_prefix ||
                             model.normalizer.remove_extra_whitespaces),
        remove_extra_whitespaces_(model.normalizer.remove_extra_whitespaces) {}

  // Decodes the id at `position`; the caller has checked that it is in range.
  void Add(size_t position, int id) {
    const PieceType type = model_.types[id];
    const int first_byte = model_.first_byte_piece_id;
    if (type == PieceType_BYTE && first_byte != -1 && id >= first_byte &&
        id - first_byte < 256) {
      if (pending_.empty()) pending_start_ = position;
      pending_.push_back(static_cast<unsigned char>(id - first_byte));
      return;
    }
    FlushPendingBytes();
    if (type == PieceType_UNKNOWN) {
      const size_t start = text_->size();
      const std::string_view surface = model_.unk_surface();
      text_->append(surface.data(), surface.size());
      Record(position, start);
      at_text_start_ = false;
      return;
    }
    if (type == PieceType_CONTROL) {
      Record(position, text_->size());
      return;
    }
    AddOrdinaryPiece(position, model_.IdToPiece(id));
  }

  void FlushPendingBytes() {
    if (pending_.empty()) return;
    const std::string_view bytes(reinterpret_cast<const char*>(pending_.data()),
                                 pending_.size());
    if (views_ == nullptr) {
      AppendSanitized(bytes);
    } else {
      AppendSanitizedWithViews(bytes);
    }
    pending_.clear();
  }

 private:
  void AddOrdinaryPiece(size_t position, std::string_view piece) {
    if (prefix_consumed_ || !text_->empty()) at_text_start_ = false;
    if (at_text_start_ && strip_leading_space_ && StartsWithSymbol(piece)) {
      piece.remove_prefix(kWhitespaceSymbol.size());
      if (!remove_extra_whitespaces_) prefix_consumed_ = true;
    }
    const size_t start = text_->size();
    AppendUnescaped(piece);
    Record(position, start);
  }

  // Appends `piece` with every whitespace symbol written as a space.
  void AppendUnescaped(std::string_view piece) {
    if (StartsWithSymbol(piece)) {
      text_->push_back(' ');
      piece.remove_prefix(kWhitespaceSymbol.size());
    }
    if (!model_.has_inner_whitespace_symbol) {
      text_->append(piece.data(), piece.size());
      return;
    }
    size_t copied = 0;
    size_t pos = 0;
    while (pos < piece.size()) {
      const void* hit =
          std::memchr(piece.data() + pos, kWhitespaceSymbol[0], piece.size() - pos);
      if (hit == nullptr) break;
      pos = static_cast<size_t>(static_cast<const char*>(hit) - piece.data());
      if (StartsWithSymbol(piece.substr(pos))) {
        text_->append(piece.data() + copied, pos - copied);
        text_->push_back(' ');
        pos += kWhitespaceSymbol.size();
        copied = pos;
      } else {
        ++pos;
      }
    }
    text_->append(piece.data() + copied, piece.size() - copied);
  }

  // Appends `bytes` with every byte that starts no well-formed character
  // replaced by U+FFFD, taking the longest well-formed stretch at once.
  void AppendSanitized(std::string_view bytes) {
    while (!bytes.empty()) {
      const size_t valid = WellFormedPrefixLength(bytes);
      text_->append(bytes.data(), valid);
      if (valid == bytes.size()) break;
      text_->append(kReplacementCharacter.data(), kReplacementCharacter.size());
      bytes.remove_prefix(valid + 1);
    }
  }

  // As AppendSanitized, one character at a time: the id of a character's last
  // byte views the character, its other ids view nothing at its start, and
  // the id of a malformed byte views its U+FFFD.
  void AppendSanitizedWithViews(std::string_view bytes) {
    size_t position = pending_start_;
    while (!bytes.empty()) {
      const size_t start = text_->size();
      const size_t length = WellFormedCharLength(bytes);
      if (length == 0) {
        text_->append(kReplacementCharacter.data(), kReplacementCharacter.size());
        Record(position++, start);
        bytes.remove_prefix(1);
        continue;
      }
      text_->append(bytes.data(), length);
      for (size_t i = 1; i < length; ++i) Record(position++, start, start);
      Record(position++, start);
      bytes.remove_prefix(length);
    }
  }

  static bool StartsWithSymbol(std::string_view text) {
    return text.size() >= kWhitespaceSymbol.size() &&
           std::memcmp(text.data(), kWhitespaceSymbol.data(),
                       kWhitespaceSymbol.size()) == 0;
  }

  // Records the view of the id at `position` as [start, end of text).
  void Record(size_t position, size_t start) {
    Record(position, start, text_->size());
  }
  void Record(size_t position, size_t start, size_t end) {
    if (views_ != nullptr) (*views_)[position] = {start, end - start};
  }

  const Model& model_;
  std::string* text_;
  std::vector<ViewRecord>* views_;
  const bool strip_leading_space_;
  const bool remove_extra_whitespaces_;
  bool at_text_start_ = true;
  bool prefix_consumed_ = false;
  absl::InlinedVector<unsigned char, 64> pending_;
  size_t pending_start_ = 0;
};

}  // namespace

absl::StatusCode KorvelLiteProcessor::Decode(
    absl::Span<const int> ids, std::string* text,
    std::vector<std::string_view>* surfaces) const {
  if (model_ == nullptr) return absl::StatusCode::kFailedPrecondition;
  if (text == nullptr || ids.size() >= 0x7fffffffu) {
    return absl::StatusCode::kInvalidArgument;
  }
  const Model& model = *model_;
  const size_t vocab_size = model.vocab_size();

  text->clear();
  text->reserve(ids.size());
  std::vector<ViewRecord> views;
  if (surfaces != nullptr) {
    surfaces->assign(ids.size(), std::string_view());
    views.resize(ids.size());
  }

  Decoder decoder(model, text, surfaces != nullptr ? &views : nullptr);
  for (size_t i = 0; i < ids.size(); ++i) {
    const int id = ids[i];
    if (id < 0 || static_cast<size_t>(id) >= vocab_size) {
      text->clear();
      if (surfaces != nullptr) surfaces->clear();
      return absl::StatusCode::kOutOfRange;
    }
    decoder.Add(i, id);
  }
  decoder.FlushPendingBytes();

  if (surfaces != nullptr) {
    const char* data = text->data();
    for (size_t i = 0; i < views.size(); ++i) {
      (*surfaces)[i] = std::string_view(data + views[i].offset, views[i].length);
    }
  }
  return absl::StatusCode::kOk;
}

}  // namespace korvel::lite
