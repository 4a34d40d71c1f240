#ifndef KORVEL_IMPORT_HF_IMPORT_H_
#define KORVEL_IMPORT_HF_IMPORT_H_

#include <string>
#include <string_view>
#include <vector>

#include "absl/status/statusor.h"
#include "libkorvel/korvel_model.pb.h"

namespace korvel::import {

// Turns the text of a Hugging Face tokenizer.json into a full model that
// encodes text to the same ids, ready for ToFlatbuffer.
//
// Accepted: a BPE or Unigram model; a normalizer made of at most a
// Precompiled character map, Prepend("▁") and Replace(" " -> "▁"), or a
// Metaspace pre-tokenizer instead of the last two. Mapping:
//  - Unigram pieces keep their scores. A BPE piece gets the score -(rank of
//    the first merge producing it), so the score-ordered merger applies the
//    merges in list order; multi-character pieces that no merge produces
//    become UNUSED, as do pieces holding "▁" after their first character when
//    a Metaspace pre-tokenizer splits words.
//  - The unknown token is UNKNOWN, added tokens marked special are CONTROL,
//    other added tokens USER_DEFINED, and "<0xHH>" pieces of a byte-fallback
//    model BYTE; the rest NORMAL.
//  - Prepend or a Metaspace prefix scheme "always"/"first" turns the dummy
//    prefix on; extra whitespace is never removed. The begin, end and pad
//    piece names come from the post-processor template or the usual texts.
//
// Text is treated as it is when special tokens are not split out: a special
// token's text in the input is encoded as plain text. Known differences from
// the original, all on rare input:
//  - Metaspace adds no "▁" before a text that already starts with a space or
//    "▁"; the dummy prefix always does.
//  - The original normalizes the text on each side of a non-special added
//    token separately, so its dummy prefix also appears after such a token.
//  - An original Unigram model matches the texts of its special and unknown
//    tokens ("<s>", "<unk>") inside the text; CONTROL and UNKNOWN pieces are
//    never matched here.
//
// Anything else (another normalizer or pre-tokenizer, a WordPiece or
// WordLevel model, BPE dropout, ignore_merges, subword prefixes or suffixes,
// merges the score-ordered merger cannot reproduce, an incomplete byte range)
// gives kInvalidArgument with a message naming the component. Decoder and
// post-processor settings other than the special-token names are not read.
//
// Where the file imports but some rare texts encode differently, one line per
// difference is appended to `warnings` when it is not null.
absl::StatusOr<korvel::ModelProto> ImportHuggingFaceTokenizer(
    std::string_view tokenizer_json,
    std::vector<std::string>* warnings = nullptr);

}  // namespace korvel::import

#endif  // KORVEL_IMPORT_HF_IMPORT_H_
