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

// Where the normalization loops write: the text and, with kOffsets, one
// input offset per byte, both through pointers into containers that grow
// geometrically and are cut to length by `Finish`. Every write must be
// preceded by a `Reserve` that covers it.
template <bool kOffsets>
class NormalizedWriter {
 public:
  NormalizedWriter(std::string* text, std::vector<size_t>* offsets,
                   size_t expected)
      : text_(text), offsets_(offsets) {
    Resize(0, expected);
  }

  void Reserve(size_t size) {
    if (static_cast<size_t>(end_ - out_) < size + kSlack) Grow(size + kSlack);
  }

  // Appends `size` bytes that all stand for the input at `input_offset`.
  void Put(const char* bytes, size_t size, size_t input_offset) {
    std::memcpy(out_, bytes, size);
    if constexpr (kOffsets) {
      size_t* offsets = offset_out_;
      for (size_t i = 0; i < size; ++i) offsets[i] = input_offset;
      offset_out_ += size;
    }
    out_ += size;
  }

  // Appends `ws`, the whitespace text (the symbol or a space), standing for
  // the input at `input_offset`.
  void PutWhitespace(std::string_view ws, size_t input_offset) {
    if (ws.size() == kWhitespaceSymbol.size()) {
      std::memcpy(out_, kWhitespaceSymbol.data(), kWhitespaceSymbol.size());
    } else {
      *out_ = ' ';
    }
    if constexpr (kOffsets) {
      for (size_t i = 0; i < ws.size(); ++i) offset_out_[i] = input_offset;
      offset_out_ += ws.size();
    }
    out_ += ws.size();
  }

  // Appends the `size` bytes of `input` at `input_offset`, each standing for
  // itself.
  void PutSpan(std::string_view input, size_t input_offset, size_t size) {
    const char* bytes = input.data() + input_offset;
    if (size <= kSlack && input.size() - input_offset >= kSlack) {
      std::memcpy(out_, bytes, kSlack);
    } else {
      std::memcpy(out_, bytes, size);
    }
    if constexpr (kOffsets) {
      size_t* offsets = offset_out_;
      for (size_t i = 0; i < size; ++i) offsets[i] = input_offset + i;
      offset_out_ += size;
    }
    out_ += size;
  }

  // Appends `bytes` with every space written as `ws`.
  void PutEscaped(std::string_view bytes, std::string_view ws,
                  size_t input_offset) {
    for (const char c : bytes) {
      if (c == ' ') {
        PutWhitespace(ws, input_offset);
      } else {
        Put(&c, 1, input_offset);
      }
    }
  }

  // Direct access for loops that write many small pieces after one
  // `Reserve`: the write positions, and `Advance` to the new text position
  // (the offsets follow it).
  char* cursor() const { return out_; }
  size_t* offset_cursor() const { return offset_out_; }
  void Advance(char* out) {
    if constexpr (kOffsets) offset_out_ += out - out_;
    out_ = out;
  }

  // The slack that `Reserve` keeps beyond the size asked for.
  static constexpr size_t kSlack = 16;

  void Finish() {
    const size_t written = static_cast<size_t>(out_ - text_->data());
    text_->resize(written);
    if constexpr (kOffsets) offsets_->resize(written);
  }

 private:
  void Grow(size_t size) {
    const size_t written = static_cast<size_t>(out_ - text_->data());
    const size_t wanted = written + size;
    const size_t doubled = 2 * text_->size();
    Resize(written, wanted > doubled ? wanted : doubled);
  }

  void Resize(size_t written, size_t new_size) {
    text_->resize(new_size);
    out_ = text_->data() + written;
    end_ = text_->data() + new_size;
    if constexpr (kOffsets) {
      offsets_->resize(new_size);
      offset_out_ = offsets_->data() + written;
    }
  }

  std::string* text_;
  std::vector<size_t>* offsets_;
  char* out_ = nullptr;
  char* end_ = nullptr;
  size_t* offset_out_ = nullptr;
};

// Normalizes well-formed UTF-8 without a character map: only the whitespace
// rules apply. User-defined pieces are not consulted.
void NormalizeWhitespaceOnly(std::string_view input, bool remove_extra,
                             std::string_view ws,
                             NormalizedWriter<false>* output) {
  bool previous_was_space = remove_extra;
  size_t pos = 0;
  const size_t size = input.size();
  while (pos < size) {
    const size_t space = FindSpace(input, pos);
    if (space > pos) {
      output->Reserve(space - pos);
      output->PutSpan(input, pos, space - pos);
      previous_was_space = false;
    }
    if (space == size) break;
    size_t run_end = space + 1;
    while (run_end < size && input[run_end] == ' ') ++run_end;
    if (remove_extra) {
      if (!previous_was_space) {
        output->Reserve(ws.size());
        output->PutWhitespace(ws, 0);
      }
      previous_was_space = true;
    } else {
      output->Reserve((run_end - space) * ws.size());
      for (size_t i = space; i < run_end; ++i) {
        output->PutWhitespace(ws, 0);
      }
    }
    pos = run_end;
  }
}

// The byte classes that the simple stretch takes, as bit masks: always, and
// when the next byte is ASCII.
constexpr uint32_t kSimpleClasses =
    (1u << static_cast<uint32_t>(ByteClass::kPlain)) |
    (1u << static_cast<uint32_t>(ByteClass::kSpace));
constexpr uint32_t kSimpleBeforeAscii =
    1u << static_cast<uint32_t>(ByteClass::kMapPrefix);

// Input bytes taken per step of the simple stretch, between two checks of
// the room left in the output.
constexpr size_t kStretchBlock = 64;

// The general loop over input[pos, end): every span as `NormalizePrefix`
// cuts it, with the whitespace rules.
//
// Stretches of bytes that the roots of the tries tell apart (ASCII bytes that
// pass alone, and spaces) are written here without branching on the byte: each
// writes a 4-byte word (the byte, or the whitespace text) and advances by 1,
// by the whitespace length or, for a collapsed space, by 0. Characters that
// start no key pass whole here as well; only the rest asks `NormalizePrefix`.
// The result is the same as asking it for every span.
template <bool kOffsets>
class SpanNormalizer {
 public:
  SpanNormalizer(const Normalizer& normalizer, std::string_view input,
                 std::string_view ws, NormalizedWriter<kOffsets>* output)
      : normalizer_(normalizer),
        input_(input),
        ws_(ws),
        output_(output),
        remove_extra_(normalizer.remove_extra_whitespaces),
        previous_was_space_(remove_extra_) {}

  void Run(size_t pos) {
    const size_t size = input_.size();
    while (pos < size) {
      pos = WriteSimpleStretch(pos);
      if (pos == size) break;
      pos = WriteSpan(pos);
    }
  }

 private:
  // Writes the simple stretch from `pos` and returns where it stops; the
  // input's last byte is left to WriteSpan. The loop keeps its state in
  // locals, since every store to the output may alias the members.
  size_t WriteSimpleStretch(size_t pos) {
    const size_t size = input_.size();
    const char* data = input_.data();
    const ByteClass* classes = normalizer_.byte_classes;
    const bool remove_extra = remove_extra_;
    bool previous_was_space = previous_was_space_;
    const uint32_t ws_word = ws_.size() == kWhitespaceSymbol.size()
                                 ? kWhitespaceSymbolWord
                                 : static_cast<uint32_t>(' ');
    // Output length of a byte by [is a space][previous_was_space].
    const size_t lengths[2][2] = {{1, 1}, {ws_.size(), 0}};
    while (pos + 1 < size) {
      const size_t block_end =
          size - 1 - pos > kStretchBlock ? pos + kStretchBlock : size - 1;
      output_->Reserve(kStretchBlock * 4);
      char* out = output_->cursor();
      size_t* offsets = output_->offset_cursor();
      size_t at = pos;
      for (; at < block_end; ++at) {
        const auto lead = static_cast<unsigned char>(data[at]);
        const auto next = static_cast<unsigned char>(data[at + 1]);
        const auto byte_class = static_cast<uint32_t>(classes[lead]);
        // One test for all classes: a kMapPrefix byte's keys continue only
        // with bytes of 0x80 or above.
        const uint32_t simple =
            kSimpleClasses | (kSimpleBeforeAscii & (0u - (next < 0x80)));
        if (((simple >> byte_class) & 1) == 0) break;
        const bool space =
            byte_class == static_cast<uint32_t>(ByteClass::kSpace);
        // Selected with masks and a table rather than branches: spaces fall
        // at no predictable places.
        const uint32_t space_mask = 0u - static_cast<uint32_t>(space);
        const uint32_t word = (ws_word & space_mask) | (lead & ~space_mask);
        std::memcpy(out, &word, sizeof(word));
        const size_t length = lengths[space][previous_was_space];
        if constexpr (kOffsets) {
          offsets[0] = at;
          offsets[1] = at;
          offsets[2] = at;
          offsets += length;
        }
        out += length;
        previous_was_space = space & remove_extra;
      }
      output_->Advance(out);
      pos = at;
      if (at < block_end) break;
    }
    previous_was_space_ = previous_was_space;
    return pos;
  }

  // Writes the one span at `pos` that the simple stretch did not take: a
  // multi-byte character that starts no key, a byte that passes alone, or
  // what `NormalizePrefix` makes of the longest prefix it matches. Returns
  // the position after it.
  size_t WriteSpan(size_t pos) {
    const char* data = input_.data();
    const auto lead = static_cast<unsigned char>(data[pos]);
    if (normalizer_.byte_classes[lead] == ByteClass::kMultiByte) {
      const int length =
          WellFormedMultiByteLength(data + pos, input_.size() - pos);
      output_->Reserve(4);
      previous_was_space_ = false;
      if (length == 0) {
        output_->Put(kReplacementCharacter.data(), kReplacementCharacter.size(),
                     pos);
        return pos + 1;
      }
      output_->Put(data + pos, static_cast<size_t>(length), pos);
      return pos + static_cast<size_t>(length);
    }
    if (normalizer_.PassesAlone(input_, pos)) {
      output_->Reserve(1);
      output_->Put(data + pos, 1, pos);
      previous_was_space_ = false;
      return pos + 1;
    }
    const NormalizedPrefix prefix =
        normalizer_.NormalizePrefix(input_.substr(pos));
    std::string_view text = prefix.replacement;
    if (previous_was_space_) {
      while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    }
    if (!text.empty()) {
      output_->Reserve(text.size() * ws_.size());
      if (std::memchr(text.data(), ' ', text.size()) == nullptr) {
        output_->Put(text.data(), text.size(), pos);
      } else {
        output_->PutEscaped(text, ws_, pos);
      }
      previous_was_space_ = text.back() == ' ';
    }
    if (!remove_extra_) previous_was_space_ = false;
    return pos + static_cast<size_t>(prefix.consumed);
  }

  const Normalizer& normalizer_;
  const std::string_view input_;
  const std::string_view ws_;
  NormalizedWriter<kOffsets>* const output_;
  const bool remove_extra_;
  // Whether the output so far ends in a space that collapses the next ones.
  bool previous_was_space_;
};

// Normalizes input[input_offset, end) after the leading whitespace: dummy
// prefix, the spans, then the end rules on the finished containers.
template <bool kOffsets>
void NormalizeRest(const Normalizer& normalizer, std::string_view input,
                   size_t input_offset, std::string* normalized,
                   std::vector<size_t>* offsets) {
  const std::string_view ws =
      normalizer.escape_whitespaces ? kWhitespaceSymbol : std::string_view(" ");
  const size_t remaining = input.size() - input_offset;
  {
    NormalizedWriter<kOffsets> output(normalized, offsets,
                                      3 * remaining / 2 + ws.size());
    if (normalizer.add_dummy_prefix && !normalizer.treat_whitespace_as_suffix) {
      output.PutWhitespace(ws, input_offset);
    }
    const std::string_view rest = input.substr(input_offset);
    bool done = false;
    if constexpr (!kOffsets) {
      if (!normalizer.charsmap_trie.bound() && IsWellFormedUtf8(rest)) {
        NormalizeWhitespaceOnly(rest, normalizer.remove_extra_whitespaces, ws,
                                &output);
        done = true;
      }
    }
    if (!done) {
      SpanNormalizer<kOffsets>(normalizer, input, ws, &output)
          .Run(input_offset);
    }
    output.Finish();
  }

  NormalizedOutput output(normalized, offsets, ws);
  input_offset = input.size();
  if (normalizer.remove_extra_whitespaces) {
    input_offset = output.RemoveTrailingWhitespace(input_offset);
  }
  if (normalizer.add_dummy_prefix && normalizer.treat_whitespace_as_suffix) {
    output.AppendWhitespace(input_offset);
  }
  output.Finish(input_offset);
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

  size_t input_offset = 0;
  if (normalizer.remove_extra_whitespaces) {
    while (true) {
      const NormalizedPrefix prefix =
          normalizer.NormalizePrefix(input.substr(input_offset));
      if (prefix.replacement != " ") break;
      input_offset += prefix.consumed;
      if (input_offset >= input.size()) return absl::StatusCode::kOk;
    }
  }

  if (offsets != nullptr) {
    NormalizeRest<true>(normalizer, input, input_offset, normalized, offsets);
  } else {
    NormalizeRest<false>(normalizer, input, input_offset, normalized, offsets);
  }
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
