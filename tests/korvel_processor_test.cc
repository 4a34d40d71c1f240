#include "libkorvel/korvel_processor.h"

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace korvel {
namespace {

using ::korvel::lite::testing::FullModelWithUnknown;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

ModelProto UnigramModel() {
  ModelProto model = FullModelWithUnknown({{"\xe2\x96\x81"
                                            "a",
                                            -1.25f},
                                           {"\xe2\x96\x81", -3},
                                           {"a", -3},
                                           {"b", -4},
                                           {"ab", -1}},
                                          TrainerSpec::UNIGRAM);
  model.mutable_normalizer_spec();
  return model;
}

TEST(KorvelProcessorTest, LoadsEncodesAndAnswers) {
  const std::string path =
      WriteFile("unigram.model", UnigramModel().SerializeAsString());
  KorvelProcessor processor;
  ASSERT_TRUE(processor.Load(path).ok());
  EXPECT_EQ(processor.GetPieceSize(), 6);
  EXPECT_EQ(processor.model_proto().trainer_spec().model_type(),
            TrainerSpec::UNIGRAM);
  EXPECT_EQ(processor.GetScore(1), -1.25f);
  EXPECT_EQ(processor.GetScore(-1), 0.0f);
  EXPECT_EQ(processor.GetScore(6), 0.0f);

  std::vector<int> ids = {42};
  ASSERT_TRUE(processor.Encode("a  ab", &ids).ok());
  EXPECT_THAT(ids, ElementsAre(1, 2, 5));
  ASSERT_TRUE(processor.Encode("", &ids).ok());
  EXPECT_THAT(ids, ElementsAre());
}

TEST(KorvelProcessorTest, WithoutModel) {
  KorvelProcessor processor;
  std::vector<int> ids = {42};
  EXPECT_EQ(processor.Encode("a", &ids).code(),
            absl::StatusCode::kFailedPrecondition);
  EXPECT_THAT(ids, ElementsAre(42));
  EXPECT_EQ(processor.GetPieceSize(), 0);
  EXPECT_EQ(processor.GetScore(0), 0.0f);
  EXPECT_FALSE(processor.model_proto().has_trainer_spec());
}

TEST(KorvelProcessorTest, LoadFailuresNameThePathAndTheCause) {
  ModelProto duplicate = UnigramModel();
  duplicate.mutable_pieces(2)->set_piece("a");
  struct Case {
    std::string path;
    absl::StatusCode code;
    std::string cause;
  };
  const Case cases[] = {
      {::testing::TempDir() + "/no_such.model", absl::StatusCode::kNotFound,
       "Cannot read model file"},
      {::testing::TempDir(), absl::StatusCode::kNotFound,
       "Cannot read model file"},
      {WriteFile("garbage.model", "\xff\xff\xff\xff"),
       absl::StatusCode::kInvalidArgument, "Not a full model file"},
      {WriteFile("empty.model", ""), absl::StatusCode::kInvalidArgument,
       "Cannot convert model file"},
      {WriteFile("duplicate.model", duplicate.SerializeAsString()),
       absl::StatusCode::kInvalidArgument,
       "Duplicate key for trie building: a"},
  };
  const std::string good =
      WriteFile("good.model", UnigramModel().SerializeAsString());
  for (const Case& c : cases) {
    KorvelProcessor processor;
    ASSERT_TRUE(processor.Load(good).ok());
    const absl::Status status = processor.Load(c.path);
    EXPECT_EQ(status.code(), c.code) << c.path;
    EXPECT_THAT(status.message(), AllOf(HasSubstr(c.path), HasSubstr(c.cause)));
    // A failed load leaves no model behind.
    EXPECT_EQ(processor.GetPieceSize(), 0);
    std::vector<int> ids;
    EXPECT_FALSE(processor.Encode("a", &ids).ok());
  }
}

TEST(KorvelProcessorTest, RuntimeRefusalIsAConversionFailure) {
  ModelProto model = UnigramModel();
  model.mutable_pieces(3)->set_score(std::numeric_limits<float>::quiet_NaN());
  KorvelProcessor processor;
  const std::string path = WriteFile("nan.model", model.SerializeAsString());
  const absl::Status status = processor.Load(path);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(status.message(),
              AllOf(HasSubstr(path), HasSubstr("Cannot convert model file")));
}

}  // namespace
}  // namespace korvel
