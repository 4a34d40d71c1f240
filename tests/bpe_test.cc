#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "encoding_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/model.h"
#include "reference_text.h"

namespace korvel::lite::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr std::string_view kSpace = "\xe2\x96\x81";

Encoded Merge(const Model& model, std::string_view text, float alpha = 0.0f,
              ScriptedRng* rng = nullptr) {
  return EncodeWith(&Model::EncodeBPE, model, text, alpha, rng);
}

// A BPE model whose piece 0 is <unk>; the scores are the merge priorities.
ModelProtoT BpeModel(std::vector<TestPiece> pieces) {
  pieces.insert(pieces.begin(), {"<unk>", 0.0f, PieceType_UNKNOWN});
  return MakeModel(pieces, ModelType_BPE);
}

// ids: 1 a, 2 b, 3 c, 4 ab, 5 bc, 6 abc
ModelProtoT AbcModel() {
  return BpeModel({{"a", 0.0f},
                   {"b", 0.0f},
                   {"c", 0.0f},
                   {"ab", 5.0f},
                   {"bc", 7.0f},
                   {"abc", 10.0f}});
}

TEST(BpeTest, EmptyChunkAppendsNothing) {
  LoadedModel model(AbcModel());
  ScriptedRng rng({0.0f});
  EXPECT_TRUE(Merge(*model, "", 0.5f, &rng).ids.empty());
  EXPECT_EQ(rng.calls(), 0u);
}

TEST(BpeTest, MergesByScoreThenPosition) {
  struct Case {
    std::vector<TestPiece> merges;
    std::string text;
    std::vector<int> expected;
  };
  // Pieces 1-3 are a, b, c; the merged pieces follow from id 4.
  const Case cases[] = {
      {{{"ab", 5.0f}, {"bc", 7.0f}}, "abc", {1, 5}},
      {{{"ab", 7.0f}, {"bc", 5.0f}}, "abc", {4, 3}},
      {{{"ab", -5.0f}, {"bc", 3.0f}}, "abc", {1, 5}},
      {{{"ab", -5.0f}, {"bc", -7.0f}}, "abc", {4, 3}},
      // Equal scores: the leftmost pair merges first.
      {{{"ab", 4.0f}, {"bc", 4.0f}}, "abc", {4, 3}},
      {{{"aa", 1.0f}}, "aaa", {4, 1}},
      {{{"aa", 1.0f}}, "aaaa", {4, 4}},
      {{{"aa", 1.0f}, {"aaaa", 2.0f}}, "aaaaa", {5, 1}},
      // A merged symbol keeps extending from its own trie position.
      {{{"ab", 1.0f}, {"abc", 0.0f}}, "abcab", {5, 4}},
      // No merge across a pair that is not a piece.
      {{{"ab", 1.0f}}, "acb", {1, 3, 2}},
  };
  for (const Case& c : cases) {
    std::vector<TestPiece> pieces = {{"a", 0.0f}, {"b", 0.0f}, {"c", 0.0f}};
    pieces.insert(pieces.end(), c.merges.begin(), c.merges.end());
    LoadedModel model(BpeModel(pieces));
    ASSERT_EQ(model->status(), absl::StatusCode::kOk);
    const Encoded out = Merge(*model, c.text);
    EXPECT_THAT(out.ids, ElementsAreArray(c.expected)) << c.text;
    EXPECT_EQ(testing::Join(out.surfaces), c.text);
  }
}

TEST(BpeTest, UnknownCharactersStillMerge) {
  // ids: 1 a, 2 qa (q alone is only a prefix), 3 a\u00e9 (no root path for
  // \u00e9), 4 q (CONTROL)
  LoadedModel model(BpeModel({{"a", 0.0f},
                              {"qa", 3.0f},
                              {"a\xc3\xa9", 2.0f},
                              {"q", 0.0f, PieceType_CONTROL}}));
  EXPECT_THAT(Merge(*model, "qa").ids, ElementsAre(2));
  EXPECT_THAT(Merge(*model, "a\xc3\xa9").ids, ElementsAre(3));
  const Encoded out = Merge(*model, "qq\xc3\xa9q");
  EXPECT_THAT(out.ids, ElementsAre(0));
  EXPECT_THAT(out.surfaces, ElementsAre("qq\xc3\xa9q"));
  EXPECT_THAT(Merge(*model, "qaq").surfaces, ElementsAre("qa", "q"));
}

TEST(BpeTest, ByteFallbackForwardViews) {
  std::vector<TestPiece> pieces = BytePieces();  // ids 0-255
  pieces.push_back({"a", 0.0f});                 // 256
  LoadedModel model(MakeModel(pieces, ModelType_BPE));
  const std::string_view text =
      "\xc3\xa9"
      "a";
  const Encoded out = Merge(*model, text);
  EXPECT_THAT(out.ids, ElementsAre(0xc3, 0xa9, 256));
  ASSERT_EQ(out.surfaces.size(), 3u);
  EXPECT_EQ(out.surfaces[0].data(), text.data());
  EXPECT_EQ(out.surfaces[0].size(), 0u);
  EXPECT_EQ(out.surfaces[1].data(), text.data());
  EXPECT_EQ(out.surfaces[1].size(), 2u);
}

// ids: 1 a, 2 @@ (user-defined), 3 a@, 4 @a
ModelProtoT UserDefinedModel() {
  return BpeModel({{"a", 0.0f},
                   {"@@", 0.0f, PieceType_USER_DEFINED},
                   {"a@", 100.0f},
                   {"@a", 50.0f}});
}

TEST(BpeTest, UserDefinedPiecesStayWhole) {
  LoadedModel model(UserDefinedModel());
  const Encoded out = Merge(*model, "a@@a");
  EXPECT_THAT(out.ids, ElementsAre(1, 2, 1));
  EXPECT_THAT(out.surfaces, ElementsAre("a", "@@", "a"));
}

TEST(BpeTest, WithoutUserDefinedTrieUserDefinedPiecesMergeByScore) {
  ModelProtoT proto = UserDefinedModel();
  proto.user_defined_trie.clear();
  LoadedModel model(proto);
  EXPECT_THAT(Merge(*model, "a@@a").ids, ElementsAre(3, 4));
  EXPECT_THAT(Merge(*model, "@@").ids, ElementsAre(2));
}

// The longest user-defined key decides; a key of another type does not fall
// back to a shorter user-defined key.
TEST(BpeTest, LongestUserDefinedKeyOfOtherTypeIsIgnored) {
  // ids: 1 a (user-defined), 2 b, 3 ab
  ModelProtoT proto = BpeModel(
      {{"a", 0.0f, PieceType_USER_DEFINED}, {"b", 0.0f}, {"ab", 1.0f}});
  proto.user_defined_trie = BuildTrieBlob({{"a", 1}, {"ab", 3}});
  LoadedModel model(proto);
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  EXPECT_THAT(Merge(*model, "ab").ids, ElementsAre(3));
  EXPECT_THAT(Merge(*model, "ac").ids, ElementsAre(1, 0));
}

TEST(BpeTest, DropoutDrawsOnlyForLiveCandidates) {
  LoadedModel model(AbcModel());
  struct Case {
    std::vector<float> draws;
    float alpha;
    std::vector<int> expected;
    size_t calls;
  };
  const Case cases[] = {
      // bc merges, then abc; the candidate ab is stale by then.
      {{0.9f}, 0.0f, {6}, 2},
      // A merge is dropped only when alpha exceeds the draw.
      {{0.0f}, 0.0f, {6}, 2},
      {{0.5f}, 0.5f, {6}, 2},
      // bc is dropped for good; ab merges, then abc.
      {{0.0f, 0.9f, 0.9f}, 0.5f, {6}, 3},
      // bc merges, abc is dropped; ab is stale.
      {{0.9f, 0.0f}, 0.5f, {1, 5}, 2},
      // Everything dropped.
      {{0.0f}, 0.5f, {1, 2, 3}, 2},
      // No merging at all from alpha 1 on.
      {{0.0f}, 1.0f, {1, 2, 3}, 0},
      {{0.0f}, 7.0f, {1, 2, 3}, 0},
  };
  for (const Case& c : cases) {
    ScriptedRng rng(c.draws);
    EXPECT_THAT(Merge(*model, "abc", c.alpha, &rng).ids,
                ElementsAreArray(c.expected));
    EXPECT_EQ(rng.calls(), c.calls);
  }
  EXPECT_THAT(Merge(*model, "abc", 7.0f).ids, ElementsAre(1, 2, 3));
}

TEST(BpeTest, LongChunksUseTheHeapPath) {
  // ids: 1 a, 2 b, 3 ab, 4 abab
  LoadedModel model(
      BpeModel({{"a", 0.0f}, {"b", 0.0f}, {"ab", 2.0f}, {"abab", 1.0f}}));
  std::string text;
  std::vector<int> expected;
  for (int i = 0; i < 100; ++i) {
    text += "abab";
    expected.push_back(4);
  }
  text += "a";
  expected.push_back(1);
  const Encoded out = Merge(*model, text);
  EXPECT_EQ(out.ids, expected);
  EXPECT_EQ(testing::Join(out.surfaces), text);
}

// Texts of up to 256 bytes take the scanning merger, longer ones the heap
// merger; both give the reference's ids, views and number of draws.
TEST(BpeTest, BothMergersMatchTheReference) {
  std::mt19937 rng(7);
  for (const bool byte_pieces : {false, true}) {
    for (const bool user_defined : {false, true}) {
      LoadedModel model(RandomBpeModel(&rng, byte_pieces, user_defined));
      ASSERT_EQ(model->status(), absl::StatusCode::kOk);
      for (int i = 0; i < 300; ++i) {
        const std::string text = RandomBpeText(&rng, 1, i % 3 == 0 ? 200 : 12);
        for (const float alpha : {0.0f, 0.3f}) {
          for (const bool sampling : {false, true}) {
            if (alpha > 0.0f && !sampling) continue;
            std::mt19937 draws_a(i), draws_b(i);
            std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
            size_t calls_a = 0, calls_b = 0;
            auto draw_a = [&] {
              ++calls_a;
              return sampling ? uniform(draws_a) : 1.0f;
            };
            auto draw_b = [&] {
              ++calls_b;
              return uniform(draws_b);
            };
            // Without sampling the reference still gets a source (one that
            // never drops), so that it merges instead of mapping directly.
            RandomSource source_a(draw_a);
            const RandomSource source_b(draw_b);
            Encoded expected;
            fuzzing::ReferenceEncodeBpeChunk(*model, text, alpha, &source_a,
                                             &expected.ids, &expected.surfaces);
            if (!sampling) calls_a = 0;
            Encoded actual;
            model->EncodeBPE(text, &actual.ids, &actual.surfaces, alpha,
                             sampling ? &source_b : nullptr);
            ASSERT_EQ(actual.ids, expected.ids) << text << " alpha " << alpha;
            ASSERT_EQ(actual.surfaces, expected.surfaces) << text;
            ASSERT_EQ(calls_b, calls_a) << text;
          }
        }
      }
    }
  }
}

// The merger's lookup tables, derived at load, against trie walks.
TEST(BpeTest, DerivedTablesMatchTrieWalks) {
  std::mt19937 rng(11);
  LoadedModel model(RandomBpeModel(&rng, false, true));
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    const int32_t child = model->piece_trie.child_index(0, byte);
    EXPECT_EQ(model->piece_root_children[b],
              child < 0 ? 0xffffffffu : static_cast<uint32_t>(child));
    const int32_t id = model->piece_trie.exact_lookup(std::string(1, byte));
    const bool matchable =
        id >= 0 && (model->types[id] == PieceType_NORMAL ||
                    model->types[id] == PieceType_USER_DEFINED);
    EXPECT_EQ(model->single_byte_piece_ids[b], matchable ? id : model->unk_id);
  }
  int32_t space_node = 0;
  for (const char ch : kSpace) {
    space_node = model->piece_trie.child_index(
        static_cast<uint32_t>(space_node), static_cast<unsigned char>(ch));
  }
  EXPECT_EQ(model->piece_whitespace_node, static_cast<uint32_t>(space_node));
  EXPECT_TRUE(model->direct_mapping_enabled);
}

}  // namespace
}  // namespace korvel::lite::testing
