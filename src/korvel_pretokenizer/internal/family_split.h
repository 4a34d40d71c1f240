#ifndef KORVEL_PRETOKENIZER_INTERNAL_FAMILY_SPLIT_H_
#define KORVEL_PRETOKENIZER_INTERNAL_FAMILY_SPLIT_H_

#include <string_view>

#include "absl/functional/function_ref.h"
#include "korvel_pretokenizer/pretokenizer.h"

namespace korvel::pretokenizer::internal {

// Splits `text` with the hand-written matcher of `family` (a known family,
// not kNone): the pieces are what the family's pattern gives with leftmost-
// first matching, every match and every stretch between matches, in order.
void SplitFamily(Family family, std::string_view text,
                 absl::FunctionRef<void(std::string_view piece)> on_piece);

// The three steps kDigits1To3, kDeepSeekCjk, kDeepSeek in one pass: the
// pieces ForEachPretoken gives for them.
void SplitDeepSeekSequence(
    std::string_view text,
    absl::FunctionRef<void(std::string_view piece)> on_piece);

}  // namespace korvel::pretokenizer::internal

#endif  // KORVEL_PRETOKENIZER_INTERNAL_FAMILY_SPLIT_H_
