#include "korvel_tokenizer/special_pieces.h"

#include <algorithm>
#include <functional>

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"

namespace korvel::tokenizer {

SpecialPieces::SpecialPieces(const lite::KorvelLiteProcessor& processor) {
  const int vocab_size = static_cast<int>(processor.vocab_size());
  for (int id = 0; id < vocab_size; ++id) {
    const int type = processor.piece_type(id);
    if (type != lite::PieceType_CONTROL && type != lite::PieceType_UNKNOWN) {
      continue;
    }
    const std::string_view text = processor.IdToPiece(id);
    if (text.empty() || !ids_.emplace(text, id).second) continue;
    first_bytes_.set(static_cast<unsigned char>(text[0]));
    if (std::find(lengths_.begin(), lengths_.end(), text.size()) ==
        lengths_.end()) {
      lengths_.push_back(text.size());
    }
  }
  std::sort(lengths_.begin(), lengths_.end(), std::greater<size_t>());
}

bool SpecialPieces::FindNext(std::string_view text, size_t from,
                             Match* match) const {
  if (ids_.empty()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!first_bytes_.test(byte) || (byte & 0xC0) == 0x80) continue;
    const size_t room = text.size() - i;
    for (const size_t length : lengths_) {
      if (length > room) continue;
      const auto it = ids_.find(text.substr(i, length));
      if (it != ids_.end()) {
        *match = Match{i, i + length, it->second};
        return true;
      }
    }
  }
  return false;
}

}  // namespace korvel::tokenizer
