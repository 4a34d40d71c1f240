#ifndef KORVEL_TESTS_SUPPORT_TEST_MODELS_H_
#define KORVEL_TESTS_SUPPORT_TEST_MODELS_H_

// Builders of small lite models for the tests: vocabularies through the
// generated object API, tries through our double-array builder.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "korvel_lite/korvel_lite_model_generated.h"

namespace korvel::lite::testing {

struct TestPiece {
  std::string text;
  float score = 0.0f;
  PieceType type = PieceType_NORMAL;
};

// A double-array blob mapping each key to its value.
std::vector<uint8_t> BuildTrieBlob(
    std::vector<std::pair<std::string, int>> pairs);

// A character-map blob: the 4-byte trie size, the trie of the source texts and
// the pool of NUL-terminated replacements.
std::vector<uint8_t> BuildCharsMap(
    const std::vector<std::pair<std::string, std::string>>& rules);

// A character-map blob of NFKC-like folds: full-width letters, a ligature, a
// deleted character, two keys where one is a prefix of the other, an
// ideographic space and a character whose replacement holds spaces.
std::vector<uint8_t> FoldingCharsMap();

// The 256 BYTE pieces "<0x00>" ... "<0xFF>" with score 0.
std::vector<TestPiece> BytePieces();

// An object model over `pieces`: texts, scores (bpe_scores truncated for BPE),
// types, piece_trie and, when there are USER_DEFINED pieces,
// user_defined_trie. No normalizer spec; unk_id is the first UNKNOWN piece or
// -1.
ModelProtoT MakeModel(const std::vector<TestPiece>& pieces,
                      ModelType model_type = ModelType_UNIGRAM);

// A NormalizerSpec with the given flags and optional character map.
std::unique_ptr<NormalizerSpecT> MakeNormalizerSpec(
    bool add_dummy_prefix = true, bool remove_extra_whitespaces = true,
    bool escape_whitespaces = true, bool treat_whitespace_as_suffix = false,
    std::vector<uint8_t> charsmap = {});

// The finished flatbuffer of `model`, without identifier or size prefix. The
// string's heap buffer is suitably aligned for the runtime.
std::string Pack(const ModelProtoT& model);

// `Pack` into a shared string, ready for the processor's owning constructor.
std::shared_ptr<std::string> PackShared(const ModelProtoT& model);

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_TEST_MODELS_H_
