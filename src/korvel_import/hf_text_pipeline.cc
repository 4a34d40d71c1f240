#include "korvel_import/internal/hf_text_pipeline.h"

#include <string>
#include <vector>

#include "absl/status/status.h"
#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"

namespace korvel::import::hf {
namespace {

constexpr char kWhitespaceSymbol[] = "\xE2\x96\x81";
constexpr int kMaxNesting = 16;

// Appends the components of `component` to `flat`, opening nested Sequences
// whose list member is `list_key`.
absl::Status Flatten(const Json& component, const char* list_key,
                     const char* what, int depth,
                     std::vector<const Json*>* flat) {
  if (!component.is_object()) {
    return absl::InvalidArgumentError(
        absl::StrCat("The ", what, " is not a JSON object"));
  }
  if (ComponentType(component) != "Sequence") {
    flat->push_back(&component);
    return absl::OkStatus();
  }
  if (depth >= kMaxNesting) {
    return absl::InvalidArgumentError(
        absl::StrCat("The ", what, " Sequence is nested too deeply"));
  }
  const Json* list = Member(component, list_key);
  if (list == nullptr || !list->is_array()) {
    return absl::InvalidArgumentError(
        absl::StrCat("The ", what, " Sequence has no \"", list_key, "\" list"));
  }
  for (const Json& child : *list) {
    absl::Status status = Flatten(child, list_key, what, depth + 1, flat);
    if (!status.ok()) return status;
  }
  return absl::OkStatus();
}

bool IsSpaceToWhitespaceSymbol(const Json& replace) {
  const Json* pattern = Member(replace, "pattern");
  const std::string* content = StringMember(replace, "content");
  if (pattern == nullptr || content == nullptr) return false;
  const std::string* literal = StringMember(*pattern, "String");
  return literal != nullptr && *literal == " " && *content == kWhitespaceSymbol;
}

// Replace(" {2,}", " ") and Strip: the spaces rule of the T5 and XLM-R
// family. Returns false for other components.
bool ReadSpaceRule(const Json& step, const std::string& type,
                   TextPipeline* pipeline) {
  if (type == "Strip") {
    pipeline->strips_left |= FlagMember(step, "strip_left");
    pipeline->strips_right |= FlagMember(step, "strip_right");
    return true;
  }
  const Json* pattern = Member(step, "pattern");
  const std::string* regex =
      pattern == nullptr ? nullptr : StringMember(*pattern, "Regex");
  const std::string* content = StringMember(step, "content");
  if (type != "Replace" || regex == nullptr || content == nullptr ||
      *regex != " {2,}" || *content != " ") {
    return false;
  }
  pipeline->collapses_spaces = true;
  return true;
}

absl::Status ReadNormalizer(const Json& normalizer, TextPipeline* pipeline) {
  std::vector<const Json*> steps;
  absl::Status status =
      Flatten(normalizer, "normalizers", "normalizer", 0, &steps);
  if (!status.ok()) return status;

  bool seen_charsmap = false;
  bool seen_prepend = false;
  bool seen_replace = false;
  for (const Json* step : steps) {
    const std::string type = ComponentType(*step);
    if (!seen_replace && ReadSpaceRule(*step, type, pipeline)) continue;
    if (type == "NFC" || type == "NFKC") {
      if (seen_replace || !pipeline->precompiled_charsmap.empty() ||
          pipeline->collapses_spaces || pipeline->strips_left ||
          pipeline->strips_right) {
        return absl::InvalidArgumentError(
            absl::StrCat("Unsupported normalizer: ", type,
                         " must come first, without Precompiled"));
      }
      seen_charsmap = true;
      // NFKC after or before NFC is NFKC.
      if (type == "NFKC" || pipeline->unicode_form == UnicodeForm::kNone) {
        pipeline->unicode_form =
            type == "NFKC" ? UnicodeForm::kNfkc : UnicodeForm::kNfc;
      }
    } else if (type == "Precompiled") {
      if (seen_charsmap || seen_replace || pipeline->collapses_spaces ||
          pipeline->strips_left || pipeline->strips_right) {
        return absl::InvalidArgumentError(
            "Unsupported normalizer: Precompiled must come once, before the "
            "Replace and Strip of spaces");
      }
      seen_charsmap = true;
      const Json* charsmap = Member(*step, "precompiled_charsmap");
      if (charsmap == nullptr) continue;
      if (!charsmap->is_string() ||
          !absl::Base64Unescape(charsmap->get_ref<const std::string&>(),
                                &pipeline->precompiled_charsmap)) {
        return absl::InvalidArgumentError(
            "Precompiled normalizer: precompiled_charsmap is not base64");
      }
    } else if (type == "Prepend") {
      const std::string* prepend = StringMember(*step, "prepend");
      if (seen_prepend || prepend == nullptr || *prepend != kWhitespaceSymbol) {
        return absl::InvalidArgumentError(
            "Unsupported normalizer: Prepend other than a single "
            "Prepend(\"\xE2\x96\x81\")");
      }
      seen_prepend = true;
    } else if (type == "Replace") {
      if (seen_replace || !IsSpaceToWhitespaceSymbol(*step)) {
        return absl::InvalidArgumentError(
            "Unsupported normalizer: Replace other than a single "
            "Replace(\" \" -> \"\xE2\x96\x81\")");
      }
      seen_replace = true;
    } else {
      return absl::InvalidArgumentError(absl::StrCat(
          "Unsupported normalizer: ", type.empty() ? "(no type)" : type,
          kWhatKorvelImports));
    }
  }
  if (seen_prepend && !seen_replace) {
    return absl::InvalidArgumentError(
        "Unsupported normalizer: Prepend(\"\xE2\x96\x81\") without "
        "Replace(\" \" -> \"\xE2\x96\x81\")");
  }
  pipeline->add_dummy_prefix = seen_prepend;
  pipeline->prefix_after_added_tokens = seen_prepend;
  pipeline->escape_whitespaces = seen_replace;
  pipeline->normalizer_replaces_spaces = seen_replace;
  return absl::OkStatus();
}

absl::Status ReadMetaspace(const Json& metaspace, TextPipeline* pipeline) {
  const std::string* replacement = StringMember(metaspace, "replacement");
  if (replacement == nullptr) replacement = StringMember(metaspace, "str_rep");
  if (replacement == nullptr || *replacement != kWhitespaceSymbol) {
    return absl::InvalidArgumentError(
        "Unsupported pre-tokenizer: Metaspace with a replacement other than "
        "\"\xE2\x96\x81\"");
  }
  bool prefix = true;
  if (const std::string* scheme = StringMember(metaspace, "prepend_scheme")) {
    if (*scheme == "always" || *scheme == "first") {
      prefix = true;
    } else if (*scheme == "never") {
      prefix = false;
    } else {
      return absl::InvalidArgumentError(
          absl::StrCat("Unsupported pre-tokenizer: Metaspace prepend_scheme \"",
                       *scheme, "\""));
    }
  } else if (const Json* legacy = Member(metaspace, "add_prefix_space")) {
    prefix = legacy->is_boolean() && legacy->get<bool>();
  }
  const Json* split = Member(metaspace, "split");
  const std::string* scheme = StringMember(metaspace, "prepend_scheme");
  pipeline->prefix_after_added_tokens =
      prefix && (scheme == nullptr || *scheme != "first");
  pipeline->add_dummy_prefix = prefix;
  pipeline->escape_whitespaces = true;
  pipeline->split_before_whitespace_symbol =
      split == nullptr || (split->is_boolean() && split->get<bool>());
  return absl::OkStatus();
}

// A Split on the space character finds nothing in text whose spaces the
// normalizer has already replaced.
bool IsSplitOnReplacedSpaces(const Json& split, const TextPipeline& pipeline) {
  const Json* pattern = Member(split, "pattern");
  const std::string* literal =
      pattern == nullptr ? nullptr : StringMember(*pattern, "String");
  return pipeline.normalizer_replaces_spaces && literal != nullptr &&
         *literal == " " && !FlagMember(split, "invert");
}

absl::Status RefusePreTokenizer(const std::string& type) {
  const char* kind =
      type == "BertPreTokenizer" ? " (WordPiece, BERT style)" : "";
  return absl::InvalidArgumentError(absl::StrCat(
      "Unsupported pre-tokenizer: ", type.empty() ? "(no type)" : type, kind,
      kWhatKorvelImports));
}

absl::Status ReadPreTokenizer(const Json& pre_tokenizer,
                              TextPipeline* pipeline) {
  std::vector<const Json*> steps;
  absl::Status status =
      Flatten(pre_tokenizer, "pretokenizers", "pre-tokenizer", 0, &steps);
  if (!status.ok()) return status;
  for (const Json* step : steps) {
    if (ComponentType(*step) == "ByteLevel") {
      pipeline->byte_level = true;
      return ReadByteLevelPreTokenizer(steps, &pipeline->splits);
    }
  }
  bool seen_metaspace = false;
  for (const Json* step : steps) {
    const std::string type = ComponentType(*step);
    if (type == "Split" && IsSplitOnReplacedSpaces(*step, *pipeline)) continue;
    if (type != "Metaspace") return RefusePreTokenizer(type);
    if (seen_metaspace || pipeline->escape_whitespaces) {
      return absl::InvalidArgumentError(
          "Unsupported pre-tokenizer: Metaspace on text whose whitespace is "
          "already replaced");
    }
    seen_metaspace = true;
    status = ReadMetaspace(*step, pipeline);
    if (!status.ok()) return status;
  }
  return absl::OkStatus();
}

}  // namespace

// Spaces collapsed before a Metaspace that adds "▁" in front: the full
// model's rule that removes leading, trailing and repeated spaces, except
// that the original keeps one trailing space unless it strips it.
absl::Status CheckSpaceRule(TextPipeline* pipeline) {
  if (!pipeline->collapses_spaces && !pipeline->strips_left &&
      !pipeline->strips_right) {
    return absl::OkStatus();
  }
  if (!pipeline->collapses_spaces || pipeline->normalizer_replaces_spaces ||
      !pipeline->escape_whitespaces || !pipeline->add_dummy_prefix) {
    return absl::InvalidArgumentError(absl::StrCat(
        "Unsupported normalizer: Replace(\" {2,}\", \" \") or Strip other "
        "than both before a Metaspace that prepends \"\xE2\x96\x81\"",
        kWhatKorvelImports));
  }
  if (!pipeline->strips_right) {
    pipeline->difference =
        "texts ending in a space encode differently: Replace(\" {2,}\", "
        "\" \") keeps one trailing space (a final \"\xE2\x96\x81\"), "
        "korvel's whitespace rule removes it";
  }
  return absl::OkStatus();
}

absl::StatusOr<TextPipeline> ReadTextPipeline(const Json& root) {
  TextPipeline pipeline;
  if (const Json* normalizer = Member(root, "normalizer")) {
    absl::Status status = ReadNormalizer(*normalizer, &pipeline);
    if (!status.ok()) return status;
  }
  if (const Json* pre_tokenizer = Member(root, "pre_tokenizer")) {
    absl::Status status = ReadPreTokenizer(*pre_tokenizer, &pipeline);
    if (!status.ok()) return status;
  }
  absl::Status status = CheckSpaceRule(&pipeline);
  if (!status.ok()) return status;
  if (pipeline.unicode_form != UnicodeForm::kNone) {
    pipeline.precompiled_charsmap = UnicodeFormCharsMap(pipeline.unicode_form);
  }
  return pipeline;
}

}  // namespace korvel::import::hf
