#ifndef KORVEL_LITE_LOAD_RULE_H_
#define KORVEL_LITE_LOAD_RULE_H_

#include <cstdint>

#include "absl/status/status.h"

namespace korvel::lite {

// The rules a lite model buffer must keep to load, in the order loading checks
// them. Each loading step returns the rule it found broken, or kNone; `Model`
// reports the bare status code of the first broken rule, and
// `ExplainLoadFailure` names it.
enum class LoadRule : uint8_t {
  kNone,
  // Framing: 1 to 0x7ffffffe bytes at a 4-byte aligned address.
  kBufferFraming,
  // The bytes verify as a lite model flatbuffer.
  kFlatbuffer,
  // The model has a list of pieces.
  kPieceList,
  // A model with `byte_level` has model_type BYTE_LEVEL_BPE, bpe_scores and
  // no scores.
  kByteLevelLayout,
  // Every pre-tokenizer step is a family or a pattern that compiles.
  kPretokenizerStep,
  // A pre-tokenizer pattern that is no family needs the regex engine, which
  // this build lacks.
  kRegexEngine,
  // unk_id, bos_id, eos_id and pad_id are -1 or a piece index.
  kSpecialIds,
  // The normalizer's character map is well formed.
  kCharacterMap,
  // The tries are well formed and hold values in range.
  kPieceTrie,
  kUserDefinedTrie,
  kBigramTrie,
  // The per-piece vectors hold one entry per piece.
  kScoreCount,
  kTypeCount,
  kDirectMappingFlagCount,
  // Every piece is at most 4,096 bytes and the piece trie maps its text to
  // its own id.
  kPieceLength,
  kPieceInTrie,
  // The unknown surface is at most 4,096 bytes.
  kUnknownSurfaceLength,
  // Unigram scores are finite.
  kFiniteScores,
  // When "<0x00>" is a BYTE piece, all 256 byte pieces follow it in order.
  kBytePieceRange,
  // The model has an unknown piece or all 256 byte pieces.
  kUnknownOrBytePieces,
  // A byte-level model has a NORMAL or USER_DEFINED piece for each byte value
  // but 0, the BYTE piece "<0x00>" for byte 0, and no other BYTE piece.
  kByteLevelBytes,
};

// The status code a model reports when `rule` is the first one it breaks.
constexpr absl::StatusCode LoadRuleStatusCode(LoadRule rule) {
  switch (rule) {
    case LoadRule::kNone:
      return absl::StatusCode::kOk;
    case LoadRule::kBufferFraming:
    case LoadRule::kFlatbuffer:
    case LoadRule::kPieceList:
      return absl::StatusCode::kInvalidArgument;
    case LoadRule::kRegexEngine:
      return absl::StatusCode::kUnimplemented;
    default:
      return absl::StatusCode::kInternal;
  }
}

}  // namespace korvel::lite

#endif  // KORVEL_LITE_LOAD_RULE_H_
