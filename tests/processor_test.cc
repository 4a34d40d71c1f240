#include "korvel_lite/korvel_lite_processor.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::MakeModel;
using testing::Pack;
using testing::PackShared;

ModelProtoT VocabModel(ModelType type) {
  ModelProtoT model = MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                                 {"<s>", 0.0f, PieceType_CONTROL},
                                 {"a", -7.0f},
                                 {"b", -2.5f}},
                                type);
  model.unk_id = 0;
  model.bos_id = 1;
  return model;
}

void ExpectFailedAnswers(const KorvelLiteProcessor& processor) {
  EXPECT_EQ(processor.vocab_size(), 0u);
  EXPECT_EQ(processor.IdToPiece(0), "<unk>");
  EXPECT_EQ(processor.PieceToId("a"), -1);
  EXPECT_EQ(processor.GetScore(0), 0.0f);
  EXPECT_EQ(processor.piece_type(0), -1);
  EXPECT_EQ(processor.unk_id(), -1);
  EXPECT_EQ(processor.bos_id(), -1);
  EXPECT_EQ(processor.eos_id(), -1);
  EXPECT_EQ(processor.pad_id(), -1);
  EXPECT_EQ(processor.model(), nullptr);

  std::vector<int> ids = {42};
  std::string text = "keep";
  EXPECT_EQ(processor.Encode("a", &ids), absl::StatusCode::kFailedPrecondition);
  EXPECT_EQ(processor.Normalize("a", &text, nullptr),
            absl::StatusCode::kFailedPrecondition);
  EXPECT_EQ(processor.Decode({2}, &text, nullptr),
            absl::StatusCode::kFailedPrecondition);
  EXPECT_FALSE(processor.CanSkipNormalization(""));
  EXPECT_EQ(ids, std::vector<int>{42});
  EXPECT_EQ(text, "keep");
}

TEST(ProcessorTest, FailedProcessorsAnswerFixedValues) {
  KorvelLiteProcessor empty{std::string_view()};
  EXPECT_EQ(empty.status(), absl::StatusCode::kInvalidArgument);
  ExpectFailedAnswers(empty);
  empty.SetScoreResetThresholdForTesting(1.0f);  // no effect, no crash

  KorvelLiteProcessor null_string{std::shared_ptr<std::string>()};
  EXPECT_EQ(null_string.status(), absl::StatusCode::kInvalidArgument);
  ExpectFailedAnswers(null_string);

  ModelProtoT inconsistent = VocabModel(ModelType_UNIGRAM);
  inconsistent.scores.pop_back();
  KorvelLiteProcessor internal(PackShared(inconsistent));
  EXPECT_EQ(internal.status(), absl::StatusCode::kInternal);
  ExpectFailedAnswers(internal);
}

TEST(ProcessorTest, MisalignedViewIsRejected) {
  const std::string bytes = Pack(VocabModel(ModelType_UNIGRAM));
  std::string shifted(bytes.size() + 8, '\0');
  char* start = shifted.data() + 4 - reinterpret_cast<uintptr_t>(shifted.data()) % 4 + 1;
  std::memcpy(start, bytes.data(), bytes.size());
  KorvelLiteProcessor processor(std::string_view(start, bytes.size()));
  EXPECT_EQ(processor.status(), absl::StatusCode::kInvalidArgument);
}

TEST(ProcessorTest, VocabularyQueries) {
  const std::string bytes = Pack(VocabModel(ModelType_UNIGRAM));
  KorvelLiteProcessor processor(bytes);
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  EXPECT_EQ(processor.vocab_size(), 4u);
  EXPECT_EQ(processor.PieceToId("b"), 3);
  EXPECT_EQ(processor.PieceToId(""), 0);
  EXPECT_EQ(processor.PieceToId("ab"), 0);
  EXPECT_EQ(processor.IdToPiece(2), "a");
  EXPECT_EQ(processor.IdToPiece(-1), "<unk>");
  EXPECT_EQ(processor.IdToPiece(4), "<unk>");
  EXPECT_FLOAT_EQ(processor.GetScore(3), -2.5f);
  EXPECT_EQ(processor.GetScore(-1), 0.0f);
  EXPECT_EQ(processor.GetScore(4), 0.0f);
  EXPECT_EQ(processor.piece_type(1), PieceType_CONTROL);
  EXPECT_EQ(processor.piece_type(-1), -1);
  EXPECT_EQ(processor.piece_type(4), -1);
  EXPECT_EQ(processor.unk_id(), 0);
  EXPECT_EQ(processor.bos_id(), 1);
  EXPECT_EQ(processor.eos_id(), -1);
  EXPECT_EQ(processor.pad_id(), -1);

  processor.SetScoreResetThresholdForTesting(3.0f);
  EXPECT_EQ(processor.model()->score_reset_threshold, 3.0f);
}

TEST(ProcessorTest, BpeScoresReadAsFloats) {
  KorvelLiteProcessor processor(PackShared(VocabModel(ModelType_BPE)));
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  EXPECT_EQ(processor.GetScore(2), -7.0f);
  EXPECT_EQ(processor.GetScore(3), -2.0f);  // truncated when packed
}

TEST(ProcessorTest, OutOfRangeIdWithoutUnknownPiece) {
  ModelProtoT model = MakeModel({{"a", -1.0f}});
  for (const auto& piece : testing::BytePieces()) {
    model.pieces.push_back(piece.text);
    model.types.push_back(piece.type);
    model.scores.push_back(0.0f);
  }
  std::vector<std::pair<std::string, int>> pairs;
  for (size_t i = 0; i < model.pieces.size(); ++i) {
    pairs.emplace_back(model.pieces[i], static_cast<int>(i));
  }
  model.piece_trie = testing::BuildTrieBlob(pairs);
  KorvelLiteProcessor processor(PackShared(model));
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  EXPECT_EQ(processor.unk_id(), -1);
  EXPECT_EQ(processor.IdToPiece(1000), "<unk>");
  EXPECT_EQ(processor.PieceToId("zz"), -1);
}

}  // namespace
}  // namespace korvel::lite
