// Decoding: piece ids back to text, with optional per-id views of the output.
//
// The text is written through a raw pointer into a string that is grown
// geometrically and cut to length at the end. The buffer always keeps
// kSlack bytes beyond the write position, so that a short piece is copied
// with one fixed-size move and each byte piece with one store. Most pieces
// come from the model's decode table: one 8-byte entry per id, holding either
// the decoded text (up to 7 bytes), written with one 8-byte move, or where in
// the model a text of up to 16 bytes lies, written with one 16-byte move.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

#include "absl/base/attributes.h"
#include "absl/base/optimization.h"
#include "absl/container/inlined_vector.h"
#include "korvel_lite/internal/allocation_guard.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/limits.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

// Room kept free beyond the write position before every id.
constexpr size_t kSlack = 64;
// The longest piece text copied with one fixed-size move.
constexpr size_t kShortPiece = 16;
// Bytes read from a short piece's text: up to a leading whitespace symbol and
// the fixed-size move after it.
constexpr size_t kShortPieceRead = 3 + kShortPiece;
// How many ids ahead the decode loop fetches table entries.
constexpr ptrdiff_t kPrefetchDistance = 16;
// Output bytes reserved per id at the start; grown when pieces run longer.
constexpr size_t kInitialBytesPerId = 4;

inline uint32_t LoadWord32(const char* p) {
  uint32_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

// A 16-byte block of piece text held in registers: a short piece is copied
// as one block, and searched for whitespace symbols in the same registers.
#if defined(__SSE2__)
using Block = __m128i;

inline Block LoadBlock(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void StoreBlock(char* p, Block block) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), block);
}

// The bits of the first k bytes of a block, for k = 0 to 16.
struct FirstBytes {
  uint32_t bits[kShortPiece + 1];
};
constexpr FirstBytes MakeFirstBytes() {
  FirstBytes first{};
  for (size_t k = 0; k <= kShortPiece; ++k) first.bits[k] = (1u << k) - 1;
  return first;
}
constexpr FirstBytes kFirstBytes = MakeFirstBytes();

// True when one of the first `length` (at most 16) bytes of `block` is 0xE2,
// the lead byte of the whitespace symbol.
inline bool HasSymbolLead(Block block, size_t length) {
  const auto hits = static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8('\xe2'))));
  return (hits & kFirstBytes.bits[length]) != 0;
}
#else
struct Block {
  uint64_t low;
  uint64_t high;
};

inline Block LoadBlock(const char* p) { return {LoadWord(p), LoadWord(p + 8)}; }

inline void StoreBlock(char* p, Block block) {
  std::memcpy(p, &block.low, sizeof(block.low));
  std::memcpy(p + 8, &block.high, sizeof(block.high));
}

// Masks of the first k bytes of a block, as two little-endian words, for
// k = 0 to 16.
constexpr Block MakeBlockMask(size_t k) {
  return {k >= 8 ? ~0ull : (1ull << (8 * k)) - 1,
          k <= 8    ? 0ull
          : k >= 16 ? ~0ull
                    : (1ull << (8 * (k - 8))) - 1};
}
constexpr Block kBlockMasks[17] = {
    MakeBlockMask(0),  MakeBlockMask(1),  MakeBlockMask(2),  MakeBlockMask(3),
    MakeBlockMask(4),  MakeBlockMask(5),  MakeBlockMask(6),  MakeBlockMask(7),
    MakeBlockMask(8),  MakeBlockMask(9),  MakeBlockMask(10), MakeBlockMask(11),
    MakeBlockMask(12), MakeBlockMask(13), MakeBlockMask(14), MakeBlockMask(15),
    MakeBlockMask(16)};

// True when one of the first `length` (at most 16) bytes of `block` is 0xE2,
// the lead byte of the whitespace symbol. A flagged byte of the zero-byte test
// is either a true hit or lies above one, so the test is exact once masked to
// the first `length` bytes.
inline bool HasSymbolLead(Block block, size_t length) {
  constexpr uint64_t kLowBits = 0x0101010101010101ull;
  constexpr uint64_t kLeads = 0xe2e2e2e2e2e2e2e2ull;
  const uint64_t low = block.low ^ kLeads;
  const uint64_t high = block.high ^ kLeads;
  const Block& mask = kBlockMasks[length];
  return ((((low - kLowBits) & ~low & mask.low) |
           ((high - kLowBits) & ~high & mask.high)) &
          kHighBits) != 0;
}
#endif

// Writes the piece text `text` (`length` bytes followed by a NUL) at `out`
// with one block move when it is short enough (after a leading whitespace
// symbol, which becomes the space written first) and, with kInnerSymbols,
// holds no whitespace symbol further on; returns the new write position, or
// null when the piece needs the full rules. `last_read` is the last address
// from which a block may be read before the model's end. A piece shorter than
// the symbol cannot match it, since its text ends in NUL.
template <bool kInnerSymbols>
ABSL_ATTRIBUTE_ALWAYS_INLINE inline char* WriteShortPiece(const char* text,
                                                          size_t length,
                                                          uintptr_t last_read,
                                                          char* out) {
  if (reinterpret_cast<uintptr_t>(text) > last_read) return nullptr;
  const size_t symbol = (LoadWord32(text) & 0xffffff) == kWhitespaceSymbolWord;
  const char* rest = text + 3 * symbol;
  const size_t rest_length = length - 3 * symbol;
  if (rest_length > kShortPiece) return nullptr;
  const Block block = LoadBlock(rest);
  if (kInnerSymbols && HasSymbolLead(block, rest_length)) return nullptr;
  *out = ' ';
  StoreBlock(out + symbol, block);
  return out + symbol + rest_length;
}

inline bool StartsWithSymbol(std::string_view text) {
  return text.size() >= kWhitespaceSymbol.size() &&
         std::memcmp(text.data(), kWhitespaceSymbol.data(),
                     kWhitespaceSymbol.size()) == 0;
}

// The kInModel entry of a piece with text `text`, or kTakeFullRules when the
// piece is not one optional leading whitespace symbol and then at most
// kShortPiece bytes with no symbol, or lies too near the model's end.
DecodedPiece InModelEntry(const Model& model, std::string_view text) {
  DecodedPiece entry = {{}, DecodedPiece::kTakeFullRules};
  const bool space = !model.byte_level && StartsWithSymbol(text);
  if (space) text.remove_prefix(kWhitespaceSymbol.size());
  const auto distance =
      static_cast<uint32_t>(model.bytes_end - text.data());
  if (text.size() > kShortPiece || distance < kShortPiece ||
      (!model.byte_level &&
       text.find(kWhitespaceSymbol) != std::string_view::npos)) {
    return entry;
  }
  std::memcpy(entry.text, &distance, sizeof(distance));
  entry.text[4] = static_cast<char>(text.size());
  entry.text[5] = static_cast<char>(space);
  entry.length = DecodedPiece::kInModel;
  return entry;
}

// Writes the decoded text of `entry`, an inline or kInModel entry, at `out`
// with one 8- or 16-byte move, and returns the new write position. `out`
// must have kShortPiece + 1 bytes of room and `model_end` be the end of the
// model buffer.
ABSL_ATTRIBUTE_ALWAYS_INLINE inline char* WriteTableEntry(
    const DecodedPiece& entry, const char* model_end, char* out) {
  if (ABSL_PREDICT_TRUE(entry.length != DecodedPiece::kInModel)) {
    std::memcpy(out, &entry, sizeof(entry));
    return out + entry.length;
  }
  uint32_t distance;
  std::memcpy(&distance, entry.text, sizeof(distance));
  const size_t space = static_cast<uint8_t>(entry.text[5]);
  *out = ' ';
  out += space;
  StoreBlock(out, LoadBlock(model_end - distance));
  return out + static_cast<uint8_t>(entry.text[4]);
}

// The decode table entry of piece `id`: what it decodes to wherever it does
// not start the text, when that needs no state and fits. That is a NORMAL or
// USER_DEFINED piece's text with each whitespace symbol written as a space
// (a byte-level model's piece as it is), nothing for a CONTROL piece, and
// byte 0 for a byte-level model's BYTE piece.
DecodedPiece TableEntry(const Model& model, uint32_t id) {
  DecodedPiece entry = {{}, DecodedPiece::kTakeFullRules};
  const flatbuffers::String* piece = model.root->pieces()->Get(id);
  std::string_view rest(piece->c_str(), piece->size());
  switch (model.types[id]) {
    case PieceType_NORMAL:
    case PieceType_USER_DEFINED:
      break;
    case PieceType_CONTROL:
      entry.length = 0;
      return entry;
    case PieceType_BYTE:
      if (model.byte_level) entry.length = 1;
      return entry;
    default:
      if (model.byte_level && model.types[id] != PieceType_UNKNOWN) {
        entry.length = 0;
      }
      return entry;
  }
  const std::string_view text = rest;
  uint8_t length = 0;
  while (!rest.empty() && length < sizeof(entry.text)) {
    if (!model.byte_level && StartsWithSymbol(rest)) {
      entry.text[length++] = ' ';
      rest.remove_prefix(kWhitespaceSymbol.size());
    } else {
      entry.text[length++] = rest.front();
      rest.remove_prefix(1);
    }
  }
  if (rest.empty()) {
    entry.length = length;
    return entry;
  }
  return InModelEntry(model, text);
}

// The state of one Decode call: the output text, the views (null when none
// are wanted) and the current run of byte pieces, which is written to the
// text as it comes and checked as UTF-8 when it ends.
//
// Views are appended in id order as pointers into the text: every id's view
// is recorded before the next id's, a byte run's when the run ends. When the
// text has to grow, the views recorded so far are moved to the new buffer.
template <bool kViews>
class Decoder {
 public:
  Decoder(const Model& model, size_t num_ids, std::string* text,
          std::vector<std::string_view>* views)
      : model_(model),
        pieces_(model.root->pieces()),
        types_(reinterpret_cast<const uint8_t*>(model.types)),
        table_(model.decode_table()),
        last_short_read_(reinterpret_cast<uintptr_t>(model.bytes_end) -
                         kShortPieceRead),
        vocab_size_(pieces_->size()),
        first_byte_(static_cast<uint32_t>(model.first_byte_piece_id)),
        num_byte_pieces_(model.first_byte_piece_id == -1 ? 0u : 256u),
        inner_symbols_(model.has_inner_whitespace_symbol),
        strip_leading_space_(model.add_dummy_prefix ||
                             model.normalizer.remove_extra_whitespaces),
        remove_extra_whitespaces_(model.normalizer.remove_extra_whitespaces),
        text_(text),
        views_(views) {
    // The text's old contents serve as scratch space, all written over or
    // cut off, so that only bytes beyond its old size are filled.
    const size_t wanted = num_ids * kInitialBytesPerId + kSlack;
    if (text_->size() < wanted) text_->resize(wanted);
    Bind(0);
  }

  // Decodes `ids`; false at the first id outside the vocabulary.
  bool Run(absl::Span<const int> ids) {
    const size_t n = ids.size();
    for (size_t i = 0; i < n; ++i) {
      // While nothing is written and the text start holds, a leading
      // whitespace symbol may still be dropped, and a byte run has to end
      // before the next piece: those ids take the full rules.
      if (!in_byte_run_ && (out_ != begin_ || !at_text_start_)) {
        i = inner_symbols_ ? WriteShortPieces<true>(ids, i)
                           : WriteShortPieces<false>(ids, i);
        if (i == n) break;
      }
      const auto id = static_cast<uint32_t>(ids[i]);
      if (id >= vocab_size_) return false;
      Add(id);
    }
    if (in_byte_run_) FlushByteRun();
    return true;
  }

  // Cuts the text to what was written.
  void Finish() { text_->resize(static_cast<size_t>(out_ - begin_)); }

 private:
  // Writes ids[i...] while they are in the decode table or short NORMAL
  // pieces and the buffer keeps its slack; returns the index of the first id
  // left to the full rules.
  // Without kInnerSymbols no piece holds a whitespace symbol after its start.
  template <bool kInnerSymbols>
  size_t WriteShortPieces(absl::Span<const int> ids, size_t i) {
    // Locals, since the stores through `out` might alias the members.
    const auto* const pieces = pieces_;
    const uint32_t vocab_size = vocab_size_;
    const uint8_t* const types = types_;
    const DecodedPiece* const table = table_;
    const char* const model_end = model_.bytes_end;
    const uintptr_t last_short_read = last_short_read_;
    const char* const limit = limit_;
    const int* const end_id = ids.data() + ids.size();
    const int* next_id = ids.data() + i;
    char* out = out_;
    for (; next_id != end_id; ++next_id) {
      const auto id = static_cast<uint32_t>(*next_id);
      if (id >= vocab_size || out > limit) break;
      if (table != nullptr) {
        if (end_id - next_id > kPrefetchDistance) {
          const auto ahead = static_cast<uint32_t>(next_id[kPrefetchDistance]);
          if (ahead < vocab_size) __builtin_prefetch(table + ahead);
        }
        const DecodedPiece& entry = table[id];
        if (entry.length != DecodedPiece::kTakeFullRules) {
          char* const end = WriteTableEntry(entry, model_end, out);
          if constexpr (kViews) {
            views_->emplace_back(out, static_cast<size_t>(end - out));
          }
          out = end;
          continue;
        }
      }
      if (types[id] != PieceType_NORMAL) break;
      const flatbuffers::String* piece = pieces->Get(id);
      char* const end = WriteShortPiece<kInnerSymbols>(
          piece->c_str(), piece->size(), last_short_read, out);
      if (end == nullptr) break;
      if constexpr (kViews) {
        views_->emplace_back(out, static_cast<size_t>(end - out));
      }
      out = end;
    }
    out_ = out;
    return static_cast<size_t>(next_id - ids.data());
  }

  // Decodes `id` by the full rules; the id is in range.
  void Add(uint32_t id) {
    if (out_ > limit_) Grow(0);
    const uint8_t type = types_[id];
    if (type == PieceType_BYTE && id - first_byte_ < num_byte_pieces_) {
      AddByte(id);
      return;
    }
    if (in_byte_run_) FlushByteRun();
    if (type == PieceType_UNKNOWN) {
      const size_t start = Written();
      Append(model_.unk_surface());
      Record(start);
      at_text_start_ = false;
      return;
    }
    if (type == PieceType_CONTROL) {
      Record(Written());
      return;
    }
    const flatbuffers::String* text = pieces_->Get(id);
    std::string_view piece(text->c_str(), text->size());
    if (prefix_consumed_ || out_ != begin_) at_text_start_ = false;
    if (at_text_start_ && strip_leading_space_ && StartsWithSymbol(piece)) {
      piece.remove_prefix(kWhitespaceSymbol.size());
      if (!remove_extra_whitespaces_) prefix_consumed_ = true;
    }
    AppendPiece(piece);
  }

  // Writes the byte of a byte piece, opening a run when none is open; the
  // caller has made room.
  void AddByte(uint32_t id) {
    if (!in_byte_run_) {
      in_byte_run_ = true;
      run_start_ = Written();
      run_bits_ = 0;
    }
    const uint32_t byte = id - first_byte_;
    run_bits_ |= byte;
    *out_++ = static_cast<char>(byte);
  }

  // Appends `piece`, the end of a piece's text in the model, with every
  // whitespace symbol written as a space.
  void AppendPiece(std::string_view piece) {
    const size_t start = Written();
    Reserve(piece.size());
    if (char* end = WriteShortPiece<true>(piece.data(), piece.size(),
                                          last_short_read_, out_)) {
      out_ = end;
      Record(start);
      return;
    }
    if (StartsWithSymbol(piece)) {
      *out_++ = ' ';
      piece.remove_prefix(kWhitespaceSymbol.size());
    }
    if (inner_symbols_) {
      size_t pos = 0;
      while (pos < piece.size()) {
        const void* hit = std::memchr(piece.data() + pos, kWhitespaceSymbol[0],
                                      piece.size() - pos);
        if (hit == nullptr) break;
        pos = static_cast<size_t>(static_cast<const char*>(hit) - piece.data());
        if (StartsWithSymbol(piece.substr(pos))) {
          Copy(piece.substr(0, pos));
          *out_++ = ' ';
          piece.remove_prefix(pos + kWhitespaceSymbol.size());
          pos = 0;
        } else {
          ++pos;
        }
      }
    }
    Copy(piece);
    Record(start);
  }

  // Ends the current byte run: a well-formed run stays as written; otherwise
  // it is rewritten with every byte that starts no well-formed character
  // replaced by U+FFFD. With views, the id of a character's last byte views
  // the character, its other ids view nothing at its start, and the id of a
  // malformed byte views its U+FFFD.
  void FlushByteRun() {
    in_byte_run_ = false;
    const std::string_view run(begin_ + run_start_, Written() - run_start_);
    const size_t valid =
        run_bits_ < 0x80 ? run.size() : WellFormedPrefixLength(run);
    if (valid == run.size()) {
      if constexpr (kViews) RecordCharacters(run_start_, run.size());
      return;
    }
    if constexpr (kViews) RecordCharacters(run_start_, valid);
    const absl::InlinedVector<char, 64> rest(run.begin() + valid, run.end());
    out_ = begin_ + run_start_ + valid;
    Reserve(rest.size() * kReplacementCharacter.size());
    std::string_view bytes(rest.data(), rest.size());
    while (!bytes.empty()) {
      const size_t start = Written();
      const size_t length = WellFormedCharLength(bytes);
      if (length == 0) {
        Copy(kReplacementCharacter);
        if constexpr (kViews) Record(start);
        bytes.remove_prefix(1);
        continue;
      }
      Copy(bytes.substr(0, length));
      if constexpr (kViews) {
        for (size_t k = 1; k < length; ++k) Record(start, start);
        Record(start);
      }
      bytes.remove_prefix(length);
    }
  }

  // Records the views of the well-formed characters written at
  // [start, start + length), for the ids of those bytes in order.
  void RecordCharacters(size_t start, size_t length) {
    const size_t end = start + length;
    while (start < end) {
      const size_t char_length =
          CharLength(static_cast<unsigned char>(begin_[start]));
      for (size_t k = 1; k < char_length; ++k) {
        Record(start, start);
      }
      Record(start, start + char_length);
      start += char_length;
    }
  }

  size_t Written() const { return static_cast<size_t>(out_ - begin_); }

  void Copy(std::string_view bytes) {
    std::memcpy(out_, bytes.data(), bytes.size());
    out_ += bytes.size();
  }

  void Append(std::string_view bytes) {
    Reserve(bytes.size());
    Copy(bytes);
  }

  // Makes room for `size` more bytes beyond the write position.
  void Reserve(size_t size) {
    if (static_cast<size_t>(end_ - out_) < size + kSlack) Grow(size);
  }

  // Grows the buffer to at least twice its size and to `size` + kSlack bytes
  // beyond the write position.
  void Grow(size_t size) {
    const size_t written = Written();
    const size_t wanted = written + size + kSlack;
    const size_t doubled = 2 * text_->size();
    const size_t new_size = wanted > doubled ? wanted : doubled;
    if (kViews && !views_->empty()) {
      // The new buffer is filled while the old one still holds the views.
      std::string bigger(new_size, '\0');
      std::memcpy(bigger.data(), begin_, written);
      for (std::string_view& view : *views_) {
        view = std::string_view(bigger.data() + (view.data() - begin_),
                                view.size());
      }
      text_->swap(bigger);
    } else {
      text_->resize(new_size);
    }
    Bind(written);
  }

  // Points the write position at `written` bytes into the text.
  void Bind(size_t written) {
    begin_ = text_->data();
    out_ = begin_ + written;
    end_ = begin_ + text_->size();
    limit_ = end_ - kSlack;
  }

  // Appends the view of the next id: [start, end of text) or [start, end).
  void Record(size_t start) { Record(start, Written()); }
  void Record(size_t start, size_t end) {
    if constexpr (kViews) views_->emplace_back(begin_ + start, end - start);
  }

  const Model& model_;
  const flatbuffers::Vector<flatbuffers::Offset<flatbuffers::String>>* pieces_;
  const uint8_t* types_;
  const DecodedPiece* table_;
  // The last address from which a short piece's text may be read.
  const uintptr_t last_short_read_;
  const uint32_t vocab_size_;
  const uint32_t first_byte_;
  const uint32_t num_byte_pieces_;
  const bool inner_symbols_;
  const bool strip_leading_space_;
  const bool remove_extra_whitespaces_;
  std::string* text_;
  std::vector<std::string_view>* views_;
  char* begin_ = nullptr;
  char* out_ = nullptr;
  char* end_ = nullptr;
  char* limit_ = nullptr;
  bool at_text_start_ = true;
  bool prefix_consumed_ = false;
  bool in_byte_run_ = false;
  size_t run_start_ = 0;
  // The bitwise or of the run's bytes: below 0x80 for an ASCII run.
  uint32_t run_bits_ = 0;
};

// Writes ids[i...] from the decode table at `*out` while their entries hold
// the text (or a kInModel distance) and `*out` stays at or before `limit`,
// which has kSlack bytes of room beyond it; returns the index of the first
// id left, which may be out of the vocabulary, and leaves `*out` after the
// text written.
template <bool kViews>
size_t WriteTableRun(const DecodedPiece* table, const char* model_end,
                     uint32_t vocab_size, absl::Span<const int> ids, size_t i,
                     const char* limit, char** out,
                     std::vector<std::string_view>* views) {
  const int* const end_id = ids.data() + ids.size();
  const int* next_id = ids.data() + i;
  char* at = *out;
  for (; next_id != end_id; ++next_id) {
    const auto id = static_cast<uint32_t>(*next_id);
    if (id >= vocab_size || at > limit) break;
    if (end_id - next_id > kPrefetchDistance) {
      const auto ahead = static_cast<uint32_t>(next_id[kPrefetchDistance]);
      if (ahead < vocab_size) __builtin_prefetch(table + ahead);
    }
    const DecodedPiece& entry = table[id];
    if (entry.length == DecodedPiece::kTakeFullRules) break;
    char* const end = WriteTableEntry(entry, model_end, at);
    if constexpr (kViews) {
      views->emplace_back(at, static_cast<size_t>(end - at));
    }
    at = end;
  }
  *out = at;
  return static_cast<size_t>(next_id - ids.data());
}

// Decoding of a byte-level model: every piece stands for its own bytes (the
// BYTE piece for byte 0), with no whitespace symbols and no dummy prefix; an
// UNKNOWN piece gives the unknown surface and a CONTROL piece nothing. The
// text keeps kSlack bytes free beyond the write position, so that a short
// piece is copied with one fixed-size move.
template <bool kViews>
bool DecodeByteLevel(const Model& model, absl::Span<const int> ids,
                     std::string* text, std::vector<std::string_view>* views) {
  static constexpr char kZeroByte[1] = {'\0'};
  const auto* pieces = model.root->pieces();
  const uint32_t vocab_size = pieces->size();
  const auto* types = reinterpret_cast<const uint8_t*>(model.types);
  const DecodedPiece* const table = model.decode_table();
  const uintptr_t last_short_read =
      reinterpret_cast<uintptr_t>(model.bytes_end) - kShortPiece;
  size_t written = 0;
  // As in Decoder, the text's old contents serve as scratch space.
  const size_t wanted = ids.size() * kInitialBytesPerId + kSlack;
  if (text->size() < wanted) text->resize(wanted);
  // Locals, since the stores through `out` might alias the string.
  char* base = text->data();
  size_t capacity = text->size();
  auto make_room = [&](size_t size) {
    if (capacity - written >= size + kSlack) return;
    text->resize(std::max(2 * capacity, written + size + kSlack));
    if constexpr (kViews) {
      for (std::string_view& view : *views) {
        view = std::string_view(text->data() + (view.data() - base),
                                view.size());
      }
    }
    base = text->data();
    capacity = text->size();
  };
  const size_t n = ids.size();
  for (size_t i = 0; i < n; ++i) {
    if (table != nullptr) {
      char* out = base + written;
      i = WriteTableRun<kViews>(table, model.bytes_end, vocab_size, ids, i,
                                base + (capacity - kSlack), &out, views);
      written = static_cast<size_t>(out - base);
      if (i == n) break;
    }
    const auto id = static_cast<uint32_t>(ids[i]);
    if (id >= vocab_size) return false;
    if (table != nullptr) {
      const DecodedPiece& entry = table[id];
      if (entry.length != DecodedPiece::kTakeFullRules) {
        make_room(kShortPiece);
        char* const out = base + written;
        const size_t length =
            static_cast<size_t>(WriteTableEntry(entry, model.bytes_end, out) -
                                out);
        if constexpr (kViews) views->emplace_back(out, length);
        written += length;
        continue;
      }
    }
    std::string_view bytes;
    bool from_piece = false;
    if (types[id] == PieceType_NORMAL || types[id] == PieceType_USER_DEFINED) {
      const flatbuffers::String* piece = pieces->Get(id);
      bytes = std::string_view(piece->c_str(), piece->size());
      from_piece = true;
    } else if (types[id] == PieceType_BYTE) {
      bytes = std::string_view(kZeroByte, 1);
    } else if (types[id] == PieceType_UNKNOWN) {
      bytes = model.unk_surface();
    }
    make_room(bytes.size());
    char* out = base + written;
    if (from_piece && bytes.size() <= kShortPiece &&
        reinterpret_cast<uintptr_t>(bytes.data()) <= last_short_read) {
      std::memcpy(out, bytes.data(), kShortPiece);
    } else if (!bytes.empty()) {
      std::memcpy(out, bytes.data(), bytes.size());
    }
    if constexpr (kViews) views->emplace_back(out, bytes.size());
    written += bytes.size();
  }
  text->resize(written);
  return true;
}

template <bool kViews>
bool DecodeIds(const Model& model, absl::Span<const int> ids, std::string* text,
               std::vector<std::string_view>* views) {
  if (model.byte_level) return DecodeByteLevel<kViews>(model, ids, text, views);
  Decoder<kViews> decoder(model, ids.size(), text, views);
  if (!decoder.Run(ids)) return false;
  decoder.Finish();
  return true;
}

}  // namespace

const DecodedPiece* Model::decode_table() const {
  absl::call_once(decode_table_once_, [this] {
    const size_t n = vocab_size();
    try {
      decode_table_.reset(new DecodedPiece[n]);
    } catch (const std::bad_alloc&) {
      return;
    }
    const auto num_pieces = static_cast<uint32_t>(n);
    for (uint32_t id = 0; id < num_pieces; ++id) {
      decode_table_[id] = TableEntry(*this, id);
    }
    derived_table_bytes_.fetch_add(n * sizeof(DecodedPiece),
                                   std::memory_order_release);
    decode_table_ready_.store(decode_table_.get(), std::memory_order_release);
  });
  return decode_table_ready_.load(std::memory_order_acquire);
}

absl::StatusCode KorvelLiteProcessor::Decode(
    absl::Span<const int> ids, std::string* text,
    std::vector<std::string_view>* surfaces) const {
  if (model_ == nullptr) return absl::StatusCode::kFailedPrecondition;
  if (text == nullptr || ids.size() >= kMaxTextSize) {
    return absl::StatusCode::kInvalidArgument;
  }
  auto clear_outputs = [&] {
    text->clear();
    if (surfaces != nullptr) surfaces->clear();
  };
  return GuardAllocation(
      [&] {
        if (surfaces != nullptr) {
          surfaces->clear();
          surfaces->reserve(ids.size());
        }
        const bool decoded =
            surfaces == nullptr ? DecodeIds<false>(*model_, ids, text, nullptr)
                                : DecodeIds<true>(*model_, ids, text, surfaces);
        if (decoded) return absl::StatusCode::kOk;
        clear_outputs();
        return absl::StatusCode::kOutOfRange;
      },
      clear_outputs);
}

}  // namespace korvel::lite
