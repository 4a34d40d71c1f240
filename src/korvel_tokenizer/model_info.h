#ifndef KORVEL_TOKENIZER_MODEL_INFO_H_
#define KORVEL_TOKENIZER_MODEL_INFO_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvel_tokenizer/tokenizer.h"

namespace korvel::tokenizer {

// What a model file holds beyond its pieces, as `korvel info` reports it.
// A plain copy: it does not refer to the tokenizer it was read from.
struct ModelInfo {
  struct PieceTypeCounts {
    uint64_t normal = 0;
    uint64_t unknown = 0;
    uint64_t control = 0;
    uint64_t user_defined = 0;
    uint64_t unused = 0;
    uint64_t byte = 0;
  };
  struct NormalizerInfo {
    std::string name;
    bool add_dummy_prefix = false;
    bool remove_extra_whitespaces = false;
    bool escape_whitespaces = false;
    bool whitespace_as_suffix = false;
    std::optional<size_t> charsmap_size;  // absent without a character map
  };
  struct PretokenizerStep {
    int family = 0;  // 0 for a pattern run by the regex engine
    std::string pattern;
  };

  ModelKind kind = ModelKind::kOther;
  int model_type = 0;  // the schema's ModelType, for a kind of kOther
  PieceTypeCounts piece_types;
  std::string unk_surface;
  bool byte_fallback = false;
  bool direct_mapping = false;
  // With direct mapping, how many pieces it may give; absent for all.
  std::optional<uint64_t> direct_mapping_pieces;
  std::optional<NormalizerInfo> normalizer;  // absent: text passes unchanged
  // Byte-level models only.
  bool ignore_merges = false;
  std::vector<PretokenizerStep> pretokenizer;
  // Sizes of the tries in bytes; absent when the model has none.
  std::optional<size_t> piece_trie_size;
  std::optional<size_t> user_defined_trie_size;
  std::optional<size_t> bigram_trie_size;
};

ModelInfo DescribeModel(const Tokenizer& tokenizer);

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_MODEL_INFO_H_
