// The hand-written matchers. Each Match* function takes the position `p` of
// the text left to split (p < end) and returns the end of the match that the
// family's pattern finds there with leftmost-first (backtracking) semantics,
// or `p` when no alternative matches at `p`. The comments name the pattern's
// alternatives; where the regex engine would backtrack, the code computes the
// first choice that succeeds directly.

#include "korvel_pretokenizer/internal/family_split.h"

#include <cstdint>
#include <cstring>

#include "korvel_pretokenizer/internal/unicode_classes.h"

namespace korvel::pretokenizer::internal {
namespace {

using Byte = unsigned char;
using Matcher = const Byte* (*)(const Byte* p, const Byte* end);

constexpr uint32_t kPunctSymbol = kPunct | kSymbol;
constexpr uint32_t kLetterMark = kLetter | kMark;
// o200k's [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}] and [\p{Ll}\p{Lm}\p{Lo}\p{M}].
constexpr uint32_t kUpperSide = kLu | kLt | kLm | kLo | kMark;
constexpr uint32_t kLowerSide = kLl | kLm | kLo | kMark;
constexpr uint32_t kBothSides = kUpperSide & kLowerSide;

inline bool IsNewline(Byte b) { return b == '\r' || b == '\n'; }
inline bool IsAsciiAlpha(Byte b) {
  return static_cast<Byte>((b | 0x20) - 'a') < 26;
}

// How many of the 8 bytes at `p` come before the first that is not an ASCII
// letter (of either case with kBothCases, else small), all at once.
template <bool kBothCases>
inline int AsciiLetterPrefix(const Byte* p) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = kOnes * 0x80;
  uint64_t bytes;
  std::memcpy(&bytes, p, sizeof(bytes));
  const uint64_t low = (kBothCases ? bytes | kOnes * 0x20 : bytes) & ~kHigh;
  // Per byte, without carries: the high bit says low >= 'a', low > 'z'.
  const uint64_t letters = (low + kOnes * (0x80 - 'a')) &
                           ~(low + kOnes * (0x7f - 'z')) & ~bytes & kHigh;
  const uint64_t others = ~letters & kHigh;
  return others == 0 ? 8 : __builtin_ctzll(others) >> 3;
}

// SkipRun for a class set `mask` whose ASCII members are the ASCII letters
// AsciiLetterPrefix<kBothCases> takes, eight bytes at a time while they are
// ASCII.
template <bool kBothCases>
inline const Byte* SkipWord(const Byte* p, const Byte* end, uint32_t mask) {
  while (end - p >= 8) {
    const int n = AsciiLetterPrefix<kBothCases>(p);
    p += n;
    if (n < 8) {
      if (*p < 0x80) return p;
      break;
    }
  }
  return SkipRun(p, end, mask);
}

// The start of the word when `p` holds an ASCII letter or a space and an
// ASCII letter, else null: the common case of every family.
inline const Byte* AsciiWordStart(const Byte* p, const Byte* end) {
  const Byte* q = p + (*p == ' ' && end - p >= 2);
  return *q < 0x80 && (ClassOfAscii(*q) & kLetter) ? q : nullptr;
}

inline const Byte* SkipNewlines(const Byte* p, const Byte* end) {
  while (p < end && IsNewline(*p)) ++p;
  return p;
}

// `\s*[\r\n]+` (when kNewlines), `\s+(?!\S)` and `\s+`, at a space
// character.
template <bool kNewlines>
const Byte* MatchSpaces(const Byte* p, const Byte* end) {
  const Byte* last = p;  // the start of the run's last character
  const Byte* after_newline = nullptr;
  const Byte* q = p;
  while (q < end) {
    if (*q < 0x80) {
      if (!(ClassOfAscii(*q) & kSpace)) break;
      last = q++;
      if (kNewlines && IsNewline(*last)) after_newline = q;
      continue;
    }
    const Char c = CharAt(q, end);
    if (!(c.bits & kSpace)) break;
    last = q;
    q += c.length;
  }
  if (kNewlines && after_newline != nullptr) return after_newline;
  if (q == end) return end;
  // (?!\S) holds before the run's last character when the run has two.
  return last > p ? last : q;
}

// `'s|'t|'re|'ve|'m|'ll|'d` at an apostrophe; kCaseless as in (?i:...),
// where U+017F LATIN SMALL LETTER LONG S matches s too.
template <bool kCaseless>
const Byte* MatchContraction(const Byte* p, const Byte* end) {
  if (end - p < 2) return p;
  Byte a = p[1];
  if (kCaseless) {
    if (a == 0xc5 && end - p >= 3 && p[2] == 0xbf) return p + 3;
    a |= 0x20;
  }
  if (a == 's' || a == 't' || a == 'm' || a == 'd') return p + 2;
  if (end - p < 3) return p;
  const Byte b = kCaseless ? p[2] | 0x20 : p[2];
  if (((a == 'r' || a == 'v') && b == 'e') || (a == 'l' && b == 'l')) {
    return p + 3;
  }
  return p;
}

inline const Byte* OptionalContraction(const Byte* p, const Byte* end) {
  return p < end && *p == '\'' ? MatchContraction<true>(p, end) : p;
}

// `\p{N}{1,kMax}` after its first number.
template <int kMax>
const Byte* SkipNumbers(const Byte* p, const Byte* end) {
  for (int i = 1; i < kMax && p < end; ++i) {
    const Char c = CharAt(p, end);
    if (!(c.bits & kNumber)) break;
    p += c.length;
  }
  return p;
}

const Byte* MatchGpt2(const Byte* p, const Byte* end) {
  if (const Byte* word = AsciiWordStart(p, end)) {
    return SkipWord<true>(word + 1, end, kLetter);
  }
  if (*p == '\'') {
    const Byte* e = MatchContraction<false>(p, end);
    if (e != p) return e;
  }
  // ` ?\p{L}+`, ` ?\p{N}+`, ` ?[^\s\p{L}\p{N}]+`
  const Byte* q = *p == ' ' && end - p >= 2 ? p + 1 : p;
  const Char c = CharAt(q, end);
  if (c.bits & kLetter) return SkipRun(q + c.length, end, kLetter);
  if (c.bits & kNumber) return SkipRun(q + c.length, end, kNumber);
  if (c.bits & kNotSpaceLetterNumber) {
    return SkipRun(q + c.length, end, kNotSpaceLetterNumber);
  }
  return MatchSpaces<false>(p, end);
}

// ` ?[^\s\p{L}\p{N}]+` followed by [\r\n]* or, with kSlash, [\r\n/]*.
template <bool kSlash>
const Byte* MatchPunctuation(const Byte* p, const Char c, const Byte* end) {
  const Byte* q = p;
  Char d = c;
  if (*p == ' ' && end - p >= 2) {
    d = CharAt(p + 1, end);
    if (d.bits & kNotSpaceLetterNumber) {
      q = p + 1;
    } else {
      d = c;
    }
  }
  if (!(d.bits & kNotSpaceLetterNumber)) return p;
  q = SkipRun(q + d.length, end, kNotSpaceLetterNumber);
  while (q < end && (IsNewline(*q) || (kSlash && *q == '/'))) ++q;
  return q;
}

// Llama-3 / cl100k (kMaxDigits 3) and Qwen2 (1).
template <int kMaxDigits>
const Byte* MatchCl100k(const Byte* p, const Byte* end) {
  if (const Byte* word = AsciiWordStart(p, end)) {
    return SkipWord<true>(word + 1, end, kLetter);
  }
  if (*p == '\'') {
    const Byte* e = MatchContraction<true>(p, end);
    if (e != p) return e;
  }
  // `[^\r\n\p{L}\p{N}]?\p{L}+`
  const Char c = CharAt(p, end);
  const Byte* next = p + c.length;
  if (c.bits & kLetter) return SkipRun(next, end, kLetter);
  if (!(c.bits & kNumber) && !IsNewline(*p) && next < end) {
    const Char d = CharAt(next, end);
    if (d.bits & kLetter) return SkipRun(next + d.length, end, kLetter);
  }
  if (c.bits & kNumber) return SkipNumbers<kMaxDigits>(next, end);
  const Byte* e = MatchPunctuation<false>(p, c, end);
  if (e != p) return e;
  return MatchSpaces<true>(p, end);
}

// o200k's `[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+` at
// `s`: its end, or null. Sets *upper_end to the end of the longest
// upper-side run from `s`. The star gives back characters until the plus can
// start: the run's end when a lower-case letter follows it, else the run's
// last character that is on both sides.
const Byte* MatchCasedWord(const Byte* s, const Byte* end,
                           const Byte** upper_end) {
  const Byte* q = s;
  const Byte* after_both = nullptr;
  while (q < end) {
    const Char c = CharAt(q, end);
    if (!(c.bits & kUpperSide)) break;
    q += c.length;
    if (c.bits & kBothSides) after_both = q;
  }
  *upper_end = q;
  if (q < end) {
    const Char c = CharAt(q, end);
    if (c.bits & kLl) return SkipRun(q + c.length, end, kLowerSide);
  }
  return after_both;
}

const Byte* MatchO200k(const Byte* p, const Byte* end) {
  if (const Byte* word = AsciiWordStart(p, end)) {
    // ASCII capitals, then small letters or (second alternative) not.
    const Byte* q = word;
    while (q < end && static_cast<Byte>(*q - 'A') < 26) ++q;
    if (q == end || *q < 0x80) {
      if (q < end && static_cast<Byte>(*q - 'a') < 26) {
        return OptionalContraction(SkipWord<false>(q + 1, end, kLowerSide),
                                   end);
      }
      return OptionalContraction(q, end);
    }
  }
  const Char c = CharAt(p, end);
  const Byte* next = p + c.length;
  const Byte* upper_end;
  if (!(c.bits & (kLetter | kNumber)) && !IsNewline(*p)) {
    // The two word alternatives with the optional first character taken.
    if (next < end) {
      const Byte* e = MatchCasedWord(next, end, &upper_end);
      if (e != nullptr) return OptionalContraction(e, end);
      // A mark may also start the first alternative's word itself, which
      // comes before the second alternative.
      if (!(c.bits & kMark) && upper_end > next) {
        return OptionalContraction(upper_end, end);
      }
    }
    if (c.bits & kMark) {
      return OptionalContraction(MatchCasedWord(p, end, &upper_end), end);
    }
  } else if (c.bits & kLetter) {
    // The first alternative fails only on an upper-side run that no
    // lower-case letter follows, which the second then takes.
    const Byte* e = MatchCasedWord(p, end, &upper_end);
    return OptionalContraction(e != nullptr ? e : upper_end, end);
  }
  if (c.bits & kNumber) return SkipNumbers<3>(next, end);
  const Byte* e = MatchPunctuation<true>(p, c, end);
  if (e != p) return e;
  return MatchSpaces<true>(p, end);
}

const Byte* MatchDigits1To3(const Byte* p, const Byte* end) {
  const Char c = CharAt(p, end);
  return c.bits & kNumber ? SkipNumbers<3>(p + c.length, end) : p;
}

// U+3040-U+30FF (hiragana and katakana) and U+4E00-U+9FA5.
inline bool IsDeepSeekCjk(const Byte* p, const Byte* end) {
  if (end - p < 3 || *p < 0xe3 || *p > 0xe9 || (p[1] & 0xc0) != 0x80 ||
      (p[2] & 0xc0) != 0x80) {
    return false;
  }
  const uint32_t code =
      (p[0] & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu);
  return (code >= 0x3040 && code <= 0x30ff) ||
         (code >= 0x4e00 && code <= 0x9fa5);
}

const Byte* MatchDeepSeekCjk(const Byte* p, const Byte* end) {
  while (IsDeepSeekCjk(p, end)) p += 3;
  return p;
}

const Byte* MatchDeepSeek(const Byte* p, const Byte* end) {
  if (const Byte* word = AsciiWordStart(p, end)) {
    return SkipWord<true>(word + 1, end, kLetterMark);
  }
  // `[!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+`: every ASCII
  // punctuation or symbol character.
  if (*p < 0x80 && (ClassOfAscii(*p) & kPunctSymbol) && end - p >= 2 &&
      IsAsciiAlpha(p[1])) {
    const Byte* q = p + 2;
    while (q < end && IsAsciiAlpha(*q)) ++q;
    return q;
  }
  // `[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+`
  const Char c = CharAt(p, end);
  const Byte* next = p + c.length;
  if (!(c.bits & (kLetter | kPunctSymbol)) && !IsNewline(*p) && next < end) {
    const Char d = CharAt(next, end);
    if (d.bits & kLetterMark) return SkipRun(next + d.length, end, kLetterMark);
  }
  if (c.bits & kLetterMark) return SkipRun(next, end, kLetterMark);
  // ` ?[\p{P}\p{S}]+[\r\n]*`
  if (*p == ' ' && next < end) {
    const Char d = CharAt(next, end);
    if (d.bits & kPunctSymbol) {
      return SkipNewlines(SkipRun(next + d.length, end, kPunctSymbol), end);
    }
  }
  if (c.bits & kPunctSymbol) {
    return SkipNewlines(SkipRun(next, end, kPunctSymbol), end);
  }
  if (c.bits & kSpace) return MatchSpaces<true>(p, end);
  return p;
}

template <Matcher kMatch>
void SplitWith(std::string_view text,
               absl::FunctionRef<void(std::string_view piece)> on_piece) {
  const Byte* const begin = reinterpret_cast<const Byte*>(text.data());
  const Byte* const end = begin + text.size();
  const auto emit = [&](const Byte* from, const Byte* to) {
    on_piece(std::string_view(reinterpret_cast<const char*>(from), to - from));
  };
  const Byte* piece = begin;
  const Byte* p = begin;
  while (p < end) {
    const Byte* e = kMatch(p, end);
    if (e == p) {
      p += *p < 0x80 ? 1 : CharAt(p, end).length;
      continue;
    }
    if (piece < p) emit(piece, p);
    emit(p, e);
    piece = p = e;
  }
  if (piece < end) emit(piece, end);
}

}  // namespace

void SplitDeepSeekSequence(
    std::string_view text,
    absl::FunctionRef<void(std::string_view piece)> on_piece) {
  const Byte* const end =
      reinterpret_cast<const Byte*>(text.data()) + text.size();
  const Byte* p = reinterpret_cast<const Byte*>(text.data());
  const auto piece = [](const Byte* from, const Byte* to) {
    return std::string_view(reinterpret_cast<const char*>(from), to - from);
  };
  while (p < end) {
    const Char c = CharAt(p, end);
    const Byte* e;
    if (c.bits & kNumber) {
      // The main pattern matches nothing in a group of numbers.
      e = SkipNumbers<3>(p + c.length, end);
      on_piece(piece(p, e));
    } else {
      e = MatchDeepSeekCjk(p, end);
      if (e == p) {
        for (e = p + c.length; e < end;) {
          if (*e < 0x80) {
            if (static_cast<Byte>(*e - '0') < 10) break;
            ++e;
            continue;
          }
          const Char d = MultiByteCharAt(e, end);
          if ((d.bits & kNumber) || IsDeepSeekCjk(e, end)) break;
          e += d.length;
        }
      }
      SplitWith<MatchDeepSeek>(piece(p, e), on_piece);
    }
    p = e;
  }
}

void SplitFamily(Family family, std::string_view text,
                 absl::FunctionRef<void(std::string_view piece)> on_piece) {
  switch (family) {
    case Family::kGpt2:
      return SplitWith<MatchGpt2>(text, on_piece);
    case Family::kCl100k:
      return SplitWith<MatchCl100k<3>>(text, on_piece);
    case Family::kQwen2:
      return SplitWith<MatchCl100k<1>>(text, on_piece);
    case Family::kO200k:
      return SplitWith<MatchO200k>(text, on_piece);
    case Family::kDigits1To3:
      return SplitWith<MatchDigits1To3>(text, on_piece);
    case Family::kDeepSeekCjk:
      return SplitWith<MatchDeepSeekCjk>(text, on_piece);
    case Family::kDeepSeek:
      return SplitWith<MatchDeepSeek>(text, on_piece);
    case Family::kNone:
      break;
  }
  if (!text.empty()) on_piece(text);
}

}  // namespace korvel::pretokenizer::internal
