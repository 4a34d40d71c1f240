#include "korvel_model_converters/model_converter.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/model.h"

namespace korvel::lite {
namespace {

using ::korvel::lite::testing::FullModel;
using ::korvel::lite::testing::FullModelWithUnknown;
using ::korvel::lite::testing::FullPiece;
using ::testing::ElementsAre;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::string Convert(const korvel::ModelProto& model,
                    const ConverterOptions& options = ConverterOptions()) {
  absl::StatusOr<std::string> bytes = ToFlatbuffer(model, options);
  EXPECT_TRUE(bytes.ok()) << bytes.status();
  return bytes.ok() ? *bytes : std::string();
}

const ModelProto* Root(const std::string& bytes) {
  flatbuffers::Verifier verifier(reinterpret_cast<const uint8_t*>(bytes.data()),
                                 bytes.size());
  if (bytes.empty() || !VerifyModelProtoBuffer(verifier)) {
    ADD_FAILURE() << "not a lite model";
    static const std::string* const empty = [] {
      flatbuffers::FlatBufferBuilder builder;
      ModelProtoT object;
      builder.Finish(ModelProto::Pack(builder, &object));
      return new std::string(
          reinterpret_cast<const char*>(builder.GetBufferPointer()),
          builder.GetSize());
    }();
    return flatbuffers::GetRoot<ModelProto>(empty->data());
  }
  return flatbuffers::GetRoot<ModelProto>(bytes.data());
}

std::vector<std::string> Pieces(const ModelProto* root) {
  std::vector<std::string> pieces;
  for (const flatbuffers::String* piece : *root->pieces()) {
    pieces.push_back(piece->str());
  }
  return pieces;
}

TEST(ConverterTest, DefaultOptions) {
  const ConverterOptions options;
  EXPECT_TRUE(options.bigram_trie_for_bpe_only);
  EXPECT_FALSE(options.rename_null_byte_piece);
  EXPECT_FALSE(options.allow_extended_model_types);
}

struct FailureCase {
  const char* name;
  korvel::ModelProto model;
  ConverterOptions options;
  absl::StatusCode code;
  std::string message;
};

korvel::ModelProto WithTrainer(korvel::ModelProto model,
                               korvel::TrainerSpec::ModelType type,
                               bool byte_fallback = false) {
  model.mutable_trainer_spec()->set_model_type(type);
  model.mutable_trainer_spec()->set_byte_fallback(byte_fallback);
  return model;
}

std::vector<FailureCase> FailureCases() {
  using korvel::TrainerSpec;
  const ConverterOptions defaults;
  ConverterOptions rename = defaults;
  rename.rename_null_byte_piece = true;
  const std::string nul(1, '\0');
  korvel::ModelProto bad_unk =
      WithTrainer(FullModel({{"a"}, {"b"}}), TrainerSpec::BPE);
  bad_unk.mutable_trainer_spec()->set_unk_id(2);
  // Byte-level models, each with one piece changed.
  auto byte_level = [](int id, const std::string& text) {
    korvel::ModelProto model = testing::ByteLevelFullModel({"ab"});
    model.mutable_pieces(id)->set_piece(text);
    return model;
  };
  korvel::ModelProto no_spec = byte_level(0, nul);
  no_spec.clear_byte_level();
  return {
      {"ByteLevelWithoutSpec", no_spec, defaults,
       absl::StatusCode::kInvalidArgument,
       "A byte-level model needs both model type BYTE_LEVEL_BPE and a "
       "byte_level spec."},
      {"ByteLevelMissingByte", byte_level(0xff, "zz"), defaults,
       absl::StatusCode::kInvalidArgument,
       "The byte-level model has no NORMAL piece for byte ff."},
      {"ByteLevelNullInsidePiece", byte_level(256, "a" + nul), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 256 is invalid (contains null byte)."},
      {"ByteLevelReservedText", byte_level(256, "<0x00>"), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 256 of a byte-level model is \"<0x00>\", the stored "
       "name of the piece of byte 0."},
      {"EmptyVocabulary", FullModel({}), defaults,
       absl::StatusCode::kInvalidArgument,
       "Model vocabulary size (0) is out of safe bounds [1, 16,000,000]."},
      {"WordModel", WithTrainer(FullModel({{"a"}}), TrainerSpec::WORD),
       defaults, absl::StatusCode::kInvalidArgument,
       "Unsupported model type: WORD"},
      {"CharModel", WithTrainer(FullModel({{"a"}}), TrainerSpec::CHAR),
       defaults, absl::StatusCode::kInvalidArgument,
       "Unsupported model type: CHAR"},
      {"TypeBeforePieces", WithTrainer(FullModel({{""}}), TrainerSpec::WORD),
       defaults, absl::StatusCode::kInvalidArgument,
       "Unsupported model type: WORD"},
      {"EmptyPiece", FullModel({{"a"}, {""}}), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 1 is invalid (empty or too long)."},
      {"LongPiece", FullModel({{"a"}, {"b"}, {std::string(4097, 'x')}}),
       defaults, absl::StatusCode::kInvalidArgument,
       "Piece at index 2 is invalid (empty or too long)."},
      {"NullInsidePiece", FullModel({{"a"}, {"b"}, {"x" + nul + "y"}}), rename,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 2 is invalid (contains null byte)."},
      {"NullPieceWithoutRename",
       WithTrainer(FullModel({{"a"}, {nul}}), TrainerSpec::UNIGRAM, true),
       defaults, absl::StatusCode::kInvalidArgument,
       "Piece at index 1 is invalid (contains null byte)."},
      {"NullPieceWithoutByteFallback",
       WithTrainer(FullModel({{"a"}, {nul}}), TrainerSpec::UNIGRAM, false),
       rename, absl::StatusCode::kInvalidArgument,
       "Piece at index 1 is invalid (contains null byte)."},
      {"NullPieceWithoutTrainer", FullModel({{nul}}), rename,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 0 is invalid (contains null byte)."},
      {"BpeScoreTwoToThe31",
       WithTrainer(FullModel({{"a", 2147483648.0f}}), TrainerSpec::BPE),
       defaults, absl::StatusCode::kInvalidArgument,
       "Piece at index 0 has an invalid BPE score."},
      {"BpeScoreMinusTwoToThe31",
       WithTrainer(FullModel({{"a"}, {"b", -2147483648.0f}}), TrainerSpec::BPE),
       defaults, absl::StatusCode::kInvalidArgument,
       "Piece at index 1 has an invalid BPE score."},
      {"BpeScoreInfinite",
       WithTrainer(FullModel({{"a", kInf}}), TrainerSpec::BPE), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 0 has an invalid BPE score."},
      {"BpeScoreMinusInfinite",
       WithTrainer(FullModel({{"a", -kInf}}), TrainerSpec::BPE), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 0 has an invalid BPE score."},
      {"BpeScoreNaN", WithTrainer(FullModel({{"a", kNaN}}), TrainerSpec::BPE),
       defaults, absl::StatusCode::kInvalidArgument,
       "Piece at index 0 has an invalid BPE score."},
      {"ScoreCheckedBeforeNextPiece",
       WithTrainer(FullModel({{"a", kNaN}, {""}}), TrainerSpec::BPE), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 0 has an invalid BPE score."},
      {"DuplicatePiece", FullModel({{"ab"}, {"c"}, {"ab"}}), defaults,
       absl::StatusCode::kInvalidArgument,
       "Duplicate key for trie building: ab"},
      {"PiecesCheckedBeforeTries", FullModel({{"ab"}, {"ab"}, {""}}), defaults,
       absl::StatusCode::kInvalidArgument,
       "Piece at index 2 is invalid (empty or too long)."},
      {"DuplicateUserDefinedPiece",
       FullModel({{"u", 0, FullPiece::USER_DEFINED},
                  {"u", 0, FullPiece::USER_DEFINED}}),
       defaults, absl::StatusCode::kInvalidArgument,
       "Duplicate key for trie building: u"},
      {"RenamedPieceCollides",
       WithTrainer(FullModel({{"<unused_1>"}, {nul}}), TrainerSpec::UNIGRAM,
                   true),
       rename, absl::StatusCode::kInvalidArgument,
       "Duplicate key for trie building: <unused_1>"},
      {"BpeUnknownIdOutOfRange", bad_unk, defaults, absl::StatusCode::kInternal,
       "Failed to initialize preliminary processor for BPE direct mapping."},
  };
}

TEST(ConverterTest, FailuresCarryTheirMessages) {
  for (const FailureCase& c : FailureCases()) {
    const absl::StatusOr<std::string> bytes = ToFlatbuffer(c.model, c.options);
    ASSERT_FALSE(bytes.ok()) << c.name;
    EXPECT_EQ(bytes.status().code(), c.code) << c.name;
    EXPECT_EQ(bytes.status().message(), c.message) << c.name;
  }
}

TEST(ConverterTest, PieceLengthAndScoreBounds) {
  const std::string longest(4096, 'x');
  const std::string bytes = Convert(FullModel({{longest}, {"y"}}));
  EXPECT_EQ(Root(bytes)->pieces()->Get(0)->size(), 4096u);

  const korvel::ModelProto bpe = FullModelWithUnknown(
      {{"a", 3.9f}, {"b", -3.9f}, {"c", 2147483520.0f}, {"d", -2147483520.0f}},
      korvel::TrainerSpec::BPE);
  const std::string bpe_bytes = Convert(bpe);
  ASSERT_FALSE(bpe_bytes.empty());
  const ModelProto* root = Root(bpe_bytes);
  EXPECT_EQ(root->model_type(), ModelType_BPE);
  EXPECT_EQ(root->scores(), nullptr);
  EXPECT_THAT(*root->bpe_scores(),
              ElementsAre(0, 3, -3, 2147483520, -2147483520));
}

TEST(ConverterTest, UnigramScoresAreCopiedUnchecked) {
  const std::string bytes =
      Convert(FullModel({{"a", -1.5f}, {"b", kNaN}, {"c", -kInf}}));
  const ModelProto* root = Root(bytes);
  EXPECT_EQ(root->bpe_scores(), nullptr);
  ASSERT_EQ(root->scores()->size(), 3u);
  EXPECT_EQ(root->scores()->Get(0), -1.5f);
  EXPECT_TRUE(std::isnan(root->scores()->Get(1)));
  EXPECT_EQ(root->scores()->Get(2), -kInf);
  // The runtime refuses the non-finite scores.
  EXPECT_EQ(Model(bytes).status(), absl::StatusCode::kInternal);
}

TEST(ConverterTest, ModelWithoutTrainerSpec) {
  const std::string bytes = Convert(FullModel({{"<unk>", 0, FullPiece::UNKNOWN},
                                               {"<s>", 0, FullPiece::CONTROL},
                                               {"</s>", 0, FullPiece::CONTROL},
                                               {"<pad>", 0, FullPiece::CONTROL},
                                               {"ab", -1.0f}}));
  const ModelProto* root = Root(bytes);
  EXPECT_EQ(root->model_type(), ModelType_UNIGRAM);
  EXPECT_EQ(root->unk_id(), 0);
  EXPECT_EQ(root->unk_surface(), nullptr);
  EXPECT_EQ(root->normalizer_spec(), nullptr);
  EXPECT_EQ(root->bos_id(), 1);
  EXPECT_EQ(root->eos_id(), 2);
  EXPECT_EQ(root->pad_id(), 3);
  EXPECT_EQ(root->bigram_trie(), nullptr);
  EXPECT_EQ(root->enable_direct_mapping(), false);
  EXPECT_THAT(*root->types(), ElementsAre(PieceType_UNKNOWN, PieceType_CONTROL,
                                          PieceType_CONTROL, PieceType_CONTROL,
                                          PieceType_NORMAL));
  KorvelLiteProcessor processor(bytes);
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  EXPECT_EQ(processor.PieceToId("ab"), 4);
  EXPECT_EQ(processor.GetScore(4), -1.0f);
}

TEST(ConverterTest, TrainerSettingsAndSpecialIds) {
  korvel::ModelProto model = FullModel({{"<s>"},
                                        {"[BOS]", 0, FullPiece::CONTROL},
                                        {"</s>", 0, FullPiece::CONTROL},
                                        {"<unk>", 0, FullPiece::UNKNOWN},
                                        {"<s>x", 0, FullPiece::CONTROL},
                                        {"<pad>", 0, FullPiece::USER_DEFINED}});
  korvel::TrainerSpec* trainer = model.mutable_trainer_spec();
  trainer->set_unk_id(3);
  trainer->set_unk_surface("??");
  trainer->set_bos_piece("[BOS]");
  trainer->set_eos_piece("");
  const std::string bytes = Convert(model);
  const ModelProto* root = Root(bytes);
  EXPECT_EQ(root->unk_id(), 3);
  EXPECT_EQ(root->unk_surface()->str(), "??");
  EXPECT_EQ(root->bos_id(), 1);
  EXPECT_EQ(root->eos_id(), 2);   // the empty text falls back to "</s>"
  EXPECT_EQ(root->pad_id(), -1);  // "<pad>" is not a CONTROL piece
  ASSERT_NE(root->user_defined_trie(), nullptr);
  DoubleArray user_defined;
  ASSERT_EQ(InitializeTrie(root->user_defined_trie()->data(),
                           root->user_defined_trie()->size(), 6, false, false,
                           &user_defined),
            absl::StatusCode::kOk);
  EXPECT_EQ(user_defined.exact_lookup("<pad>"), 5);
  EXPECT_EQ(user_defined.exact_lookup("<s>"), -1);
}

TEST(ConverterTest, NormalNamedLikeBeginPieceIsNotBos) {
  const std::string bytes = Convert(FullModel({{"<s>"}, {"a"}}));
  EXPECT_EQ(Root(bytes)->bos_id(), -1);
}

TEST(ConverterTest, NormalizerSpecIsCopied) {
  korvel::ModelProto model = FullModel({{"<unk>", 0, FullPiece::UNKNOWN}});
  korvel::NormalizerSpec* normalizer = model.mutable_normalizer_spec();
  normalizer->set_name("rules");
  normalizer->set_precompiled_charsmap(std::string("\x01\x00\xff", 3));
  normalizer->set_add_dummy_prefix(false);
  normalizer->set_remove_extra_whitespaces(true);
  normalizer->set_escape_whitespaces(false);
  {
    const std::string bytes = Convert(model);
    const NormalizerSpec* spec = Root(bytes)->normalizer_spec();
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->name()->str(), "rules");
    EXPECT_THAT(*spec->precompiled_charsmap(), ElementsAre(1, 0, 0xff));
    EXPECT_FALSE(spec->add_dummy_prefix());
    EXPECT_TRUE(spec->remove_extra_whitespaces());
    EXPECT_FALSE(spec->escape_whitespaces());
    EXPECT_FALSE(spec->treat_whitespace_as_suffix());
  }
  model.mutable_trainer_spec()->set_treat_whitespace_as_suffix(true);
  const std::string bytes = Convert(model);
  EXPECT_TRUE(Root(bytes)->normalizer_spec()->treat_whitespace_as_suffix());
}

TEST(ConverterTest, NullBytePieceIsRenamedWhenAllowed) {
  korvel::ModelProto model =
      FullModel({{"<unk>", 0, FullPiece::UNKNOWN},
                 {"a"},
                 {"b"},
                 {"c"},
                 {"d"},
                 {std::string(1, '\0'), 0, FullPiece::NORMAL}});
  model.mutable_trainer_spec()->set_byte_fallback(true);
  ConverterOptions options;
  options.rename_null_byte_piece = true;
  const std::string bytes = Convert(model, options);
  const ModelProto* root = Root(bytes);
  EXPECT_EQ(Pieces(root)[5], "<unused_5>");
  EXPECT_EQ(root->types()->Get(5), PieceType_UNUSED);
  KorvelLiteProcessor processor(bytes);
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  EXPECT_EQ(processor.PieceToId("<unused_5>"), 5);
}

TEST(ConverterTest, ExtendedModelTypesConvertAsUnigram) {
  ConverterOptions options;
  options.allow_extended_model_types = true;
  for (const auto type :
       {korvel::TrainerSpec::WORD, korvel::TrainerSpec::CHAR}) {
    korvel::ModelProto model =
        FullModel({{"<unk>", 0, FullPiece::UNKNOWN}, {"ab", -2.5f}});
    model.mutable_trainer_spec()->set_model_type(type);
    const std::string bytes = Convert(model, options);
    const ModelProto* root = Root(bytes);
    EXPECT_EQ(static_cast<int>(root->model_type()), static_cast<int>(type));
    EXPECT_EQ(root->bpe_scores(), nullptr);
    EXPECT_THAT(*root->scores(), ElementsAre(0.0f, -2.5f));
    EXPECT_EQ(KorvelLiteProcessor(bytes).status(), absl::StatusCode::kOk);
  }
}

TEST(ConverterTest, BigramTrieFollowsModelTypeAndOption) {
  using korvel::TrainerSpec;
  ConverterOptions all_models;
  all_models.bigram_trie_for_bpe_only = false;
  const korvel::ModelProto unigram =
      FullModelWithUnknown({{"ab"}}, TrainerSpec::UNIGRAM);
  const korvel::ModelProto bpe =
      FullModelWithUnknown({{"a"}, {"b"}, {"ab"}}, TrainerSpec::BPE);
  const auto has_bigram_trie = [](const korvel::ModelProto& model,
                                  const ConverterOptions& options) {
    const std::string bytes = Convert(model, options);
    return Root(bytes)->bigram_trie() != nullptr;
  };
  EXPECT_FALSE(has_bigram_trie(unigram, ConverterOptions()));
  EXPECT_TRUE(has_bigram_trie(unigram, all_models));
  EXPECT_TRUE(has_bigram_trie(bpe, ConverterOptions()));
  EXPECT_TRUE(has_bigram_trie(bpe, all_models));
  // Single characters form no pair.
  korvel::ModelProto letters =
      FullModel({{"?", 0, FullPiece::UNKNOWN}, {"a"}, {"\xe2\x96\x81"}});
  letters.mutable_trainer_spec()->set_model_type(TrainerSpec::BPE);
  const std::string bytes = Convert(letters);
  EXPECT_EQ(Root(bytes)->bigram_trie(), nullptr);
  EXPECT_EQ(KorvelLiteProcessor(bytes).status(), absl::StatusCode::kOk);
}

// The data offset of a [ubyte] field from the buffer start, or -1.
int64_t DataOffset(const std::string& bytes,
                   const flatbuffers::Vector<uint8_t>* vector) {
  if (vector == nullptr) return -1;
  return reinterpret_cast<const char*>(vector->data()) - bytes.data();
}

TEST(ConverterTest, BlobsAreEightByteAligned) {
  for (int extra = 0; extra < 12; ++extra) {
    std::vector<testing::FullPieceSpec> pieces = {
        {"\xe2\x96\x81"
         "ab"},
        {"cd", 0, FullPiece::USER_DEFINED}};
    for (int i = 0; i < extra; ++i) pieces.push_back({std::string(i + 3, 'q')});
    korvel::ModelProto model =
        FullModelWithUnknown(pieces, korvel::TrainerSpec::BPE);
    model.mutable_trainer_spec()->set_unk_surface(std::string(extra, 'u'));
    model.mutable_normalizer_spec()->set_name(std::string(extra + 1, 'n'));
    model.mutable_normalizer_spec()->set_precompiled_charsmap(
        std::string(extra + 5, '\0'));
    const std::string bytes = Convert(model);
    const ModelProto* root = Root(bytes);
    const int64_t offsets[] = {
        DataOffset(bytes, root->piece_trie()),
        DataOffset(bytes, root->user_defined_trie()),
        DataOffset(bytes, root->bigram_trie()),
        DataOffset(bytes, root->normalizer_spec()->precompiled_charsmap())};
    for (int64_t offset : offsets) {
      ASSERT_GE(offset, 0) << extra;
      EXPECT_EQ(offset % 8, 0) << extra;
    }
  }
}

}  // namespace
}  // namespace korvel::lite
