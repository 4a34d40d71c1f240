#ifndef KORVEL_TESTS_ENCODING_TEST_UTIL_H_
#define KORVEL_TESTS_ENCODING_TEST_UTIL_H_

// Helpers shared by the encoder tests: a model loaded over its own packed
// bytes, output collection and a scripted random source.

#include <cstddef>
#include <memory>
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

// The texts of `pieces`, for building a bigram trie.
inline std::vector<std::string> PieceTexts(const std::vector<TestPiece>& pieces) {
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

}  // namespace korvel::lite::testing

#endif  // KORVEL_TESTS_ENCODING_TEST_UTIL_H_
