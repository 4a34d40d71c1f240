#ifndef KORVEL_IMPORT_HF_IMPORT_H_
#define KORVEL_IMPORT_HF_IMPORT_H_

#include <string>
#include <string_view>
#include <vector>

#include "absl/status/statusor.h"
#include "korvel_proto/korvel_model.pb.h"

namespace korvel::import {

// Turns the text of a Hugging Face tokenizer.json into a full model that
// encodes text to the same ids, ready for ToFlatbuffer.
//
// Accepted: a BPE model (score-ordered, optionally with byte fallback) or a
// Unigram model; a normalizer made of at most a Precompiled character map
// (or NFC and NFKC, built into one), Prepend("▁") and Replace(" " -> "▁"),
// or a Metaspace pre-tokenizer instead of the last two; a Split on " " after
// that Replace (it finds nothing); Replace(" {2,}", " ") with an optional Strip
// after the character map and before a prepending Metaspace, as the T5 and
// XLM-R family ship it. And byte-level BPE: a ByteLevel pre-tokenizer, alone or
// after Split steps (see hf_byte_level.h), with at most NFC or NFKC before it,
// and ignore_merges. Mapping:
//  - Unigram pieces keep their scores. A BPE piece gets the score -(rank of
//    the first merge producing it), so the score-ordered merger applies the
//    merges in list order; multi-character pieces that no merge produces
//    become UNUSED, as do pieces holding "▁" after their first character when
//    a Metaspace pre-tokenizer splits words.
//  - The unknown token is UNKNOWN, added tokens marked special are CONTROL,
//    other added tokens USER_DEFINED (they are cut out of the text before the
//    model, so merges that involve them are dropped), and "<0xHH>" pieces of
//    a byte-fallback model BYTE; the rest NORMAL. An unnormalized added token
//    holding "▁" while the normalizer replaces spaces stays a model piece. In
//    a BPE model the raw character of an ASCII byte may stand at the id of
//    its byte piece; it becomes that byte piece.
//  - Byte-level pieces are the raw bytes of their GPT-2 spelling, ranked as
//    BPE pieces; the model gets type BYTE_LEVEL_BPE and a byte_level spec
//    with every split's pattern and family. Ids that no piece names after
//    the last normal piece become UNUSED placeholders. Where a piece splits
//    into two parts that no merge joins (files with one merge per piece),
//    the merger may join them as tiktoken does (reported in `warnings`).
//  - Prepend or a Metaspace prefix scheme "always"/"first" turns the dummy
//    prefix on. Replace(" {2,}", " ") turns on the removal of leading,
//    trailing and repeated spaces; without a Strip of the right side the
//    original keeps one trailing space (reported in `warnings`). The begin,
//    end and pad piece names come from the post-processor template or the
//    usual texts.
//
// Text is treated as it is when special tokens are not split out: a special
// token's text in the input is encoded as plain text. Known differences from
// the original, all on rare input:
//  - Metaspace adds no "▁" before a text that already starts with a space or
//    "▁"; the dummy prefix always does.
//  - The original normalizes the text on each side of a non-special added
//    token separately, so its dummy prefix also appears after such a token
//    (reported in `warnings`).
//  - An original Unigram model matches the texts of its special and unknown
//    tokens ("<s>", "<unk>") inside the text; CONTROL and UNKNOWN pieces are
//    never matched here.
//  - Added tokens of "▁" that stay model pieces are matched by the original
//    against the character "▁" itself in the input (reported in `warnings`).
//
// Anything else (another normalizer or pre-tokenizer, a WordPiece or
// WordLevel model, BPE dropout, ignore_merges outside byte-level BPE, subword
// prefixes or suffixes, merges the score-ordered merger cannot reproduce, an
// incomplete byte range, added tokens with lstrip, rstrip or single_word that
// are not special) gives kInvalidArgument with a one-line message naming the
// component and, for components, what korvel imports. Decoder and
// post-processor settings other than the special-token names are not read.
//
// Where the file imports but some rare texts encode differently, one line per
// difference is appended to `warnings` when it is not null.
absl::StatusOr<korvel::ModelProto> ImportHuggingFaceTokenizer(
    std::string_view tokenizer_json,
    std::vector<std::string>* warnings = nullptr);

}  // namespace korvel::import

#endif  // KORVEL_IMPORT_HF_IMPORT_H_
