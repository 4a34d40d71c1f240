#ifndef KORVEL_TESTS_SUPPORT_ENCODING_TEST_UTIL_H_
#define KORVEL_TESTS_SUPPORT_ENCODING_TEST_UTIL_H_

// Helpers shared by the encoder tests: a model loaded over its own packed
// bytes, output collection, a scripted random source, and random BPE models
// and texts.

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_lite/model.h"
#include "korvel_model_converters/bigram_trie.h"
#include "test_models.h"

namespace korvel::lite::testing {

// Packs `proto` and loads a Model over the bytes it keeps.
class LoadedModel {
 public:
  explicit LoadedModel(const ModelProtoT& proto)
      : bytes_(Pack(proto)), model_(std::make_unique<Model>(bytes_)) {}

  const Model& operator*() const { return *model_; }
  const Model* operator->() const { return model_.get(); }
  Model* mutable_model() { return model_.get(); }

 private:
  std::string bytes_;
  std::unique_ptr<Model> model_;
};

// The ids and views that one encoding call appended.
struct Encoded {
  std::vector<int> ids;
  std::vector<std::string_view> surfaces;
};

// Returns scripted draws in order (repeating the last one when they run out)
// and counts the calls.
class ScriptedRng {
 public:
  explicit ScriptedRng(std::vector<float> draws) : draws_(std::move(draws)) {}

  float operator()() {
    const size_t index = calls_ < draws_.size() ? calls_ : draws_.size() - 1;
    ++calls_;
    return draws_[index];
  }
  size_t calls() const { return calls_; }

 private:
  std::vector<float> draws_;
  size_t calls_ = 0;
};

// One of Model's encoders, such as &Model::EncodeBPE.
using ModelEncoder = void (Model::*)(std::string_view, std::vector<int>*,
                                     std::vector<std::string_view>*, float,
                                     const RandomSource*) const;

// What `encoder` appends for `text`, drawing from `rng` when one is given.
inline Encoded EncodeWith(ModelEncoder encoder, const Model& model,
                          std::string_view text, float alpha,
                          ScriptedRng* rng) {
  Encoded out;
  if (rng == nullptr) {
    (model.*encoder)(text, &out.ids, &out.surfaces, alpha, nullptr);
  } else {
    auto draw = [rng] { return (*rng)(); };
    const RandomSource source(draw);
    (model.*encoder)(text, &out.ids, &out.surfaces, alpha, &source);
  }
  return out;
}

// The texts of `pieces`, for building a bigram trie.
inline std::vector<std::string> PieceTexts(
    const std::vector<TestPiece>& pieces) {
  std::vector<std::string> texts;
  for (const TestPiece& piece : pieces) texts.push_back(piece.text);
  return texts;
}

// The bigram trie over `texts`; empty when no text has two characters.
inline std::vector<uint8_t> BigramTrie(const std::vector<std::string>& texts) {
  return BuildBigramTrieBlob(texts).value();
}

// The concatenation of `surfaces`.
inline std::string Join(const std::vector<std::string_view>& surfaces) {
  std::string joined;
  for (std::string_view surface : surfaces) joined.append(surface);
  return joined;
}

// The characters of random BPE texts; the last two are in no piece.
inline const std::vector<std::string>& BpeAlphabet() {
  static const auto* alphabet = new std::vector<std::string>{
      "a",
      "b",
      "c",
      "n",
      "s",
      "t",
      "Q",
      "7",
      ".",
      "\xe2\x96\x81",      // whitespace symbol
      "\xc3\xa9",          // e acute
      "\xe4\xb8\xad",      // CJK
      "\xf0\x9f\x98\x80",  // emoji
      "\xce\xa9",          // in no piece
      "\x80",              // a stray continuation byte
  };
  return *alphabet;
}

// Random text of `min_chars` to `max_chars` alphabet characters, now and then
// followed by one that no piece holds.
inline std::string RandomBpeText(std::mt19937* rng, int min_chars,
                                 int max_chars) {
  const std::vector<std::string>& alphabet = BpeAlphabet();
  const int chars =
      min_chars + static_cast<int>((*rng)() % (max_chars - min_chars + 1));
  std::string text;
  for (int i = 0; i < chars; ++i) {
    text += alphabet[(*rng)() % (alphabet.size() - 2)];
    if ((*rng)() % 16 == 0)
      text += alphabet[alphabet.size() - 1 - (*rng)() % 2];
  }
  return text;
}

// Single characters and random words scored at random (ties included), a
// user-defined piece and a control piece, after <unk> or the byte pieces;
// with a bigram trie and direct mapping.
inline ModelProtoT RandomBpeModel(std::mt19937* rng, bool byte_pieces,
                                  bool user_defined) {
  std::vector<TestPiece> pieces =
      byte_pieces ? BytePieces()
                  : std::vector<TestPiece>{{"<unk>", 0.0f, PieceType_UNKNOWN}};
  std::vector<std::string> seen;
  auto add = [&](const std::string& text, PieceType type) {
    for (const std::string& other : seen) {
      if (other == text) return;
    }
    seen.push_back(text);
    pieces.push_back({text, -static_cast<float>((*rng)() % 50), type});
  };
  for (size_t i = 0; i + 2 < BpeAlphabet().size(); ++i) {
    add(BpeAlphabet()[i], PieceType_NORMAL);
  }
  for (int i = 0; i < 300; ++i) add(RandomBpeText(rng, 2, 5), PieceType_NORMAL);
  if (user_defined) add("sQ", PieceType_USER_DEFINED);
  add("ab", PieceType_CONTROL);
  ModelProtoT model = MakeModel(pieces, ModelType_BPE);
  model.bigram_trie = BigramTrie(PieceTexts(pieces));
  model.enable_direct_mapping = true;
  return model;
}

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_SUPPORT_ENCODING_TEST_UTIL_H_
