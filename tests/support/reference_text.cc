#include "reference_text.h"

#include <algorithm>
#include <cstring>

#include "reference_utf8.h"

namespace korvel::lite::fuzzing {
namespace {

constexpr std::string_view kWhitespaceSymbol = "\xE2\x96\x81";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Prefix {
  std::string_view replacement;
  size_t consumed;
};

Prefix NormalizePrefix(const Normalizer& normalizer, std::string_view input) {
  if (normalizer.user_defined_trie != nullptr &&
      normalizer.user_defined_trie->bound()) {
    const int length =
        normalizer.user_defined_trie->longest_prefix_lookup(input).length;
    if (length > 0)
      return {input.substr(0, length), static_cast<size_t>(length)};
  }
  if (normalizer.charsmap_trie.bound()) {
    const DoubleArray::Match match =
        normalizer.charsmap_trie.longest_prefix_lookup(input);
    if (match.length >= 1 &&
        static_cast<size_t>(match.value) < normalizer.replacement_pool_size) {
      const char* replacement = normalizer.replacement_pool + match.value;
      return {std::string_view(replacement, std::strlen(replacement)),
              static_cast<size_t>(match.length)};
    }
  }
  const int length = WellFormedLength(input);
  if (length == 0) return {kReplacement, 1};
  return {input.substr(0, length), static_cast<size_t>(length)};
}

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

void ReferenceNormalize(const Model& model, std::string_view input,
                        std::string* normalized, std::vector<size_t>* offsets) {
  std::vector<size_t> unused_offsets;
  const bool with_offsets = offsets != nullptr;
  if (!with_offsets) offsets = &unused_offsets;
  normalized->clear();
  offsets->clear();
  if (input.empty()) return;
  const Normalizer& normalizer = model.normalizer;
  if (normalizer.spec == nullptr) {
    normalized->assign(input);
    for (size_t i = 0; i <= input.size(); ++i) offsets->push_back(i);
    return;
  }
  const std::string_view ws =
      normalizer.escape_whitespaces ? kWhitespaceSymbol : " ";
  size_t at = 0;
  if (normalizer.remove_extra_whitespaces) {
    while (true) {
      const Prefix prefix = NormalizePrefix(normalizer, input.substr(at));
      if (prefix.replacement != " ") break;
      at += prefix.consumed;
      if (at == input.size()) return;
    }
  }
  auto append = [&](std::string_view text, size_t offset) {
    normalized->append(text);
    offsets->insert(offsets->end(), text.size(), offset);
  };
  if (!normalizer.treat_whitespace_as_suffix && normalizer.add_dummy_prefix) {
    append(ws, at);
  }
  bool previous_was_space = normalizer.remove_extra_whitespaces;
  if (!with_offsets && !normalizer.charsmap_trie.bound() &&
      IsWellFormed(input.substr(at))) {
    while (at < input.size()) {
      const size_t space = std::min(input.find(' ', at), input.size());
      if (space > at) {
        normalized->append(input.substr(at, space - at));
        previous_was_space = false;
      }
      size_t run_end = space;
      while (run_end < input.size() && input[run_end] == ' ') ++run_end;
      for (size_t k = space; k < run_end; ++k) {
        if (!normalizer.remove_extra_whitespaces || !previous_was_space) {
          normalized->append(ws);
        }
        previous_was_space = true;
      }
      at = run_end;
    }
  }
  while (at < input.size()) {
    const Prefix prefix = NormalizePrefix(normalizer, input.substr(at));
    std::string_view text = prefix.replacement;
    if (previous_was_space) {
      while (!text.empty() && text[0] == ' ') text.remove_prefix(1);
    }
    if (!text.empty()) {
      for (char c : text) {
        append(c == ' ' ? ws : std::string_view(&c, 1), at);
      }
      previous_was_space = text.back() == ' ';
    }
    at += prefix.consumed;
    if (!normalizer.remove_extra_whitespaces) previous_was_space = false;
  }
  if (normalizer.remove_extra_whitespaces) {
    while (EndsWith(*normalized, ws)) {
      const size_t length = normalized->size() - ws.size();
      if (with_offsets) {
        at = (*offsets)[length];
        offsets->resize(length);
      }
      normalized->resize(length);
    }
  }
  if (normalizer.treat_whitespace_as_suffix && normalizer.add_dummy_prefix) {
    append(ws, at);
  }
  offsets->push_back(at);
  if (!with_offsets) offsets->clear();
}

bool ReferenceCanSkipNormalization(const Model& model, std::string_view input) {
  const Normalizer& normalizer = model.normalizer;
  if (normalizer.spec == nullptr || input.empty()) return true;
  if (normalizer.charsmap_trie.bound() || normalizer.add_dummy_prefix ||
      normalizer.remove_extra_whitespaces) {
    return false;
  }
  if (normalizer.escape_whitespaces &&
      input.find(' ') != std::string_view::npos) {
    return false;
  }
  return IsWellFormed(input);
}

void ReferenceDecode(const Model& model, absl::Span<const int> ids,
                     std::string* text,
                     std::vector<std::pair<size_t, size_t>>* views) {
  text->clear();
  views->assign(ids.size(), {0, 0});
  const bool remove_extra_whitespaces =
      model.normalizer.remove_extra_whitespaces;
  const bool strip_leading_space =
      model.add_dummy_prefix || remove_extra_whitespaces;
  const int first_byte = model.first_byte_piece_id;
  bool at_text_start = true;
  bool prefix_consumed = false;
  std::string pending;
  size_t pending_start = 0;

  auto flush = [&] {
    std::string_view bytes = pending;
    size_t p = 0;
    while (p < bytes.size()) {
      const int length = WellFormedLength(bytes.substr(p));
      const size_t start = text->size();
      if (length == 0) {
        text->append(kReplacement);
        (*views)[pending_start + p] = {start, kReplacement.size()};
        ++p;
        continue;
      }
      text->append(bytes.substr(p, length));
      for (int k = 0; k + 1 < length; ++k) {
        (*views)[pending_start + p + k] = {start, 0};
      }
      (*views)[pending_start + p + length - 1] = {start,
                                                  static_cast<size_t>(length)};
      p += length;
    }
    pending.clear();
  };

  for (size_t i = 0; i < ids.size(); ++i) {
    const int id = ids[i];
    const PieceType type = model.types[id];
    if (type == PieceType_BYTE && first_byte != -1 && id >= first_byte &&
        id < first_byte + 256) {
      if (pending.empty()) pending_start = i;
      pending.push_back(static_cast<char>(id - first_byte));
      continue;
    }
    flush();
    if (type == PieceType_UNKNOWN) {
      (*views)[i] = {text->size(), model.unk_surface().size()};
      text->append(model.unk_surface());
      at_text_start = false;
      continue;
    }
    if (type == PieceType_CONTROL) {
      (*views)[i] = {text->size(), 0};
      continue;
    }
    if (prefix_consumed || !text->empty()) at_text_start = false;
    std::string_view piece = model.IdToPiece(id);
    if (at_text_start && strip_leading_space && piece.size() >= 3 &&
        piece.substr(0, 3) == kWhitespaceSymbol) {
      piece.remove_prefix(3);
      if (!remove_extra_whitespaces) prefix_consumed = true;
    }
    const size_t start = text->size();
    for (size_t k = 0; k < piece.size();) {
      if (piece.substr(k, 3) == kWhitespaceSymbol) {
        text->push_back(' ');
        k += 3;
      } else {
        text->push_back(piece[k]);
        ++k;
      }
    }
    (*views)[i] = {start, text->size() - start};
  }
  flush();
}

}  // namespace korvel::lite::fuzzing
