#include "korvel_tokenizer/utf8_repair.h"

#include "korvel_lite/utf8.h"

namespace korvel::tokenizer {

static_assert(kUtf8Replacement == lite::kReplacementCharacter);

int Utf8CharLength(std::string_view text) {
  return lite::WellFormedCharLength(text);
}

}  // namespace korvel::tokenizer
