// The tokenizer layer: opening models, encode options, special texts,
// offsets, and streaming decode against whole-sequence decoding.

#include "korvel_tokenizer/tokenizer.h"

#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_model_converters/model_converter.h"
#include "mixed_script_models.h"
#include "test_models.h"

namespace korvel::tokenizer {
namespace {

using ::korvel::lite::testing::AddBytePieces;
using ::korvel::lite::testing::FullModelWithUnknown;
using ::korvel::lite::testing::FullPiece;
using ::korvel::lite::testing::MixedScriptLiteModel;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// A unigram model with byte fallback and chat markup: "<s>", "</s>",
// "<start_of_turn>" and "<end_of_turn>" are CONTROL pieces.
korvel::ModelProto ChatFullModel(bool add_dummy_prefix = true,
                                 bool remove_extra_whitespaces = true) {
  korvel::ModelProto full = FullModelWithUnknown(
      {{"<s>", 0, FullPiece::CONTROL},
       {"</s>", 0, FullPiece::CONTROL},
       {"<start_of_turn>", 0, FullPiece::CONTROL},
       {"<start_of", 0, FullPiece::CONTROL},
       {"<end_of_turn>", 0, FullPiece::CONTROL},
       {"\xe2\x96\x81", -2}, {"\xe2\x96\x81user", -3}, {"\xe2\x96\x81Hi", -3},
       {"user", -4}, {"Hi", -4}, {"\xe2\x96\x81x\xe2\x96\x81y", -3},
       {"H", -5}, {"i", -5}, {"u", -5}, {"s", -5}, {"e", -5}, {"r", -5},
       {"<", -6}, {">", -6}, {"x", -6}, {"y", -6}},
      korvel::TrainerSpec::UNIGRAM);
  AddBytePieces(&full);
  full.mutable_trainer_spec()->set_byte_fallback(true);
  full.mutable_normalizer_spec()->set_add_dummy_prefix(add_dummy_prefix);
  full.mutable_normalizer_spec()->set_remove_extra_whitespaces(
      remove_extra_whitespaces);
  return full;
}

std::unique_ptr<Tokenizer> Load(const korvel::ModelProto& full) {
  absl::StatusOr<std::string> lite =
      lite::ToFlatbuffer(full, lite::ConverterOptions());
  EXPECT_TRUE(lite.ok()) << lite.status();
  absl::StatusOr<std::unique_ptr<Tokenizer>> tokenizer =
      Tokenizer::FromBytes(lite.ok() ? *lite : std::string());
  EXPECT_TRUE(tokenizer.ok()) << tokenizer.status();
  return tokenizer.ok() ? *std::move(tokenizer) : nullptr;
}

std::vector<std::string> Pieces(const Tokenizer& tokenizer,
                                const std::vector<int>& ids) {
  std::vector<std::string> pieces;
  for (int id : ids) pieces.emplace_back(tokenizer.IdToPiece(id));
  return pieces;
}

TEST(TokenizerTest, EncodeOptionsAndSpecialTexts) {
  const std::unique_ptr<Tokenizer> tokenizer = Load(ChatFullModel());
  ASSERT_NE(tokenizer, nullptr);
  const std::string chat = "<start_of_turn>user Hi<end_of_turn>";
  struct Case {
    std::string text;
    EncodeOptions options;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"Hi", {}, {"\xe2\x96\x81Hi"}},
      {"Hi", {true, true, false}, {"<s>", "\xe2\x96\x81Hi", "</s>"}},
      {"", {true, true, false}, {"<s>", "</s>"}},
      {chat, {false, false, true},
       {"<start_of_turn>", "\xe2\x96\x81user", "\xe2\x96\x81Hi",
        "<end_of_turn>"}},
      {"<start_of<s>", {false, false, true}, {"<start_of", "<s>"}},
      {"<s></s>", {false, false, true}, {"<s>", "</s>"}},
      {"<s>", {}, {"\xe2\x96\x81", "<", "s", ">"}},
  };
  for (const Case& c : cases) {
    std::vector<int> ids;
    ASSERT_TRUE(tokenizer->Encode(c.text, c.options, &ids).ok()) << c.text;
    EXPECT_THAT(Pieces(*tokenizer, ids), ElementsAreArray(c.pieces)) << c.text;
  }
  std::vector<int> ids;
  ASSERT_TRUE(tokenizer->Encode(chat, {}, &ids).ok());
  EXPECT_GT(ids.size(), 10u);  // the markup stays text when not parsed
}

}  // namespace
}  // namespace korvel::tokenizer
