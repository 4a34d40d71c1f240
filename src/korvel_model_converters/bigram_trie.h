#ifndef KORVEL_MODEL_CONVERTERS_BIGRAM_TRIE_H_
#define KORVEL_MODEL_CONVERTERS_BIGRAM_TRIE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "absl/status/statusor.h"

namespace korvel::lite {

// Builds the safe-boundary trie of a vocabulary: a double-array blob whose
// keys are all pairs of adjacent characters found inside some piece text, each
// key being the bytes of the first character followed by those of the second
// (2 to 8 bytes; a character is cut short at the end of its text).
//
// The value of a key c1c2 is the position of the node that a walk from the
// root over the bytes of c2 alone reaches in the same trie, or 0 (the root)
// when no key starts with c2. A reader that has just matched c1c2 can thus
// test the next pair c2c3 by stepping over c3 from that node.
//
// Returns an empty blob when no piece has two characters. A piece text with a
// NUL byte gives kInvalidArgument; a refusal of the trie builder gives
// kInternal.
absl::StatusOr<std::vector<uint8_t>> BuildBigramTrieBlob(
    const std::vector<std::string>& pieces);

}  // namespace korvel::lite

#endif  // KORVEL_MODEL_CONVERTERS_BIGRAM_TRIE_H_
