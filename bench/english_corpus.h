#ifndef KORVEL_BENCH_ENGLISH_CORPUS_H_
#define KORVEL_BENCH_ENGLISH_CORPUS_H_

// English-like raw text and a unigram model fitted to it, generated
// deterministically for the benchmarks: sentences of common words drawn with a
// Zipf-like law and a long tail of rarer made-up words, with capitals,
// punctuation, digits, doubled spaces and the odd non-ASCII character of web
// text (curly quotes, accents, no-break spaces, ligatures, full-width letters,
// decomposed accents, a rare emoji or CJK character).
//
// The model has about 32000 pieces: "<unk>", "<s>", "</s>", optionally the 256
// byte pieces and LLaMA-style runs of whitespace symbols, every character seen
// at least a few times, and whole words, word starts and word ends scored by
// their log frequency. Its normalizer folds with an NFKC-style character map
// whose keys start with many ASCII letters (decomposed accents), as real
// NFKC maps do.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "test_models.h"
#include "utf8_encode.h"

namespace korvel::lite::bench {

inline constexpr std::string_view kWhitespaceSymbolText = "\xe2\x96\x81";

inline const std::vector<std::string>& CommonEnglishWords() {
  static const auto* words = new std::vector<std::string>{"the",
                                                          "of",
                                                          "and",
                                                          "to",
                                                          "a",
                                                          "in",
                                                          "is",
                                                          "that",
                                                          "for",
                                                          "it",
                                                          "as",
                                                          "was",
                                                          "with",
                                                          "be",
                                                          "by",
                                                          "on",
                                                          "not",
                                                          "he",
                                                          "this",
                                                          "are",
                                                          "or",
                                                          "his",
                                                          "from",
                                                          "at",
                                                          "which",
                                                          "but",
                                                          "have",
                                                          "an",
                                                          "had",
                                                          "they",
                                                          "you",
                                                          "were",
                                                          "their",
                                                          "one",
                                                          "all",
                                                          "we",
                                                          "can",
                                                          "her",
                                                          "has",
                                                          "there",
                                                          "been",
                                                          "if",
                                                          "more",
                                                          "when",
                                                          "will",
                                                          "would",
                                                          "who",
                                                          "so",
                                                          "no",
                                                          "she",
                                                          "other",
                                                          "its",
                                                          "may",
                                                          "these",
                                                          "what",
                                                          "them",
                                                          "than",
                                                          "some",
                                                          "him",
                                                          "time",
                                                          "into",
                                                          "only",
                                                          "do",
                                                          "could",
                                                          "new",
                                                          "about",
                                                          "two",
                                                          "first",
                                                          "then",
                                                          "our",
                                                          "most",
                                                          "also",
                                                          "made",
                                                          "my",
                                                          "over",
                                                          "such",
                                                          "after",
                                                          "like",
                                                          "even",
                                                          "many",
                                                          "must",
                                                          "before",
                                                          "through",
                                                          "years",
                                                          "where",
                                                          "should",
                                                          "people",
                                                          "between",
                                                          "world",
                                                          "state",
                                                          "still",
                                                          "under",
                                                          "never",
                                                          "while",
                                                          "system",
                                                          "during",
                                                          "without",
                                                          "however",
                                                          "government",
                                                          "because",
                                                          "number",
                                                          "against",
                                                          "company",
                                                          "several",
                                                          "public",
                                                          "general",
                                                          "national",
                                                          "development",
                                                          "important",
                                                          "information",
                                                          "children",
                                                          "political",
                                                          "social",
                                                          "country",
                                                          "example",
                                                          "although",
                                                          "different",
                                                          "following",
                                                          "community",
                                                          "environment",
                                                          "university",
                                                          "international",
                                                          "particular",
                                                          "research",
                                                          "economic",
                                                          "experience",
                                                          "education",
                                                          "president",
                                                          "building",
                                                          "question",
                                                          "problem",
                                                          "program",
                                                          "business",
                                                          "history",
                                                          "possible",
                                                          "together",
                                                          "another",
                                                          "things",
                                                          "little",
                                                          "house",
                                                          "water",
                                                          "small",
                                                          "large",
                                                          "great",
                                                          "little",
                                                          "long",
                                                          "good",
                                                          "right",
                                                          "every",
                                                          "found",
                                                          "place",
                                                          "think",
                                                          "thought",
                                                          "called",
                                                          "since",
                                                          "around",
                                                          "going",
                                                          "looked",
                                                          "always",
                                                          "already",
                                                          "something",
                                                          "nothing",
                                                          "everything",
                                                          "family",
                                                          "increase",
                                                          "interest",
                                                          "service",
                                                          "support",
                                                          "children",
                                                          "women",
                                                          "market",
                                                          "process",
                                                          "member",
                                                          "policy",
                                                          "quickly",
                                                          "simply",
                                                          "really",
                                                          "language",
                                                          "computer",
                                                          "software",
                                                          "network",
                                                          "science",
                                                          "technology",
                                                          "performance",
                                                          "measurement",
                                                          "tokenizer",
                                                          "running",
                                                          "working",
                                                          "walked",
                                                          "happened",
                                                          "considered",
                                                          "described",
                                                          "understanding",
                                                          "relationship",
                                                          "organization",
                                                          "responsibility",
                                                          "characteristics",
                                                          "approximately",
                                                          "significantly",
                                                          "unfortunately",
                                                          "nevertheless"};
  return *words;
}

// Made-up rare words from syllables, for the long tail of the vocabulary.
inline std::vector<std::string> RareEnglishWords(size_t count) {
  std::mt19937 rng(11);
  const std::vector<std::string> onsets = {
      "b",  "c",  "d",  "f",  "g",  "h",   "j",  "k",  "l",  "m",  "n",  "p",
      "qu", "r",  "s",  "t",  "v",  "w",   "y",  "z",  "bl", "br", "ch", "cl",
      "cr", "dr", "fl", "fr", "gl", "gr",  "ph", "pl", "pr", "sc", "sh", "sk",
      "sl", "sm", "sn", "sp", "st", "str", "sw", "th", "tr", "wh", ""};
  const std::vector<std::string> nuclei = {"a",  "e",  "i",  "o",  "u",
                                           "ai", "ea", "ee", "ie", "oa",
                                           "oo", "ou", "y",  "au"};
  const std::vector<std::string> codas = {"",   "",   "",   "",   "n",  "r",
                                          "s",  "t",  "l",  "m",  "nd", "nt",
                                          "st", "ck", "ng", "rt", "ss", "x"};
  const std::vector<std::string> suffixes = {
      "", "", "", "s", "ed", "ing", "er", "ly", "tion", "ness", "able", "ment"};
  std::vector<std::string> words;
  std::unordered_map<std::string, bool> seen;
  while (words.size() < count) {
    std::string word;
    for (int s = 1 + static_cast<int>(rng() % 3); s > 0; --s) {
      word += onsets[rng() % onsets.size()];
      word += nuclei[rng() % nuclei.size()];
      word += codas[rng() % codas.size()];
    }
    word += suffixes[rng() % suffixes.size()];
    if (!seen.emplace(word, true).second) continue;
    words.push_back(word);
  }
  return words;
}

// About `bytes` of raw English-like text, lines of one to four sentences.
inline std::string MakeEnglishText(size_t bytes) {
  std::mt19937 rng(5);
  const std::vector<std::string>& common = CommonEnglishWords();
  const std::vector<std::string> rare = RareEnglishWords(40000);
  std::vector<double> weights;
  for (size_t i = 0; i < common.size(); ++i) weights.push_back(4.0 / (i + 3));
  for (size_t i = 0; i < rare.size(); ++i) weights.push_back(0.2 / (i + 50));
  std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
  auto word_at = [&](size_t index) -> const std::string& {
    return index < common.size() ? common[index] : rare[index - common.size()];
  };
  // Rarer characters of web text, with their share of words in ten thousand.
  const std::vector<std::pair<std::string, int>> extras = {
      {"\xe2\x80\x99s", 60},            // right single quote + s
      {"caf\xc3\xa9", 20},              // café
      {"cafe\xcc\x81", 5},              // café with a combining accent
      {"\xe2\x80\x94", 25},             // em dash
      {"\xef\xac\x81nd", 4},            // ligature fi + nd
      {"\xef\xbc\xa1\xef\xbc\xa2", 3},  // full-width AB
      {"\xc2\xa0", 15},                 // no-break space
      {"na\xc3\xafve", 5},              // naïve
      {"\xe2\x80\x9cquoted\xe2\x80\x9d", 20},
      {"\xf0\x9f\x98\x80", 2},          // emoji
      {"\xe6\x97\xa5\xe6\x9c\xac", 2},  // CJK
      {"\xe2\x80\xa6", 5},              // ellipsis
  };
  std::string text;
  while (text.size() < bytes) {
    const int sentences = 1 + static_cast<int>(rng() % 4);
    for (int s = 0; s < sentences; ++s) {
      const int words = 4 + static_cast<int>(rng() % 18);
      for (int w = 0; w < words; ++w) {
        if (w > 0) text += rng() % 40 == 0 ? "  " : " ";
        const int roll = static_cast<int>(rng() % 10000);
        int cumulative = 0;
        bool extra = false;
        for (const auto& [surface, share] : extras) {
          cumulative += share;
          if (roll < cumulative) {
            text += surface;
            extra = true;
            break;
          }
        }
        if (extra) continue;
        if (rng() % 50 == 0) {
          text += std::to_string(rng() % 3000);
          continue;
        }
        std::string word = word_at(pick(rng));
        if (w == 0 || rng() % 25 == 0)
          word[0] = static_cast<char>(word[0] - 32);
        text += word;
        if (w + 1 < words && rng() % 9 == 0) text += ",";
      }
      text += rng() % 10 == 0 ? "?" : ".";
      if (s + 1 < sentences) text += " ";
    }
    text += "\n";
  }
  return text;
}

// 4 MB of English-like text.
inline const std::string& EnglishText() {
  static const std::string* text = new std::string(MakeEnglishText(4 << 20));
  return *text;
}

// The lines of EnglishText without their line feeds.
inline const std::vector<std::string_view>& EnglishLines() {
  static const auto* lines = [] {
    auto* result = new std::vector<std::string_view>;
    std::string_view text = EnglishText();
    while (!text.empty()) {
      const size_t end = text.find('\n');
      result->push_back(text.substr(0, end));
      if (end == std::string_view::npos) break;
      text.remove_prefix(end + 1);
    }
    return result;
  }();
  return *lines;
}

using testing::AppendUtf8;

inline std::string Utf8(uint32_t c) {
  std::string out;
  AppendUtf8(c, &out);
  return out;
}

// NFKC-style folds: full-width ASCII, ligatures, spaces and controls,
// superscripts and fractions, and letters followed by combining accents
// composed into one character, so that many ASCII letters begin a key.
inline std::vector<uint8_t> NfkcStyleCharsMap() {
  std::vector<std::pair<std::string, std::string>> rules = {
      {"\xef\xac\x80", "ff"},
      {"\xef\xac\x81", "fi"},
      {"\xef\xac\x82", "fl"},
      {"\xc2\xa0", " "},
      {"\xe3\x80\x80", " "},
      {"\xe2\x80\x83", " "},
      {"\t", " "},
      {"\r", " "},
      {"\n", " "},
      {"\xc2\xad", ""},
      {"\xe2\x80\xa6", "..."},
      {"\xc2\xb2", "2"},
      {"\xc2\xb3", "3"},
      {"\xc2\xbd",
       "1\xe2\x81\x84"
       "2"},
      {"\xe2\x84\xa2", "TM"}};
  for (uint32_t c = 0x21; c < 0x7f; ++c) {
    rules.emplace_back(Utf8(0xff00 + c - 0x20),
                       std::string(1, static_cast<char>(c)));
  }
  // Base letter + combining mark -> precomposed letter (Latin-1 supplement
  // and Latin Extended-A).
  const std::vector<std::pair<uint32_t, std::pair<char, uint32_t>>> composed = {
      {0xe0, {'a', 0x300}},   {0xe1, {'a', 0x301}},   {0xe2, {'a', 0x302}},
      {0xe3, {'a', 0x303}},   {0xe4, {'a', 0x308}},   {0xe5, {'a', 0x30a}},
      {0xe7, {'c', 0x327}},   {0xe8, {'e', 0x300}},   {0xe9, {'e', 0x301}},
      {0xea, {'e', 0x302}},   {0xeb, {'e', 0x308}},   {0xec, {'i', 0x300}},
      {0xed, {'i', 0x301}},   {0xee, {'i', 0x302}},   {0xef, {'i', 0x308}},
      {0xf1, {'n', 0x303}},   {0xf2, {'o', 0x300}},   {0xf3, {'o', 0x301}},
      {0xf4, {'o', 0x302}},   {0xf5, {'o', 0x303}},   {0xf6, {'o', 0x308}},
      {0xf9, {'u', 0x300}},   {0xfa, {'u', 0x301}},   {0xfb, {'u', 0x302}},
      {0xfc, {'u', 0x308}},   {0xfd, {'y', 0x301}},   {0xff, {'y', 0x308}},
      {0x107, {'c', 0x301}},  {0x10d, {'c', 0x30c}},  {0x11b, {'e', 0x30c}},
      {0x144, {'n', 0x301}},  {0x148, {'n', 0x30c}},  {0x159, {'r', 0x30c}},
      {0x15b, {'s', 0x301}},  {0x161, {'s', 0x30c}},  {0x165, {'t', 0x30c}},
      {0x17a, {'z', 0x301}},  {0x17e, {'z', 0x30c}},  {0x1e7f, {'v', 0x323}},
      {0x1e87, {'w', 0x307}}, {0x1e8b, {'x', 0x307}}, {0x1e03, {'b', 0x307}},
      {0x1e0b, {'d', 0x307}}, {0x1e1f, {'f', 0x307}}, {0x1e21, {'g', 0x304}},
      {0x1e23, {'h', 0x307}}, {0x1e31, {'k', 0x301}}, {0x1e37, {'l', 0x323}},
      {0x1e41, {'m', 0x307}}, {0x1e57, {'p', 0x307}}, {0x1e9b, {'j', 0x30c}}};
  for (const auto& [target, source] : composed) {
    rules.emplace_back(std::string(1, source.first) + Utf8(source.second),
                       Utf8(target));
    const char upper = static_cast<char>(source.first - 32);
    if (target < 0x100 && target != 0xff) {
      rules.emplace_back(std::string(1, upper) + Utf8(source.second),
                         Utf8(target - 0x20));
    }
  }
  return testing::BuildCharsMap(rules);
}

// The unigram model described at the top, fitted to `normalized` text (as
// the model's own normalizer writes it). `llama_style` adds the byte pieces
// (byte fallback) and pieces of two to sixteen whitespace symbols.
inline ModelProtoT EnglishUnigramModel(std::string_view normalized,
                                       bool llama_style) {
  constexpr size_t kVocabularySize = 32000;
  std::unordered_map<std::string, double> counts;
  std::unordered_map<std::string, double> characters;
  size_t pos = 0;
  while (pos < normalized.size()) {
    size_t end = normalized.find(kWhitespaceSymbolText, pos + 1);
    if (end == std::string_view::npos) end = normalized.size();
    const std::string word(normalized.substr(pos, end - pos));
    counts[word] += 1.0;
    for (size_t i = 0; i < word.size();) {
      const auto lead = static_cast<unsigned char>(word[i]);
      const size_t length = lead < 0xc0   ? 1
                            : lead < 0xe0 ? 2
                            : lead < 0xf0 ? 3
                                          : 4;
      characters[word.substr(i, length)] += 1.0;
      if (i > 0) counts[word.substr(0, i)] += 0.3;  // word starts
      if (i > 0) counts[word.substr(i)] += 0.3;     // word ends
      i += length;
    }
    pos = end;
  }
  std::vector<testing::TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                            {"<s>", 0.0f, PieceType_CONTROL},
                                            {"</s>", 0.0f, PieceType_CONTROL}};
  if (llama_style) {
    for (const testing::TestPiece& piece : testing::BytePieces()) {
      pieces.push_back(piece);
    }
  }
  double total = 0.0;
  for (const auto& [text, count] : counts) total += count;
  std::unordered_map<std::string, bool> taken;
  for (const auto& [character, count] : characters) {
    if (count < 8.0) continue;  // rare characters fall back
    taken[character] = true;
    pieces.push_back(
        {character, static_cast<float>(std::log(count / total)) - 2.0f});
  }
  if (llama_style) {
    std::string run(kWhitespaceSymbolText);
    for (int k = 2; k <= 16; ++k) {
      run += kWhitespaceSymbolText;
      taken[run] = true;
      pieces.push_back({run, -12.0f});
    }
  }
  std::vector<std::pair<std::string, double>> ranked(counts.begin(),
                                                     counts.end());
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  for (const auto& [text, count] : ranked) {
    if (pieces.size() >= kVocabularySize) break;
    if (text.size() > 48 || taken.count(text) != 0) continue;
    taken[text] = true;
    pieces.push_back({text, static_cast<float>(std::log(count / total))});
  }
  ModelProtoT model = testing::MakeModel(pieces);
  model.unk_id = 0;
  model.bos_id = 1;
  model.eos_id = 2;
  model.normalizer_spec =
      testing::MakeNormalizerSpec(true, true, true, false, NfkcStyleCharsMap());
  return model;
}

// EnglishText as the model's normalizer writes it.
inline const std::string& NormalizedEnglishText() {
  static const std::string* text = [] {
    ModelProtoT model =
        testing::MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN}});
    model.normalizer_spec = testing::MakeNormalizerSpec(true, true, true, false,
                                                        NfkcStyleCharsMap());
    KorvelLiteProcessor processor(testing::PackShared(model));
    auto* normalized = new std::string;
    processor.Normalize(EnglishText(), normalized, nullptr);
    return normalized;
  }();
  return *text;
}

// The processor over EnglishUnigramModel, built once per flavour.
inline const KorvelLiteProcessor& EnglishUnigramProcessor(bool llama_style) {
  static const KorvelLiteProcessor* processors[2] = {nullptr, nullptr};
  const KorvelLiteProcessor*& processor = processors[llama_style ? 1 : 0];
  if (processor == nullptr) {
    processor = new KorvelLiteProcessor(testing::PackShared(
        EnglishUnigramModel(NormalizedEnglishText(), llama_style)));
  }
  return *processor;
}

}  // namespace korvel::lite::bench

#endif  // KORVEL_BENCH_ENGLISH_CORPUS_H_
