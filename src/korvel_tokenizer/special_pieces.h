#ifndef KORVEL_TOKENIZER_SPECIAL_PIECES_H_
#define KORVEL_TOKENIZER_SPECIAL_PIECES_H_

#include <bitset>
#include <cstddef>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"

namespace korvel::lite {
class KorvelLiteProcessor;
}  // namespace korvel::lite

namespace korvel::tokenizer {

// Finds the texts of a model's CONTROL pieces and of its unknown piece in input
// text, leftmost-longest. The unknown piece counts because tokenizer.json files
// list it among the special tokens, and Hugging Face tokenizers parse it so.
//
// Built once per model; holds views into the model's bytes, which must outlive
// it. Empty texts never match, and a match never starts inside a UTF-8
// character of the input. When two such pieces share a text, the lower id
// wins. Immutable after construction and safe to use from many threads.
class SpecialPieces {
 public:
  struct Match {
    size_t begin = 0;
    size_t end = 0;
    int id = -1;
  };

  SpecialPieces() = default;
  explicit SpecialPieces(const lite::KorvelLiteProcessor& processor);

  bool empty() const { return ids_.empty(); }
  // Finds the leftmost match starting at or after `from`, the longest one
  // there; false when there is none.
  bool FindNext(std::string_view text, size_t from, Match* match) const;

 private:
  absl::flat_hash_map<std::string_view, int> ids_;
  // The distinct text lengths, longest first.
  std::vector<size_t> lengths_;
  std::bitset<256> first_bytes_;
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_SPECIAL_PIECES_H_
