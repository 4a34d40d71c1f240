#ifndef KORVEL_IMPORT_INTERNAL_HF_TEXT_PIPELINE_H_
#define KORVEL_IMPORT_INTERNAL_HF_TEXT_PIPELINE_H_

#include <string>
#include <vector>

#include "absl/status/statusor.h"
#include "korvel_import/internal/hf_byte_level.h"
#include "korvel_import/internal/hf_json.h"
#include "korvel_import/internal/hf_normalization.h"

namespace korvel::import::hf {

// What a tokenizer.json's normalizer and pre-tokenizer do to text before its
// model sees it, in the terms of a full model's normalizer settings. Extra
// whitespace is never removed by the components this accepts.
struct TextPipeline {
  // The character-map blob of a Precompiled normalizer, or the one built for
  // `unicode_form`; empty for none.
  std::string precompiled_charsmap;
  UnicodeForm unicode_form = UnicodeForm::kNone;
  bool add_dummy_prefix = false;
  // The original adds its "▁" prefix to the text after every added token
  // too (Prepend, or Metaspace with any prefix scheme but "first").
  bool prefix_after_added_tokens = false;
  bool escape_whitespaces = false;
  // The normalizer itself writes "▁" for every space, so no space is left for
  // a pre-tokenizer or an added token to find.
  bool normalizer_replaces_spaces = false;
  // Replace(" {2,}", " ") and Strip, read together as the full model's rule
  // that removes leading, trailing and repeated spaces.
  bool collapses_spaces = false;
  bool strips_left = false;
  bool strips_right = false;
  // The one difference that rule leaves, or "": then one line of warning.
  std::string difference;
  // A Metaspace pre-tokenizer cuts the text into words before every "▁", so
  // no piece that holds "▁" after its first character can ever be produced.
  bool split_before_whitespace_symbol = false;
  // A ByteLevel pre-tokenizer: the text's bytes are the symbols, cut into
  // pre-tokens by `splits` in order.
  bool byte_level = false;
  std::vector<SplitPattern> splits;
};

// Reads the "normalizer" and "pre_tokenizer" members of the tokenizer.json
// root. Components the full model cannot express give kInvalidArgument with a
// message naming the component; what it can express only up to a difference
// on rare texts is named in `difference`.
absl::StatusOr<TextPipeline> ReadTextPipeline(const Json& root);

}  // namespace korvel::import::hf

#endif  // KORVEL_IMPORT_INTERNAL_HF_TEXT_PIPELINE_H_
