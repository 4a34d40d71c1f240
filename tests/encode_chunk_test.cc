#include <memory>
#include <random>
#include <set>
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
using ::testing::IsEmpty;

std::vector<std::string> Chunks(const Model& model, std::string_view text) {
  std::vector<std::string> chunks;
  EXPECT_EQ(
      model.PretokenizeAtSafeBoundaries(
          text,
          [&chunks](std::string_view chunk) { chunks.emplace_back(chunk); }),
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
  const std::vector<TestPiece> pieces = {
      {"ab", 0.0f}, {"bc", 0.0f}, {"x", 0.0f}};
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
  const std::vector<TestPiece> pieces = {{"\xc3\xa9"
                                          "b\xc3\xa9",
                                          0.0f},
                                         {"\xe2\x96\x81"
                                          "a\xe2\x96\x81",
                                          0.0f}};
  LoadedModel model(ModelWithBigrams(pieces, PieceTexts(pieces)));
  EXPECT_THAT(Chunks(*model,
                     "\xc3\xa9"
                     "b\xc3\xa9"
                     "b\xc3\xa9x"),
              ElementsAre("\xc3\xa9"
                          "b\xc3\xa9"
                          "b\xc3\xa9",
                          "x"));
  EXPECT_THAT(Chunks(*model,
                     "b\xe2\x96\x81"
                     "a\xe2\x96\x81"
                     "a"),
              ElementsAre("b",
                          "\xe2\x96\x81"
                          "a\xe2\x96\x81"
                          "a"));
  // A truncated character at the end takes the bytes that remain.
  EXPECT_THAT(Chunks(*model,
                     "\xe2\x96\x81"
                     "a\xe2\x96"),
              ElementsAre("\xe2\x96\x81"
                          "a",
                          "\xe2\x96"));
}

TEST(PretokenizeTest, WithoutBigramTrieTheWholeTextIsOneChunk) {
  LoadedModel model(MakeModel(
      {{"<unk>", 0.0f, PieceType_UNKNOWN}, {"ab", 0.0f}}, ModelType_BPE));
  EXPECT_THAT(Chunks(*model, "x ab y"), ElementsAre("x ab y"));
  EXPECT_THAT(Chunks(*model, ""), IsEmpty());
}

// Chunks cover the text, and every cut falls between two characters that do
// not form a key.
TEST(PretokenizeTest, RandomTextsMatchTheReference) {
  const std::vector<std::string> alphabet = {"a",
                                             "b",
                                             "Z",
                                             "q",
                                             "1",
                                             " ",
                                             "\xc3\xa9",
                                             "\xe2\x96\x81",
                                             "\xe4\xb8\xad",
                                             "\xf0\x9f\x98\x80",
                                             "\x80",
                                             "\xff"};
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
    std::vector<std::string> expected;
    for (std::string_view chunk : fuzzing::ReferencePretokenize(*model, text)) {
      expected.emplace_back(chunk);
    }
    EXPECT_EQ(Chunks(*model, text), expected) << text;
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
      {false, {}, "abc", {1, 2, 3}}, {true, {}, "abc", {4}},
      {true, all_on, "abc", {4}},    {true, abc_off, "abc", {1, 2, 3}},
      {true, {}, "<s>", {6, 7, 8}},  {true, {}, "ab", {1, 2}},
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
  const std::vector<TestPiece> pieces = {
      {"a", -1.0f}, {"b", -1.0f}, {"ab", 1.0f}};
  LoadedModel bpe(ModelWithBigrams(pieces, {"xy"}));
  EXPECT_THAT(EncodeText(*bpe, "ab").ids, ElementsAre(1, 2));
  LoadedModel unigram(ModelWithBigrams(pieces, {"xy"}, ModelType_UNIGRAM));
  EXPECT_THAT(EncodeText(*unigram, "ab").ids, ElementsAre(3));
  EXPECT_THAT(Chunks(*unigram, "ab"), ElementsAre("a", "b"));
}

TEST(EncodeTest, UnknownsMergeAcrossChunks) {
  const std::vector<TestPiece> pieces = {
      {"a", 0.0f}, {"b", 0.0f}, {"ab", 1.0f}};
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

TEST(EncodeChunkTest, EmptyChunkWithDirectMappingAppendsNothing) {
  std::mt19937 rng(5);
  LoadedModel model(testing::RandomBpeModel(&rng, false, false));
  Encoded out;
  model->EncodeChunk(std::string_view(), &out.ids, &out.surfaces, 0.0f,
                     nullptr);
  EXPECT_TRUE(out.ids.empty());
  EXPECT_TRUE(out.surfaces.empty());
}

const std::vector<std::string>& Alphabet() {
  static const auto* alphabet = new std::vector<std::string>{
      "a",
      "b",
      "c",
      "d",
      "e",
      "n",
      "s",
      "t",
      "A",
      "Q",
      "1",
      "7",
      ".",
      " ",
      "\xe2\x96\x81",      // whitespace symbol
      "\xc3\xa9",          // e acute
      "\xc3\xbc",          // u umlaut
      "\xe4\xb8\xad",      // CJK
      "\xe6\x96\x87",      // CJK
      "\xf0\x9f\x98\x80",  // emoji
  };
  return *alphabet;
}

// Characters that no piece contains.
const std::vector<std::string>& Strangers() {
  static const auto* strangers = new std::vector<std::string>{
      "!", "\xce\xa9", "\x80", "\xe2\x96", "\xf0\x9f"};
  return *strangers;
}

std::string RandomWord(std::mt19937* rng, int min_chars, int max_chars) {
  const int chars = min_chars + (*rng)() % (max_chars - min_chars + 1);
  std::string word;
  for (int i = 0; i < chars; ++i)
    word += Alphabet()[(*rng)() % Alphabet().size()];
  return word;
}

// Single characters, random words of two to five characters and a few
// user-defined and control pieces, after <unk> (or the byte pieces).
std::vector<TestPiece> RandomVocabulary(std::mt19937* rng, int words,
                                        bool byte_pieces) {
  std::vector<TestPiece> pieces =
      byte_pieces ? BytePieces()
                  : std::vector<TestPiece>{{"<unk>", 0.0f, PieceType_UNKNOWN}};
  std::set<std::string> seen;
  for (const TestPiece& piece : pieces) seen.insert(piece.text);
  auto add = [&](const std::string& text, PieceType type) {
    if (!seen.insert(text).second) return;
    pieces.push_back(
        {text, static_cast<float>(static_cast<int>((*rng)() % 2001) - 1000),
         type});
  };
  add("<s>", PieceType_CONTROL);
  for (const std::string& c : Alphabet()) add(c, PieceType_NORMAL);
  for (int i = 0; i < 6; ++i)
    add(RandomWord(rng, 2, 3), PieceType_USER_DEFINED);
  add(RandomWord(rng, 2, 2), PieceType_UNUSED);
  for (int i = 0; i < words; ++i) add(RandomWord(rng, 2, 5), PieceType_NORMAL);
  return pieces;
}

// Random text: vocabulary pieces glued together (so that many merges apply),
// random characters, strangers and long letter runs.
std::string RandomText(std::mt19937* rng,
                       const std::vector<TestPiece>& pieces) {
  std::string text;
  const int parts = (*rng)() % 60;
  for (int i = 0; i < parts; ++i) {
    switch ((*rng)() % 5) {
      case 0:
      case 1:
        text += pieces[(*rng)() % pieces.size()].text;
        break;
      case 2:
        text += RandomWord(rng, 1, 4);
        break;
      case 3:
        text += Strangers()[(*rng)() % Strangers().size()];
        break;
      default:
        for (int k = (*rng)() % 20; k > 0; --k)
          text += "abcdenst"[(*rng)() % 8];
    }
  }
  return text;
}

// Direct-mapping flags as the converter decides them: a matchable piece
// qualifies when encoding its text as one chunk gives exactly that piece.
void AddDirectMapping(ModelProtoT* proto) {
  LoadedModel model(*proto);
  std::vector<uint8_t> flags(proto->pieces.size(), 1);
  for (size_t i = 0; i < proto->pieces.size(); ++i) {
    if (proto->types[i] != PieceType_NORMAL &&
        proto->types[i] != PieceType_USER_DEFINED) {
      continue;
    }
    std::vector<int> ids;
    model->EncodeChunk(proto->pieces[i], &ids, nullptr, 0.0f, nullptr);
    flags[i] = ids == std::vector<int>{static_cast<int>(i)};
  }
  proto->enable_direct_mapping = true;
  proto->direct_mapping_flags = flags;
}

void ExpectSameViews(const Encoded& a, const Encoded& b) {
  ASSERT_EQ(a.surfaces.size(), b.surfaces.size());
  for (size_t i = 0; i < a.surfaces.size(); ++i) {
    EXPECT_EQ(a.surfaces[i].data(), b.surfaces[i].data()) << i;
    EXPECT_EQ(a.surfaces[i].size(), b.surfaces[i].size()) << i;
  }
}

// Chunking at safe boundaries and direct mapping never change the BPE result.
class BpeShortcutsTest : public ::testing::TestWithParam<bool> {};

TEST_P(BpeShortcutsTest, ChunkingAndDirectMappingKeepTheResult) {
  const bool byte_pieces = GetParam();
  std::mt19937 rng(byte_pieces ? 31 : 13);
  for (int round = 0; round < 4; ++round) {
    const std::vector<TestPiece> pieces =
        RandomVocabulary(&rng, 400, byte_pieces);
    const ModelProtoT plain = MakeModel(pieces, ModelType_BPE);
    ModelProtoT chunked = plain;
    chunked.bigram_trie = BigramTrie(PieceTexts(pieces));
    ModelProtoT mapped = plain;
    AddDirectMapping(&mapped);
    ModelProtoT both = chunked;
    AddDirectMapping(&both);
    ASSERT_EQ(both.direct_mapping_flags, mapped.direct_mapping_flags);

    LoadedModel reference(plain);
    ASSERT_EQ(reference->status(), absl::StatusCode::kOk);
    std::vector<std::unique_ptr<LoadedModel>> variants;
    for (const ModelProtoT* proto : {&chunked, &mapped, &both}) {
      variants.push_back(std::make_unique<LoadedModel>(*proto));
      ASSERT_EQ((**variants.back()).status(), absl::StatusCode::kOk);
    }
    for (int trial = 0; trial < 60; ++trial) {
      const std::string text = trial < 20 ? pieces[rng() % pieces.size()].text
                                          : RandomText(&rng, pieces);
      const Encoded expected = EncodeText(*reference, text);
      const Encoded twice = EncodeText(*reference, text + text);
      EXPECT_EQ(Join(expected.surfaces), text);
      for (const auto& variant : variants) {
        const Encoded out = EncodeText(**variant, text);
        EXPECT_EQ(out.ids, expected.ids) << text;
        ExpectSameViews(out, expected);
        // Without views the chunks go through the thread's chunk cache, whose
        // entries outlive models and must not depend on what came before.
        for (const Encoded* want : {&expected, &twice, &expected}) {
          std::vector<int> ids;
          (**variant).Encode(want == &twice ? text + text : text, &ids,
                             nullptr, 0.0f, nullptr);
          EXPECT_EQ(ids, want->ids) << text;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(UnknownOrBytePieces, BpeShortcutsTest,
                         ::testing::Bool());

TEST(EncodeTest, ViewsTileTheTextInEveryMode) {
  std::mt19937 rng(99);
  for (bool byte_pieces : {false, true}) {
    const std::vector<TestPiece> pieces =
        RandomVocabulary(&rng, 300, byte_pieces);
    ModelProtoT bpe = MakeModel(pieces, ModelType_BPE);
    bpe.bigram_trie = BigramTrie(PieceTexts(pieces));
    std::vector<TestPiece> unigram_pieces = pieces;
    for (TestPiece& piece : unigram_pieces) piece.score /= 100.0f;
    LoadedModel models[] = {LoadedModel(bpe),
                            LoadedModel(MakeModel(unigram_pieces))};
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    auto draw = [&] { return uniform(rng); };
    const RandomSource source(draw);
    for (int trial = 0; trial < 40; ++trial) {
      const std::string text = RandomText(&rng, pieces);
      for (const LoadedModel& model : models) {
        for (float alpha : {0.0f, 0.1f, 0.5f}) {
          Encoded out;
          model->Encode(text, &out.ids, &out.surfaces, alpha,
                        alpha == 0.0f ? nullptr : &source);
          EXPECT_EQ(Join(out.surfaces), text);
          ASSERT_EQ(out.ids.size(), out.surfaces.size());
          for (size_t i = 0; i < out.ids.size(); ++i) {
            const int id = out.ids[i];
            ASSERT_GE(id, 0);
            const PieceType type = pieces[id].type;
            if (type == PieceType_NORMAL || type == PieceType_USER_DEFINED) {
              EXPECT_EQ(pieces[id].text, out.surfaces[i]);
            } else {
              EXPECT_TRUE(type == PieceType_UNKNOWN || type == PieceType_BYTE)
                  << type;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvel::lite::testing
