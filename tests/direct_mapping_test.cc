// Conversion of BPE models: direct-mapping flags decided with a preliminary
// model, and round trips from full models to ids.

#include <string>
#include <vector>

#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/model_converter.h"

namespace korvel::lite {
namespace {

using ::korvel::lite::testing::AddBytePieces;
using ::korvel::lite::testing::FullModel;
using ::korvel::lite::testing::FullModelWithUnknown;
using ::korvel::lite::testing::FullPiece;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::string Convert(const korvel::ModelProto& model) {
  absl::StatusOr<std::string> bytes = ToFlatbuffer(model, ConverterOptions());
  EXPECT_TRUE(bytes.ok()) << bytes.status();
  return bytes.ok() ? *bytes : std::string();
}

korvel::ModelProto Bpe(korvel::ModelProto model) {
  model.mutable_trainer_spec()->set_model_type(korvel::TrainerSpec::BPE);
  return model;
}

struct DirectMapping {
  bool enabled;
  std::vector<uint8_t> flags;  // empty when absent
};

DirectMapping DirectMappingOf(const korvel::ModelProto& model) {
  const std::string bytes = Convert(model);
  if (bytes.empty()) return {false, {}};
  EXPECT_EQ(KorvelLiteProcessor(bytes).status(), absl::StatusCode::kOk);
  const ModelProto* root = flatbuffers::GetRoot<ModelProto>(bytes.data());
  DirectMapping result{root->enable_direct_mapping(), {}};
  if (root->direct_mapping_flags() != nullptr) {
    result.flags.assign(root->direct_mapping_flags()->begin(),
                        root->direct_mapping_flags()->end());
  }
  return result;
}

TEST(DirectMappingTest, AllTestedPiecesPass) {
  const DirectMapping mapping =
      DirectMappingOf(FullModelWithUnknown({{"a", -1},
                                            {"b", -2},
                                            {"ab", -3},
                                            {"<u>", 0, FullPiece::USER_DEFINED},
                                            {"<s>", 0, FullPiece::CONTROL}},
                                           korvel::TrainerSpec::BPE));
  EXPECT_TRUE(mapping.enabled);
  EXPECT_THAT(mapping.flags, ::testing::IsEmpty());
}

TEST(DirectMappingTest, SomePiecesPass) {
  // "abc" has no merge path (neither "ab" nor "bc" is a piece); the 129-byte
  // piece is never tested.
  const DirectMapping mapping =
      DirectMappingOf(FullModelWithUnknown({{"a"},
                                            {"b"},
                                            {"c"},
                                            {"abc"},
                                            {std::string(129, 'a')},
                                            {"x", 0, FullPiece::UNUSED}},
                                           korvel::TrainerSpec::BPE));
  EXPECT_TRUE(mapping.enabled);
  EXPECT_THAT(mapping.flags, ElementsAre(1, 1, 1, 1, 0, 0, 1));
}

TEST(DirectMappingTest, NoTestedPiecePasses) {
  const DirectMapping mapping = DirectMappingOf(FullModelWithUnknown(
      {{std::string(129, 'a')}}, korvel::TrainerSpec::BPE));
  EXPECT_FALSE(mapping.enabled);
  EXPECT_THAT(mapping.flags, ::testing::IsEmpty());
}

TEST(DirectMappingTest, NoPieceIsTested) {
  korvel::ModelProto model = FullModelWithUnknown(
      {{"<s>", 0, FullPiece::CONTROL}, {"x", 0, FullPiece::UNUSED}},
      korvel::TrainerSpec::BPE);
  AddBytePieces(&model);
  const DirectMapping mapping = DirectMappingOf(model);
  EXPECT_FALSE(mapping.enabled);
  EXPECT_THAT(mapping.flags, ::testing::IsEmpty());
}

TEST(DirectMappingTest, PreliminaryModelMustLoad) {
  korvel::ModelProto model = Bpe(FullModel({{"a"}, {"b"}}));
  model.mutable_trainer_spec()->set_unk_id(2);
  const absl::StatusOr<std::string> bpe = ToFlatbuffer(model, {});
  EXPECT_EQ(bpe.status().code(), absl::StatusCode::kInternal);
  EXPECT_EQ(bpe.status().message(),
            "Failed to initialize preliminary processor for BPE direct "
            "mapping.");

  model.mutable_trainer_spec()->set_unk_surface(std::string(4097, 'u'));
  model.mutable_trainer_spec()->set_unk_id(-1);
  model.add_pieces()->set_piece("<unk>");
  model.mutable_pieces(2)->set_type(FullPiece::UNKNOWN);
  model.mutable_trainer_spec()->set_unk_id(2);
  EXPECT_EQ(ToFlatbuffer(model, {}).status().code(),
            absl::StatusCode::kInternal);

  // Only BPE conversions load the model they make; this one is refused later.
  model.mutable_trainer_spec()->set_model_type(korvel::TrainerSpec::UNIGRAM);
  model.mutable_trainer_spec()->set_unk_id(7);
  const absl::StatusOr<std::string> unigram = ToFlatbuffer(model, {});
  ASSERT_TRUE(unigram.ok()) << unigram.status();
  EXPECT_EQ(KorvelLiteProcessor(*unigram).status(),
            absl::StatusCode::kInternal);
}

TEST(DirectMappingTest, PreliminaryModelLacksNormalizerAndBigramTrie) {
  // A character map the runtime refuses would fail the preliminary load if
  // it were packed with it.
  korvel::ModelProto model =
      FullModelWithUnknown({{"a"}, {"b"}, {"ab"}}, korvel::TrainerSpec::BPE);
  model.mutable_normalizer_spec()->set_precompiled_charsmap("bad!");
  const std::string bytes = Convert(model);
  ASSERT_FALSE(bytes.empty());
  const ModelProto* root = flatbuffers::GetRoot<ModelProto>(bytes.data());
  ASSERT_NE(root->normalizer_spec(), nullptr);
  EXPECT_EQ(root->normalizer_spec()->precompiled_charsmap()->size(), 4u);
  EXPECT_NE(root->bigram_trie(), nullptr);
  EXPECT_TRUE(root->enable_direct_mapping());
  EXPECT_EQ(KorvelLiteProcessor(bytes).status(), absl::StatusCode::kInternal);
}

std::vector<int> EncodeWith(const std::string& bytes, const std::string& text) {
  KorvelLiteProcessor processor(bytes);
  EXPECT_EQ(processor.status(), absl::StatusCode::kOk);
  std::vector<int> ids;
  EXPECT_EQ(processor.Encode(text, &ids), absl::StatusCode::kOk);
  return ids;
}

TEST(DirectMappingTest, TheUnknownPieceNeverPasses) {
  // Here the unknown id is a NORMAL piece: "<unk>" encodes to it alone, but
  // within "z<unk>" every character is unknown and the whole text is one
  // unknown id, which direct mapping of the chunk "<unk>" would split.
  korvel::ModelProto model = Bpe(FullModel({{"<unk>"}, {"a"}}));
  model.mutable_trainer_spec()->set_unk_id(0);
  EXPECT_THAT(DirectMappingOf(model).flags, ElementsAre(0, 1));
  EXPECT_THAT(EncodeWith(Convert(model), "z<unk>"), ElementsAre(0));
}

TEST(RoundTripTest, Unigram) {
  korvel::ModelProto model = FullModelWithUnknown({{"\xe2\x96\x81"
                                                    "a",
                                                    -1},
                                                   {"\xe2\x96\x81", -3},
                                                   {"a", -3},
                                                   {"b", -4},
                                                   {"ab", -1}},
                                                  korvel::TrainerSpec::UNIGRAM);
  model.mutable_normalizer_spec();
  const std::string bytes = Convert(model);
  EXPECT_THAT(EncodeWith(bytes, "a  ab"), ElementsAre(1, 2, 5));
  EXPECT_THAT(EncodeWith(bytes, "ba"), ElementsAre(2, 4, 3));
  EXPECT_THAT(EncodeWith(bytes, "z"), ElementsAre(2, 0));
}

TEST(RoundTripTest, BpeWithByteFallback) {
  korvel::ModelProto model = FullModelWithUnknown({{"\xe2\x96\x81", -1},
                                                   {"a", -2},
                                                   {"b", -3},
                                                   {"c", -4},
                                                   {"\xe2\x96\x81"
                                                    "a",
                                                    -5},
                                                   {"bc", -6},
                                                   {"\xe2\x96\x81"
                                                    "abc",
                                                    -7}},
                                                  korvel::TrainerSpec::BPE);
  model.mutable_trainer_spec()->set_byte_fallback(true);
  AddBytePieces(&model);
  model.mutable_normalizer_spec();
  const std::string bytes = Convert(model);
  const int first_byte = 8;
  EXPECT_THAT(EncodeWith(bytes, "abc cb"), ElementsAre(7, 1, 4, 3));
  EXPECT_THAT(EncodeWith(bytes,
                         "\xc3\xa9"
                         "a"),
              ElementsAre(1, first_byte + 0xc3, first_byte + 0xa9, 2));
  // Chunking at safe boundaries leaves the ids as they are without it.
  const std::string text = "abc abcabc bca cab";
  KorvelLiteProcessor processor(bytes);
  std::string normalized;
  ASSERT_EQ(processor.Normalize(text, &normalized, nullptr),
            absl::StatusCode::kOk);
  std::vector<int> whole;
  ASSERT_EQ(processor.EncodeNormalizedChunk(normalized, &whole, nullptr),
            absl::StatusCode::kOk);
  EXPECT_THAT(EncodeWith(bytes, text), ElementsAreArray(whole));
}

}  // namespace
}  // namespace korvel::lite
