#ifndef KORVEL_TESTS_SUPPORT_MIXED_SCRIPT_MODELS_H_
#define KORVEL_TESTS_SUPPORT_MIXED_SCRIPT_MODELS_H_

// Mid-sized models over made-up words in seven scripts (Latin, Cyrillic,
// Greek, Arabic, Devanagari, Hangul, CJK), built as full models and converted
// like real ones, for the concurrency test and the scaling benchmark.
//
// Both models normalize with a small character map (full-width ASCII, no-break
// and ideographic spaces, tabs, a ligature, the ellipsis) and the default
// whitespace rules, and have two user-defined pieces, "<sep>" and "<mask>".
// The BPE model adds byte fallback and gets the bigram trie and direct mapping
// from the converter; the unigram model has no byte pieces, so unknown text
// becomes one unknown id per stretch. Everything is deterministic.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "full_model_builder.h"
#include "korvel_model_converters/model_converter.h"
#include "test_models.h"
#include "utf8_encode.h"

namespace korvel::lite::testing {

inline constexpr char kMixedWhitespaceSymbol[] = "\xe2\x96\x81";

// The letters of each script: a range of code points.
struct Script {
  uint32_t first;
  uint32_t count;
};

inline const std::vector<Script>& MixedScripts() {
  static const auto* scripts = new std::vector<Script>{
      {'a', 26},     // Latin
      {0x430, 32},   // Cyrillic
      {0x3b1, 24},   // Greek
      {0x627, 20},   // Arabic
      {0x915, 30},   // Devanagari
      {0xac00, 60},  // Hangul syllables
      {0x4e00, 300}  // CJK
  };
  return *scripts;
}

// Words of one to six letters of one script each, `per_script` per script, in
// script order.
inline std::vector<std::string> MixedScriptWords(size_t per_script) {
  std::mt19937 rng(4242);
  std::vector<std::string> words;
  for (const Script& script : MixedScripts()) {
    std::set<std::string> seen;
    while (seen.size() < per_script) {
      std::string word;
      for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) {
        // Early letters are more frequent, as in real alphabets.
        const uint32_t a = rng() % script.count;
        const uint32_t b = rng() % script.count;
        AppendUtf8(script.first + (a < b ? a : b), &word);
      }
      if (seen.insert(word).second) words.push_back(word);
    }
  }
  return words;
}

inline std::vector<uint8_t> MixedScriptCharsMap() {
  std::vector<std::pair<std::string, std::string>> rules;
  for (uint32_t c = 0x21; c < 0x7f; ++c) {
    std::string full_width;
    AppendUtf8(0xff00 + c - 0x20, &full_width);
    rules.emplace_back(full_width, std::string(1, static_cast<char>(c)));
  }
  rules.emplace_back("\xc2\xa0", " ");
  rules.emplace_back("\xe3\x80\x80", " ");
  rules.emplace_back("\t", " ");
  rules.emplace_back("\xef\xac\x81", "fi");
  rules.emplace_back("\xe2\x80\xa6", "...");
  return BuildCharsMap(rules);
}

// The full model: "<unk>", the user-defined pieces, every letter, digits and
// punctuation, runs of two to eight whitespace symbols, then every prefix of
// "\u2581word" and "word" for the words, in order of length, so that each
// BPE piece is one merge away from two shorter ones and shorter pieces merge
// first. Stops at about `size` pieces (plus the byte pieces for BPE).
inline korvel::ModelProto MixedScriptFullModel(
    korvel::TrainerSpec::ModelType type, size_t size = 6000) {
  std::vector<std::string> texts = {"<sep>", "<mask>"};
  std::set<std::string> seen(texts.begin(), texts.end());
  auto add = [&](const std::string& text) {
    if (texts.size() < size && seen.insert(text).second) texts.push_back(text);
  };
  add(kMixedWhitespaceSymbol);
  for (const Script& script : MixedScripts()) {
    for (uint32_t i = 0; i < script.count; ++i) {
      std::string letter;
      AppendUtf8(script.first + i, &letter);
      add(letter);
    }
  }
  for (char c :
       std::string("0123456789.,!?;:'\"()-ABCDEFGHIJKLMNOPQRSTUVWXYZ")) {
    add(std::string(1, c));
  }
  std::string run = kMixedWhitespaceSymbol;
  for (int k = 2; k <= 8; ++k) {
    run += kMixedWhitespaceSymbol;
    add(run);
  }
  const std::vector<std::string> words = MixedScriptWords(600);
  for (size_t letters = 1; letters <= 6; ++letters) {
    for (const std::string& word : words) {
      // Cut after `letters` characters.
      size_t end = 0;
      size_t count = 0;
      while (end < word.size() && count < letters) {
        const auto lead = static_cast<unsigned char>(word[end]);
        end += lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        ++count;
      }
      if (count < letters) continue;
      add(kMixedWhitespaceSymbol + word.substr(0, end));
      add(word.substr(0, end));
    }
  }

  std::vector<FullPieceSpec> pieces;
  std::mt19937 rng(99);
  for (size_t i = 0; i < texts.size(); ++i) {
    const bool user_defined = i < 2;
    const float score = type == korvel::TrainerSpec::BPE
                            ? -static_cast<float>(i)
                            : -3.0f - static_cast<float>(i) / 1000.0f -
                                  static_cast<float>(rng() % 100) / 100.0f;
    pieces.push_back(
        {texts[i], user_defined ? 0.0f : score,
         user_defined ? FullPiece::USER_DEFINED : FullPiece::NORMAL});
  }
  korvel::ModelProto full = FullModelWithUnknown(pieces, type);
  if (type == korvel::TrainerSpec::BPE) {
    AddBytePieces(&full);
    full.mutable_trainer_spec()->set_byte_fallback(true);
  }
  const std::vector<uint8_t> charsmap = MixedScriptCharsMap();
  full.mutable_normalizer_spec()->set_precompiled_charsmap(
      std::string(charsmap.begin(), charsmap.end()));
  return full;
}

// The lite model of MixedScriptFullModel, converted with the default options.
inline std::string MixedScriptLiteModel(korvel::TrainerSpec::ModelType type,
                                        size_t size = 6000) {
  absl::StatusOr<std::string> lite =
      ToFlatbuffer(MixedScriptFullModel(type, size), ConverterOptions());
  if (!lite.ok()) {
    std::fprintf(stderr, "mixed-script model: %s\n",
                 std::string(lite.status().message()).c_str());
    std::abort();
  }
  return *std::move(lite);
}

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_MIXED_SCRIPT_MODELS_H_
