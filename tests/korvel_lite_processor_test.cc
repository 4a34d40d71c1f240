// KorvelLiteProcessor: answers of a processor without a model, vocabulary
// queries, argument checks of every text operation, outputs cleared or left
// untouched, and Encode's reused normalization buffer (no allocation after
// warm-up, separate per thread).

#include "korvel_lite/korvel_lite_processor.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "absl/types/span.h"
#include "allocation_counter.h"
#include "encoding_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "test_models.h"

namespace korvel::lite::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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
  char* start =
      shifted.data() + 4 - reinterpret_cast<uintptr_t>(shifted.data()) % 4 + 1;
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
                                 {"\xe2\x96\x81"
                                  "a",
                                  2.0f}},
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
  EXPECT_EQ(
      processor.PretokenizeAtSafeBoundaries(
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
      EXPECT_EQ(processor.CanSkipNormalization("\xe2\x96\x81"
                                               "ab"),
                !normalizing);
      for (std::string_view text : {"a", "a b", "  ab  a",
                                    "\xe2\x96\x81"
                                    "ab",
                                    "\xe2\x96\x81"
                                    "a"}) {
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
      EXPECT_EQ(processor.Encode("\xe2\x96\x81"
                                 "a",
                                 &ids),
                kOk);
      if (!normalizing) {
        EXPECT_THAT(ids, ElementsAre(5));
      }
      EXPECT_EQ(processor.Encode("a b", nullptr), kInvalid);
      EXPECT_EQ(processor.Encode("\xe2\x96\x81"
                                 "a",
                                 nullptr),
                kInvalid);
    }
  }
}

// A text that needs normalization (spaces and a dummy prefix) on a BPE model
// with chunking and direct mapping.
struct NormalizingProcessor {
  NormalizingProcessor() : rng(3) {
    ModelProtoT proto = testing::RandomBpeModel(&rng, true, false);
    proto.normalizer_spec = MakeNormalizerSpec(true, false, true, false);
    bytes = testing::Pack(proto);
    processor = std::make_unique<KorvelLiteProcessor>(std::string_view(bytes));
  }
  std::mt19937 rng;
  std::string bytes;
  std::unique_ptr<KorvelLiteProcessor> processor;
};

TEST(ProcessorEncodeTest, EncodeAllocatesNothingAfterWarmUp) {
  NormalizingProcessor fixture;
  const KorvelLiteProcessor& processor = *fixture.processor;
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  std::vector<std::string> lines;
  for (int i = 0; i < 50; ++i)
    lines.push_back(testing::RandomBpeText(&fixture.rng, 1, 30) + " x y");
  std::vector<int> ids;
  for (const std::string& line : lines) {
    ASSERT_FALSE(processor.CanSkipNormalization(line));
    processor.Encode(line, &ids);
  }
  const size_t before = testing::AllocationCount();
  for (const std::string& line : lines) {
    EXPECT_EQ(processor.Encode(line, &ids), absl::StatusCode::kOk);
  }
  EXPECT_EQ(testing::AllocationCount() - before, 0u);
}

TEST(ProcessorEncodeTest, EncodeFromManyThreadsGivesTheSameIds) {
  NormalizingProcessor fixture;
  const KorvelLiteProcessor& processor = *fixture.processor;
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    lines.push_back(
        testing::RandomBpeText(&fixture.rng, 1, i % 10 == 0 ? 300 : 30) + " z");
  }
  std::vector<std::vector<int>> expected(lines.size());
  for (size_t i = 0; i < lines.size(); ++i)
    processor.Encode(lines[i], &expected[i]);

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> ids;
      for (int round = 0; round < 20; ++round) {
        for (size_t i = t; i < lines.size(); i += 1 + t) {
          processor.Encode(lines[i], &ids);
          if (ids != expected[i]) ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);

  // A thread-local made before the thread's first encoding is destroyed after
  // the thread's chunk cache; encoding from its destructor still works.
  struct EncodeAtExit {
    ~EncodeAtExit() { processor->Encode(*line, out); }
    const KorvelLiteProcessor* processor = nullptr;
    const std::string* line = nullptr;
    std::vector<int>* out = nullptr;
  };
  std::vector<int> at_exit;
  std::thread([&] {
    thread_local EncodeAtExit late;
    late.processor = &processor;
    late.line = &lines[0];
    late.out = &at_exit;
    std::vector<int> ids;
    processor.Encode(lines[1], &ids);
  }).join();
  EXPECT_EQ(at_exit, expected[0]);
}

}  // namespace
}  // namespace korvel::lite::testing
