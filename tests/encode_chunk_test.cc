#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "encoding_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::BigramTrie;
using testing::BytePieces;
using testing::Encoded;
using testing::LoadedModel;
using testing::MakeModel;
using testing::PieceTexts;
using testing::ScriptedRng;
using testing::TestPiece;

std::vector<std::string> Chunks(const Model& model, std::string_view text) {
  std::vector<std::string> chunks;
  EXPECT_EQ(model.PretokenizeAtSafeBoundaries(
                text,
                [&chunks](std::string_view chunk) {
                  chunks.emplace_back(chunk);
                }),
            absl::StatusCode::kOk);
  return chunks;
}

Encoded EncodeText(const Model& model, std::string_view text) {
  Encoded out;
  model.Encode(text, &out.ids, &out.surfaces, 0.0f, nullptr);
  return out;
}

// A model over `pieces` (after <unk> at id 0) whose bigram trie is built from
// `bigram_texts`.
ModelProtoT ModelWithBigrams(std::vector<TestPiece> pieces,
                             const std::vector<std::string>& bigram_texts,
                             ModelType type = ModelType_BPE) {
  pieces.insert(pieces.begin(), {"<unk>", 0.0f, PieceType_UNKNOWN});
  ModelProtoT proto = MakeModel(pieces, type);
  proto.bigram_trie = BigramTrie(bigram_texts);
  return proto;
}

TEST(PretokenizeTest, CutsWhereNoPieceSpans) {
  const std::vector<TestPiece> pieces = {{"ab", 0.0f}, {"bc", 0.0f}, {"x", 0.0f}};
  LoadedModel model(ModelWithBigrams(pieces, PieceTexts(pieces)));
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  EXPECT_THAT(Chunks(*model, ""), IsEmpty());
  EXPECT_THAT(Chunks(*model, "a"), ElementsAre("a"));
  EXPECT_THAT(Chunks(*model, "abx"), ElementsAre("ab", "x"));
  EXPECT_THAT(Chunks(*model, "abcx"), ElementsAre("abc", "x"));
  EXPECT_THAT(Chunks(*model, "xxab"), ElementsAre("x", "x", "ab"));
  // From offset 1 eight letters follow: they join the first chunk, and the
  // state after them is that of x, which begins no key.
  EXPECT_THAT(Chunks(*model, "abxabxabxab"), ElementsAre("abxabxabx", "ab"));
  // Digits are not skipped.
  EXPECT_THAT(Chunks(*model, "ab123456789"),
              ElementsAre("ab", "1", "2", "3", "4", "5", "6", "7", "8", "9"));
}

TEST(PretokenizeTest, MultiByteCharacters) {
  // Keys: \u00e9b, b\u00e9, \u2581a, a\u2581.
  const std::vector<TestPiece> pieces = {{"\xc3\xa9" "b\xc3\xa9", 0.0f},
                                         {"\xe2\x96\x81" "a\xe2\x96\x81", 0.0f}};
  LoadedModel model(ModelWithBigrams(pieces, PieceTexts(pieces)));
  EXPECT_THAT(Chunks(*model, "\xc3\xa9" "b\xc3\xa9" "b\xc3\xa9x"),
              ElementsAre("\xc3\xa9" "b\xc3\xa9" "b\xc3\xa9", "x"));
  EXPECT_THAT(Chunks(*model, "b\xe2\x96\x81" "a\xe2\x96\x81" "a"),
              ElementsAre("b", "\xe2\x96\x81" "a\xe2\x96\x81" "a"));
  // A truncated character at the end takes the bytes that remain.
  EXPECT_THAT(Chunks(*model, "\xe2\x96\x81" "a\xe2\x96"),
              ElementsAre("\xe2\x96\x81" "a", "\xe2\x96"));
}

TEST(PretokenizeTest, WithoutBigramTrieTheWholeTextIsOneChunk) {
  LoadedModel model(MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN}, {"ab", 0.0f}},
                              ModelType_BPE));
  EXPECT_THAT(Chunks(*model, "x ab y"), ElementsAre("x ab y"));
  EXPECT_THAT(Chunks(*model, ""), IsEmpty());
}

// Chunks cover the text, and every cut falls between two characters that do
// not form a key.
TEST(PretokenizeTest, CutsAreSafeOnRandomText) {
  const std::vector<std::string> alphabet = {
      "a", "b", "Z", "q", "1", " ", "\xc3\xa9", "\xe2\x96\x81", "\xe4\xb8\xad",
      "\xf0\x9f\x98\x80", "\x80", "\xff"};
  std::mt19937 rng(5);
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) {
    std::string piece;
    const int chars = 2 + rng() % 3;
    for (int c = 0; c < chars; ++c) piece += alphabet[rng() % alphabet.size()];
    texts.push_back(piece);
  }
  std::vector<TestPiece> pieces;
  for (const std::string& text : texts) pieces.push_back({text, 0.0f});
  ModelProtoT proto =
      MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN}}, ModelType_BPE);
  proto.bigram_trie = BigramTrie(texts);
  LoadedModel model(proto);
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const int chars = rng() % 40;
    for (int c = 0; c < chars; ++c) text += alphabet[rng() % alphabet.size()];
    std::string joined;
    std::string previous_char;
    for (const std::string& chunk : Chunks(*model, text)) {
      ASSERT_FALSE(chunk.empty());
      if (!joined.empty()) {
        const std::string first(chunk, 0, CharLengthAt(chunk, 0));
        EXPECT_EQ(model->bigram_trie.exact_lookup(previous_char + first), -1)
            << "cut inside " << previous_char << first;
      }
      joined += chunk;
      for (size_t p = 0; p < chunk.size(); p += CharLengthAt(chunk, p)) {
        previous_char = chunk.substr(p, CharLengthAt(chunk, p));
      }
    }
    EXPECT_EQ(joined, text);
  }
}

// ids: 1 a, 2 b, 3 c, 4 abc (not reachable by merging), 5 <s> (control),
// 6 < , 7 s, 8 >, 9 @c (user-defined), 10 @
ModelProtoT DirectMappingModel() {
  return MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                    {"a", 0.0f},
                    {"b", 0.0f},
                    {"c", 0.0f},
                    {"abc", 0.0f},
                    {"<s>", 0.0f, PieceType_CONTROL},
                    {"<", 0.0f},
                    {"s", 0.0f},
                    {">", 0.0f},
                    {"@c", 0.0f, PieceType_USER_DEFINED},
                    {"@", 0.0f}},
                   ModelType_BPE);
}

TEST(EncodeChunkTest, DirectMapping) {
  struct Case {
    bool enable;
    std::vector<uint8_t> flags;
    std::string chunk;
    std::vector<int> expected;
  };
  std::vector<uint8_t> all_on(11, 1);
  std::vector<uint8_t> abc_off = all_on;
  abc_off[4] = 0;
  const Case cases[] = {
      {false, {}, "abc", {1, 2, 3}},
      {true, {}, "abc", {4}},
      {true, all_on, "abc", {4}},
      {true, abc_off, "abc", {1, 2, 3}},
      {true, {}, "<s>", {6, 7, 8}},
      {true, {}, "ab", {1, 2}},
      {true, {}, "@c", {9}},
  };
  for (const Case& c : cases) {
    ModelProtoT proto = DirectMappingModel();
    proto.enable_direct_mapping = c.enable;
    proto.direct_mapping_flags = c.flags;
    LoadedModel model(proto);
    ASSERT_EQ(model->status(), absl::StatusCode::kOk);
    Encoded out;
    model->EncodeChunk(c.chunk, &out.ids, &out.surfaces, 0.0f, nullptr);
    EXPECT_EQ(out.ids, c.expected) << c.chunk;
    EXPECT_EQ(testing::Join(out.surfaces), c.chunk);
  }
}

TEST(EncodeChunkTest, NoDirectMappingWhenSampling) {
  ModelProtoT proto = DirectMappingModel();
  proto.enable_direct_mapping = true;
  LoadedModel model(proto);
  ScriptedRng rng({0.9f});
  auto draw = [&rng] { return rng(); };
  const RandomSource source(draw);
  Encoded out;
  model->EncodeChunk("abc", &out.ids, &out.surfaces, 0.0f, &source);
  EXPECT_THAT(out.ids, ElementsAre(1, 2, 3));
}

TEST(EncodeChunkTest, PiecesThatAreNotMatchableAreNeverDirectlyMapped) {
  std::vector<TestPiece> pieces = BytePieces();  // 0-255
  pieces.push_back({"A", 0.0f});                 // 256
  pieces.push_back({"q", 0.0f, PieceType_UNUSED});
  ModelProtoT proto = MakeModel(pieces, ModelType_BPE);
  proto.enable_direct_mapping = true;
  LoadedModel model(proto);
  std::vector<int> ids;
  model->EncodeChunk("<0x41>", &ids, nullptr, 0.0f, nullptr);
  EXPECT_THAT(ids, ElementsAre('<', '0', 'x', '4', '1', '>'));
  ids.clear();
  model->EncodeChunk("q", &ids, nullptr, 0.0f, nullptr);
  EXPECT_THAT(ids, ElementsAre('q'));
}

TEST(EncodeTest, OnlyBpeModelsAreChunked) {
  // The bigram trie knows no pair of "ab", so it cuts between a and b.
  const std::vector<TestPiece> pieces = {{"a", -1.0f}, {"b", -1.0f}, {"ab", 1.0f}};
  LoadedModel bpe(ModelWithBigrams(pieces, {"xy"}));
  EXPECT_THAT(EncodeText(*bpe, "ab").ids, ElementsAre(1, 2));
  LoadedModel unigram(ModelWithBigrams(pieces, {"xy"}, ModelType_UNIGRAM));
  EXPECT_THAT(EncodeText(*unigram, "ab").ids, ElementsAre(3));
  EXPECT_THAT(Chunks(*unigram, "ab"), ElementsAre("a", "b"));
}

TEST(EncodeTest, UnknownsMergeAcrossChunks) {
  const std::vector<TestPiece> pieces = {{"a", 0.0f}, {"b", 0.0f}, {"ab", 1.0f}};
  LoadedModel model(ModelWithBigrams(pieces, PieceTexts(pieces)));
  const std::string_view text = "ab?!ab";
  const Encoded out = EncodeText(*model, text);
  EXPECT_THAT(out.ids, ElementsAre(3, 0, 3));
  ASSERT_EQ(out.surfaces.size(), 3u);
  EXPECT_EQ(out.surfaces[1].data(), text.data() + 2);
  EXPECT_EQ(out.surfaces[1], "?!");
}

TEST(EncodeTest, EmptyTextAndFailedModelAppendNothing) {
  LoadedModel model(DirectMappingModel());
  EXPECT_THAT(EncodeText(*model, "").ids, IsEmpty());
  const Model failed("");
  ASSERT_NE(failed.status(), absl::StatusCode::kOk);
  std::vector<int> ids = {7};
  failed.Encode("abc", &ids, nullptr, 0.0f, nullptr);
  EXPECT_THAT(ids, ElementsAre(7));
}

}  // namespace
}  // namespace korvel::lite
