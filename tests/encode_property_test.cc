// Properties of whole-text encoding on random multilingual text: chunking at
// safe boundaries and direct mapping never change the BPE result, and the
// views of every encoder tile the text exactly.

#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "encoding_test_util.h"
#include "gtest/gtest.h"
#include "korvel_lite/model.h"

namespace korvel::lite {
namespace {

using testing::BigramTrie;
using testing::BytePieces;
using testing::Encoded;
using testing::Join;
using testing::LoadedModel;
using testing::MakeModel;
using testing::PieceTexts;
using testing::TestPiece;

const std::vector<std::string>& Alphabet() {
  static const auto* alphabet = new std::vector<std::string>{
      "a", "b", "c", "d", "e", "n", "s", "t", "A", "Q", "1", "7", ".", " ",
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
  for (int i = 0; i < chars; ++i) word += Alphabet()[(*rng)() % Alphabet().size()];
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
  for (int i = 0; i < 6; ++i) add(RandomWord(rng, 2, 3), PieceType_USER_DEFINED);
  add(RandomWord(rng, 2, 2), PieceType_UNUSED);
  for (int i = 0; i < words; ++i) add(RandomWord(rng, 2, 5), PieceType_NORMAL);
  return pieces;
}

// Random text: vocabulary pieces glued together (so that many merges apply),
// random characters, strangers and long letter runs.
std::string RandomText(std::mt19937* rng, const std::vector<TestPiece>& pieces) {
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
        for (int k = (*rng)() % 20; k > 0; --k) text += "abcdenst"[(*rng)() % 8];
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

Encoded EncodeText(const Model& model, std::string_view text) {
  Encoded out;
  model.Encode(text, &out.ids, &out.surfaces, 0.0f, nullptr);
  return out;
}

void ExpectSameViews(const Encoded& a, const Encoded& b) {
  ASSERT_EQ(a.surfaces.size(), b.surfaces.size());
  for (size_t i = 0; i < a.surfaces.size(); ++i) {
    EXPECT_EQ(a.surfaces[i].data(), b.surfaces[i].data()) << i;
    EXPECT_EQ(a.surfaces[i].size(), b.surfaces[i].size()) << i;
  }
}

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
      const std::string text =
          trial < 20 ? pieces[rng() % pieces.size()].text : RandomText(&rng, pieces);
      const Encoded expected = EncodeText(*reference, text);
      EXPECT_EQ(Join(expected.surfaces), text);
      for (const auto& variant : variants) {
        const Encoded out = EncodeText(**variant, text);
        EXPECT_EQ(out.ids, expected.ids) << text;
        ExpectSameViews(out, expected);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(UnknownOrBytePieces, BpeShortcutsTest,
                         ::testing::Bool());

TEST(EncodePropertyTest, ViewsTileTheTextInEveryMode) {
  std::mt19937 rng(99);
  for (bool byte_pieces : {false, true}) {
    const std::vector<TestPiece> pieces = RandomVocabulary(&rng, 300, byte_pieces);
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
}  // namespace korvel::lite
