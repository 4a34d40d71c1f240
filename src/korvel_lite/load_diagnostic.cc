#include "korvel_lite/load_diagnostic.h"

#include "korvel_lite/model.h"

namespace korvel::lite {

const char* DescribeLoadRule(LoadRule rule) {
  switch (rule) {
    case LoadRule::kNone:
      return "";
    case LoadRule::kBufferFraming:
      return "the buffer is empty, larger than 0x7ffffffe bytes or not at a "
             "4-byte aligned address";
    case LoadRule::kFlatbuffer:
      return "the bytes are not a well-formed lite model (flatbuffer "
             "verification failed)";
    case LoadRule::kPieceList:
      return "the model has no list of pieces";
    case LoadRule::kByteLevelLayout:
      return "a byte-level model must have model_type BYTE_LEVEL_BPE, "
             "bpe_scores and no scores";
    case LoadRule::kPretokenizerStep:
      return "a pre-tokenizer step names no known family and its pattern "
             "does not compile";
    case LoadRule::kRegexEngine:
      return "the model's pre-tokenizer needs the regex engine (PCRE2), "
             "which this build lacks";
    case LoadRule::kSpecialIds:
      return "unk_id, bos_id, eos_id or pad_id is neither -1 nor the index of "
             "a piece";
    case LoadRule::kCharacterMap:
      return "the normalizer's character map is malformed (its size header, "
             "trie or replacement pool, or a replacement longer than 4,096 "
             "bytes)";
    case LoadRule::kPieceTrie:
      return "the piece trie is missing or malformed, or holds a value that "
             "is no piece id";
    case LoadRule::kUserDefinedTrie:
      return "the user-defined trie is malformed or holds a value that is no "
             "piece id";
    case LoadRule::kBigramTrie:
      return "the bigram trie is malformed or holds a value that is no node "
             "of it";
    case LoadRule::kScoreCount:
      return "the scores (bpe_scores for a BPE model) are missing or not one "
             "per piece";
    case LoadRule::kTypeCount:
      return "the piece types are missing or not one per piece";
    case LoadRule::kDirectMappingFlagCount:
      return "the direct mapping flags are not one per piece";
    case LoadRule::kPieceLength:
      return "a piece is longer than 4,096 bytes";
    case LoadRule::kPieceInTrie:
      return "the piece trie does not map some piece's text to that piece's "
             "id (a duplicate, empty or missing piece)";
    case LoadRule::kUnknownSurfaceLength:
      return "the unknown surface is longer than 4,096 bytes";
    case LoadRule::kFiniteScores:
      return "a unigram score is not finite";
    case LoadRule::kBytePieceRange:
      return "\"<0x00>\" is a BYTE piece, but \"<0x00>\" to \"<0xFF>\" are not "
             "256 consecutive BYTE pieces";
    case LoadRule::kUnknownOrBytePieces:
      return "the model has neither an unknown piece (unk_id is -1) nor the "
             "256 byte pieces";
    case LoadRule::kByteLevelBytes:
      return "a byte-level model lacks the piece of some byte (byte 0's is "
             "the BYTE piece \"<0x00>\"), or has another BYTE piece";
  }
  return "an unknown rule";
}

std::string ExplainLoadFailure(std::string_view model_bytes) {
  const Model model(model_bytes);
  return DescribeLoadRule(model.broken_rule());
}

}  // namespace korvel::lite
