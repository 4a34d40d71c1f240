// The text normalization pipeline: character map, whitespace rules and the
// offset map, plus the test that tells when normalization can be skipped.

#include <cstring>
#include <numeric>

#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

// The output of one normalization: the text and, when requested, the input
// offset of every byte written.
class NormalizedOutput {
 public:
  NormalizedOutput(std::string* text, std::vector<size_t>* offsets,
                   std::string_view ws)
      : text_(text), offsets_(offsets), ws_(ws) {}

  void Append(std::string_view bytes, size_t input_offset) {
    text_->append(bytes.data(), bytes.size());
    if (offsets_ != nullptr) {
      offsets_->insert(offsets_->end(), bytes.size(), input_offset);
    }
  }

  void AppendWhitespace(size_t input_offset) { Append(ws_, input_offset); }

  // Appends `bytes`, writing every space as the whitespace text.
  void AppendEscaped(std::string_view bytes, size_t input_offset) {
    size_t start = 0;
    while (start < bytes.size()) {
      const size_t space = FindSpace(bytes, start);
      Append(bytes.substr(start, space - start), input_offset);
      if (space == bytes.size()) break;
      AppendWhitespace(input_offset);
      start = space + 1;
    }
  }

  // Drops every whitespace text at the end. Returns the input offset of the
  // first dropped byte, or `input_offset` when nothing was dropped (or no
  // offsets are kept).
  size_t RemoveTrailingWhitespace(size_t input_offset) {
    while (text_->size() >= ws_.size() &&
           std::string_view(*text_).substr(text_->size() - ws_.size()) == ws_) {
      const size_t length = text_->size() - ws_.size();
      text_->resize(length);
      if (offsets_ != nullptr) {
        input_offset = (*offsets_)[length];
        offsets_->resize(length);
      }
    }
    return input_offset;
  }

  void Finish(size_t input_offset) {
    if (offsets_ != nullptr) offsets_->push_back(input_offset);
  }

 private:
  std::string* text_;
  std::vector<size_t>* offsets_;
  std::string_view ws_;
};

// Normalizes well-formed UTF-8 without a character map: only the whitespace
// rules apply. User-defined pieces are not consulted.
void NormalizeWhitespaceOnly(std::string_view input, bool remove_extra,
                             NormalizedOutput* output) {
  bool previous_was_space = remove_extra;
  size_t pos = 0;
  const size_t size = input.size();
  while (pos < size) {
    const size_t space = FindSpace(input, pos);
    if (space > pos) {
      output->Append(input.substr(pos, space - pos), 0);
      previous_was_space = false;
    }
    if (space == size) break;
    size_t run_end = space + 1;
    while (run_end < size && input[run_end] == ' ') ++run_end;
    if (remove_extra) {
      if (!previous_was_space) output->AppendWhitespace(0);
      previous_was_space = true;
    } else {
      for (size_t i = space; i < run_end; ++i) output->AppendWhitespace(0);
    }
    pos = run_end;
  }
}

}  // namespace

absl::StatusCode Model::Normalize(std::string_view input,
                                  std::string* normalized,
                                  std::vector<size_t>* offsets) const {
  if (status_ != absl::StatusCode::kOk) return status_;
  if (offsets != nullptr) offsets->clear();
  normalized->clear();
  if (input.empty()) return absl::StatusCode::kOk;

  if (normalizer.spec == nullptr) {
    normalized->assign(input.data(), input.size());
    if (offsets != nullptr) {
      offsets->resize(input.size() + 1);
      std::iota(offsets->begin(), offsets->end(), size_t{0});
    }
    return absl::StatusCode::kOk;
  }

  const bool remove_extra = normalizer.remove_extra_whitespaces;
  const std::string_view ws =
      normalizer.escape_whitespaces ? kWhitespaceSymbol : std::string_view(" ");
  const size_t size = input.size();
  size_t input_offset = 0;

  if (remove_extra) {
    while (true) {
      const NormalizedPrefix prefix =
          normalizer.NormalizePrefix(input.substr(input_offset));
      if (prefix.replacement != " ") break;
      input_offset += prefix.consumed;
      if (input_offset >= size) return absl::StatusCode::kOk;
    }
  }

  const size_t capacity = 3 * (size - input_offset) / 2;
  normalized->reserve(capacity);
  if (offsets != nullptr) offsets->reserve(capacity);
  NormalizedOutput output(normalized, offsets, ws);

  if (normalizer.add_dummy_prefix && !normalizer.treat_whitespace_as_suffix) {
    output.AppendWhitespace(input_offset);
  }

  const std::string_view rest = input.substr(input_offset);
  if (!normalizer.charsmap_trie.bound() && offsets == nullptr &&
      IsWellFormedUtf8(rest)) {
    NormalizeWhitespaceOnly(rest, remove_extra, &output);
  } else {
    bool previous_was_space = remove_extra;
    while (input_offset < size) {
      const NormalizedPrefix prefix =
          normalizer.NormalizePrefix(input.substr(input_offset));
      std::string_view text = prefix.replacement;
      if (previous_was_space) {
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
      }
      if (!text.empty()) {
        if (std::memchr(text.data(), ' ', text.size()) == nullptr) {
          output.Append(text, input_offset);
        } else {
          output.AppendEscaped(text, input_offset);
        }
        previous_was_space = text.back() == ' ';
      }
      input_offset += prefix.consumed;
      if (!remove_extra) previous_was_space = false;
    }
  }

  if (remove_extra) input_offset = output.RemoveTrailingWhitespace(input_offset);
  if (normalizer.add_dummy_prefix && normalizer.treat_whitespace_as_suffix) {
    output.AppendWhitespace(input_offset);
  }
  output.Finish(input_offset);
  return absl::StatusCode::kOk;
}

bool Model::CanSkipNormalization(std::string_view input) const {
  if (status_ != absl::StatusCode::kOk) return false;
  if (normalizer.spec == nullptr || input.empty()) return true;
  if (normalizer.charsmap_trie.bound() || normalizer.add_dummy_prefix ||
      normalizer.remove_extra_whitespaces) {
    return false;
  }
  if (normalizer.escape_whitespaces && FindSpace(input, 0) != input.size()) {
    return false;
  }
  return IsWellFormedUtf8(input);
}

}  // namespace korvel::lite
