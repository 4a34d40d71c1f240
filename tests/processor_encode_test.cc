#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "absl/types/span.h"
#include "allocation_counter.h"
#include "encoding_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_processor.h"

namespace korvel::lite {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::BigramTrie;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::PackShared;
using testing::ScriptedRng;
using testing::TestPiece;

constexpr absl::StatusCode kOk = absl::StatusCode::kOk;
constexpr absl::StatusCode kInvalid = absl::StatusCode::kInvalidArgument;
constexpr absl::StatusCode kNoModel = absl::StatusCode::kFailedPrecondition;

// ids: 0 <unk>, 1 a, 2 b, 3 ab, 4 \u2581, 5 \u2581a. The bigram trie knows no
// pair of "ab", so chunking cuts between a and b.
ModelProtoT EncodeModel(ModelType type) {
  ModelProtoT proto = MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                                 {"a", -1.0f},
                                 {"b", -1.0f},
                                 {"ab", 1.0f},
                                 {"\xe2\x96\x81", -1.0f},
                                 {"\xe2\x96\x81" "a", 2.0f}},
                                type);
  proto.bigram_trie = BigramTrie({"xy"});
  return proto;
}

std::string_view TooLongText() {
  static const char byte = 'a';
  // Never read: the size check comes first.
  return std::string_view(&byte, 0x7fffffff);
}

TEST(ProcessorEncodeTest, WithoutModel) {
  KorvelLiteProcessor processor(std::string_view("not a model"));
  ASSERT_NE(processor.status(), kOk);
  std::vector<int> ids = {9};
  std::vector<std::string_view> surfaces = {"keep"};
  auto rng = [] { return 0.5f; };
  EXPECT_EQ(processor.Encode("a", &ids), kNoModel);
  EXPECT_EQ(processor.EncodeNormalized("a", &ids, &surfaces), kNoModel);
  EXPECT_EQ(processor.EncodeNormalizedChunk("a", &ids, &surfaces), kNoModel);
  EXPECT_EQ(processor.SampleNormalized("a", 0.5f, rng, &ids, &surfaces),
            kNoModel);
  EXPECT_EQ(processor.SampleNormalized("a", NAN, rng, &ids, &surfaces),
            kInvalid);
  EXPECT_EQ(processor.SampleNormalized("a", -0.5f, rng, nullptr, nullptr),
            kInvalid);
  EXPECT_EQ(processor.EncodeNormalized("a", nullptr, nullptr), kNoModel);
  EXPECT_EQ(processor.PretokenizeAtSafeBoundaries("a", [](std::string_view) {}),
            kNoModel);
  EXPECT_THAT(ids, ElementsAre(9));
  EXPECT_THAT(surfaces, ElementsAre("keep"));
}

TEST(ProcessorEncodeTest, ArgumentChecksLeaveOutputsUntouched) {
  KorvelLiteProcessor processor(PackShared(EncodeModel(ModelType_UNIGRAM)));
  ASSERT_EQ(processor.status(), kOk);
  std::vector<int> ids = {9};
  std::vector<std::string_view> surfaces = {"keep"};
  ScriptedRng rng({0.5f});
  auto draw = [&rng] { return rng(); };

  EXPECT_EQ(processor.EncodeNormalized("a", nullptr, &surfaces), kInvalid);
  EXPECT_EQ(processor.EncodeNormalizedChunk("a", nullptr, &surfaces), kInvalid);
  EXPECT_EQ(processor.SampleNormalized("a", 0.1f, draw, nullptr, &surfaces),
            kInvalid);
  for (float alpha : {NAN, INFINITY, -INFINITY, -0.5f,
                      -std::numeric_limits<float>::denorm_min()}) {
    EXPECT_EQ(processor.SampleNormalized("a", alpha, draw, &ids, &surfaces),
              kInvalid)
        << alpha;
  }
  EXPECT_EQ(rng.calls(), 0u);
  EXPECT_THAT(ids, ElementsAre(9));
  EXPECT_THAT(surfaces, ElementsAre("keep"));
}

// A text of 2^31 - 1 bytes, or as many ids, is refused before anything is
// read or allocated, and the outputs stay as they were.
TEST(ProcessorEncodeTest, TooLongInputsAreRefusedWithoutAllocating) {
  static const int id = 1;
  const absl::Span<const int> huge_ids(&id, 0x7fffffff);  // never read
  const std::string_view huge = TooLongText();
  for (const ModelType type : {ModelType_UNIGRAM, ModelType_BPE}) {
    KorvelLiteProcessor processor(PackShared(EncodeModel(type)));
    ASSERT_EQ(processor.status(), kOk);
    std::vector<int> ids = {9};
    std::vector<std::string_view> surfaces = {"keep"};
    std::string text = "keep";
    std::vector<size_t> offsets = {7};
    size_t draws = 0;
    auto draw = [&draws] { return ++draws, 0.5f; };
    size_t chunks = 0;
    auto on_chunk = [&chunks](std::string_view) { ++chunks; };

    const size_t allocations = testing::AllocationCount();
    const absl::StatusCode codes[] = {
        processor.Normalize(huge, &text, &offsets),
        processor.Encode(huge, &ids),
        processor.EncodeNormalized(huge, &ids, &surfaces),
        processor.EncodeNormalizedChunk(huge, &ids, &surfaces),
        processor.SampleNormalized(huge, 0.1f, draw, &ids, &surfaces),
        processor.PretokenizeAtSafeBoundaries(huge, on_chunk),
        processor.Decode(huge_ids, &text, &surfaces),
        processor.Decode(huge_ids, &text, nullptr),
    };
    const bool can_skip = processor.CanSkipNormalization(huge);
    EXPECT_EQ(testing::AllocationCount(), allocations) << type;

    for (const absl::StatusCode code : codes) EXPECT_EQ(code, kInvalid) << type;
    EXPECT_FALSE(can_skip);
    EXPECT_EQ(draws, 0u);
    EXPECT_EQ(chunks, 0u);
    EXPECT_THAT(ids, ElementsAre(9));
    EXPECT_THAT(surfaces, ElementsAre("keep"));
    EXPECT_EQ(text, "keep");
    EXPECT_THAT(offsets, ElementsAre(7));
  }
}

TEST(ProcessorEncodeTest, AllocationFailuresBecomeStatusCodes) {
  // "a" normalizes to 4096 bytes, so 4096 "a" need 16 MiB, past the limit.
  ModelProtoT proto = EncodeModel(ModelType_UNIGRAM);
  proto.normalizer_spec = MakeNormalizerSpec(
      true, true, true, false,
      testing::BuildCharsMap({{"a", std::string(4096, 'b')}}));
  KorvelLiteProcessor processor(PackShared(proto));
  ASSERT_EQ(processor.status(), kOk);
  const std::string text(4096, 'a');
  const std::string many_pieces(1 << 20, 'a');
  const std::vector<int> many_ids(1 << 20, 1);
  std::string normalized;
  std::vector<size_t> offsets;
  std::vector<int> ids;
  std::vector<std::string_view> surfaces;
  auto rng = [] { return 0.5f; };

  constexpr auto kExhausted = absl::StatusCode::kResourceExhausted;
  testing::AllocationLimit() = 1 << 20;
  EXPECT_EQ(processor.Normalize(text, &normalized, &offsets), kExhausted);
  EXPECT_EQ(processor.Encode(text, &ids), kExhausted);
  EXPECT_EQ(processor.EncodeNormalized(many_pieces, &ids, &surfaces),
            kExhausted);
  EXPECT_EQ(processor.SampleNormalized(many_pieces, 0.1f, rng, &ids, nullptr),
            kExhausted);
  EXPECT_EQ(processor.Decode(many_ids, &normalized, &surfaces), kExhausted);
  testing::AllocationLimit() = ~size_t{0};
  EXPECT_THAT(normalized, IsEmpty());
  EXPECT_THAT(offsets, IsEmpty());
  EXPECT_THAT(ids, IsEmpty());
  EXPECT_THAT(surfaces, IsEmpty());
}

TEST(ProcessorEncodeTest, OutputsAreClearedKeepingCapacity) {
  KorvelLiteProcessor processor(PackShared(EncodeModel(ModelType_UNIGRAM)));
  std::vector<int> ids(100, 9);
  std::vector<std::string_view> surfaces(100, "x");
  const int* id_data = ids.data();
  ScriptedRng rng({0.5f});
  auto draw = [&rng] { return rng(); };

  EXPECT_EQ(processor.EncodeNormalized("ab", &ids, &surfaces), kOk);
  EXPECT_THAT(ids, ElementsAre(3));
  EXPECT_THAT(surfaces, ElementsAre("ab"));
  EXPECT_EQ(ids.data(), id_data);

  EXPECT_EQ(processor.EncodeNormalizedChunk("ba", &ids, nullptr), kOk);
  EXPECT_THAT(ids, ElementsAre(2, 1));
  EXPECT_THAT(surfaces, ElementsAre("ab"));  // not asked for: untouched

  EXPECT_EQ(processor.SampleNormalized("ab", -0.0f, draw, &ids, &surfaces),
            kOk);
  EXPECT_THAT(ids, ElementsAre(3));
  EXPECT_EQ(rng.calls(), 3u);  // a, ab, b

  EXPECT_EQ(processor.EncodeNormalized("", &ids, &surfaces), kOk);
  EXPECT_THAT(ids, IsEmpty());
  EXPECT_THAT(surfaces, IsEmpty());
  EXPECT_EQ(ids.data(), id_data);
  ids = {9};
  EXPECT_EQ(processor.Encode("", &ids), kOk);
  EXPECT_THAT(ids, IsEmpty());
}

TEST(ProcessorEncodeTest, OnlyEncodeNormalizedChunksBpeText) {
  KorvelLiteProcessor processor(PackShared(EncodeModel(ModelType_BPE)));
  ASSERT_EQ(processor.status(), kOk);
  std::vector<int> ids;
  std::vector<std::string_view> surfaces;
  EXPECT_EQ(processor.EncodeNormalized("ab", &ids, &surfaces), kOk);
  EXPECT_THAT(ids, ElementsAre(1, 2));
  EXPECT_EQ(processor.EncodeNormalizedChunk("ab", &ids, &surfaces), kOk);
  EXPECT_THAT(ids, ElementsAre(3));
  EXPECT_THAT(surfaces, ElementsAre("ab"));
  std::vector<std::string> chunks;
  EXPECT_EQ(processor.PretokenizeAtSafeBoundaries(
                "ab", [&](std::string_view chunk) { chunks.emplace_back(chunk); }),
            kOk);
  EXPECT_THAT(chunks, ElementsAre("a", "b"));
}

// Encode gives what EncodeNormalized gives for the normalized text, whether
// normalization is skipped (second spec) or not.
TEST(ProcessorEncodeTest, EncodeNormalizesOnlyWhenNeeded) {
  for (ModelType type : {ModelType_UNIGRAM, ModelType_BPE}) {
    for (bool normalizing : {true, false}) {
      ModelProtoT proto = EncodeModel(type);
      proto.bigram_trie.clear();
      proto.normalizer_spec = MakeNormalizerSpec(normalizing, normalizing);
      KorvelLiteProcessor processor(PackShared(proto));
      ASSERT_EQ(processor.status(), kOk);
      EXPECT_EQ(processor.CanSkipNormalization("\xe2\x96\x81" "ab"),
                !normalizing);
      for (std::string_view text :
           {"a", "a b", "  ab  a", "\xe2\x96\x81" "ab", "\xe2\x96\x81" "a"}) {
        std::string normalized;
        ASSERT_EQ(processor.Normalize(text, &normalized, nullptr), kOk);
        std::vector<int> expected;
        ASSERT_EQ(processor.EncodeNormalized(normalized, &expected, nullptr),
                  kOk);
        std::vector<int> ids = {9};
        EXPECT_EQ(processor.Encode(text, &ids), kOk);
        EXPECT_EQ(ids, expected) << text;
      }
      std::vector<int> ids;
      EXPECT_EQ(processor.Encode("\xe2\x96\x81" "a", &ids), kOk);
      if (!normalizing) {
        EXPECT_THAT(ids, ElementsAre(5));
      }
      EXPECT_EQ(processor.Encode("a b", nullptr), kInvalid);
      EXPECT_EQ(processor.Encode("\xe2\x96\x81" "a", nullptr), kInvalid);
    }
  }
}

}  // namespace
}  // namespace korvel::lite
