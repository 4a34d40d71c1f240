#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "encoding_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"
#include "reference_text.h"

namespace korvel::lite::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

Encoded Segment(const Model& model, std::string_view text, float alpha = 0.0f,
                ScriptedRng* rng = nullptr) {
  return EncodeWith(&Model::EncodeUnigram, model, text, alpha, rng);
}

std::vector<TestPiece> WithUnknown(std::vector<TestPiece> pieces) {
  pieces.insert(pieces.begin(), {"<unk>", 0.0f, PieceType_UNKNOWN});
  return pieces;
}

TEST(UnigramTest, EmptyTextAppendsNothingAndDrawsNothing) {
  LoadedModel model(MakeModel(WithUnknown({{"a", -1.0f}})));
  ScriptedRng rng({0.5f});
  const Encoded out = Segment(*model, "", 0.5f, &rng);
  EXPECT_TRUE(out.ids.empty());
  EXPECT_EQ(rng.calls(), 0u);
}

TEST(UnigramTest, PrefersHighestTotal) {
  // ids: 1 ab, 2 b, 3 c, 4 abc
  LoadedModel model(MakeModel(WithUnknown(
      {{"ab", -1.0f}, {"b", -1.0f}, {"c", -3.0f}, {"abc", -5.0f}})));
  EXPECT_THAT(Segment(*model, "ab").ids, ElementsAre(1));
  EXPECT_THAT(Segment(*model, "abc").ids, ElementsAre(1, 3));
  EXPECT_THAT(Segment(*model, "bab").ids, ElementsAre(2, 1));
}

// Equal totals into one offset keep the path whose last piece starts first.
TEST(UnigramTest, TiesKeepTheEarliestStart) {
  struct Case {
    float ab;
    std::vector<int> expected;
  };
  // ids: 1 a, 2 bc, 3 ab, 4 c; a + bc = -3 against ab + c.
  for (const Case& c :
       {Case{-2.0f, {1, 2}}, Case{-1.5f, {3, 4}}, Case{-2.5f, {1, 2}}}) {
    LoadedModel model(MakeModel(WithUnknown(
        {{"a", -1.0f}, {"bc", -2.0f}, {"ab", c.ab}, {"c", -1.0f}})));
    EXPECT_THAT(Segment(*model, "abc").ids, ElementsAreArray(c.expected))
        << c.ab;
  }
  // The whole piece ties with its split and wins.
  LoadedModel model(
      MakeModel(WithUnknown({{"x", -1.0f}, {"y", -1.0f}, {"xy", -2.0f}})));
  EXPECT_THAT(Segment(*model, "xy").ids, ElementsAre(3));
}

TEST(UnigramTest, UserDefinedPiecesScoreByLength) {
  // ids: 1 x, 2 y, 3 z, 4 xyz (0.2), 5 xy (0.1)
  LoadedModel model(
      MakeModel(WithUnknown({{"x", 0.06f},
                             {"y", 0.06f},
                             {"z", -0.01f},
                             {"xyz", 0.0f, PieceType_USER_DEFINED},
                             {"xy", 0.0f, PieceType_USER_DEFINED}})));
  EXPECT_THAT(Segment(*model, "xyz").ids, ElementsAre(4));
  // x + y = 0.12 beats the two-byte user-defined piece at 0.1.
  EXPECT_THAT(Segment(*model, "xyx").ids, ElementsAre(1, 2, 1));
}

TEST(UnigramTest, OnlyNormalAndUserDefinedPiecesMatch) {
  // ids: 1 <s>, 2 <, 3 s, 4 >, 5 q (unused)
  ModelProtoT proto = MakeModel(WithUnknown({{"<s>", 0.0f, PieceType_CONTROL},
                                             {"<", -5.0f},
                                             {"s", -5.0f},
                                             {">", -5.0f},
                                             {"q", 0.0f, PieceType_UNUSED}}));
  LoadedModel model(proto);
  const Encoded out = Segment(*model, "<s>q");
  EXPECT_THAT(out.ids, ElementsAre(2, 3, 4, 0));
  EXPECT_THAT(out.surfaces, ElementsAre("<", "s", ">", "q"));
}

TEST(UnigramTest, TrieKeysBesidesThePieceTextsMatchByTheirPieceType) {
  // A loadable trie may hold keys that are no piece text: "x" leads to the
  // CONTROL piece <s>, "y" to the NORMAL piece a. No piece starts with x or y.
  ModelProtoT proto =
      MakeModel(WithUnknown({{"<s>", 0.0f, PieceType_CONTROL}, {"a", -1.0f}}));
  proto.piece_trie = testing::BuildTrieBlob(
      {{"<unk>", 0}, {"<s>", 1}, {"a", 2}, {"x", 1}, {"y", 2}});
  LoadedModel model(proto);
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  EXPECT_THAT(Segment(*model, "xy").ids, ElementsAre(0, 2));
}

TEST(UnigramTest, UnknownRunBecomesOneUnknownId) {
  LoadedModel model(MakeModel(WithUnknown({{"a", -1.0f}})));
  const std::string_view text = "xy\xc3\xa9z";
  const Encoded out = Segment(*model, text);
  EXPECT_THAT(out.ids, ElementsAre(0));
  ASSERT_EQ(out.surfaces.size(), 1u);
  EXPECT_EQ(out.surfaces[0].data(), text.data());
  EXPECT_EQ(out.surfaces[0].size(), text.size());

  EXPECT_THAT(Segment(*model, "xaay").surfaces,
              ElementsAre("x", "a", "a", "y"));
}

// A piece that ends inside a character never lies on a path, and the
// character gets its unknown candidate.
TEST(UnigramTest, PieceEndingInsideCharacterIsIgnored) {
  LoadedModel model(MakeModel(WithUnknown({{"\xc3", 5.0f}, {"a", -1.0f}})));
  const Encoded out = Segment(*model,
                              "\xc3\xa9"
                              "a");
  EXPECT_THAT(out.ids, ElementsAre(0, 2));
  EXPECT_THAT(out.surfaces, ElementsAre("\xc3\xa9", "a"));
}

TEST(UnigramTest, TruncatedCharacterAtEndTakesRemainingBytes) {
  LoadedModel model(MakeModel(WithUnknown({{"a", -1.0f}})));
  const Encoded out = Segment(*model, "a\xe2\x96");
  EXPECT_THAT(out.ids, ElementsAre(1, 0));
  EXPECT_THAT(out.surfaces, ElementsAre("a", "\xe2\x96"));
}

TEST(UnigramTest, ByteFallbackPutsWholeSurfaceOnFirstBytePiece) {
  std::vector<TestPiece> pieces = BytePieces();  // ids 0-255
  pieces.push_back({"a", -1.0f});                // id 256
  LoadedModel model(MakeModel(pieces));
  const std::string_view text = "a\xc3\xa9xa";
  const Encoded out = Segment(*model, text);
  EXPECT_THAT(out.ids, ElementsAre(256, 0xc3, 0xa9, 'x', 256));
  ASSERT_EQ(out.surfaces.size(), 5u);
  EXPECT_EQ(out.surfaces[1].data(), text.data() + 1);
  EXPECT_EQ(out.surfaces[1].size(), 2u);
  EXPECT_EQ(out.surfaces[2].data(), text.data() + 1);
  EXPECT_EQ(out.surfaces[2].size(), 0u);
  EXPECT_EQ(out.surfaces[3], "x");
  EXPECT_EQ(Join(out.surfaces), text);
}

// Output appended to by a second call keeps exact views: the unknown that
// ends the second text does not widen the earlier view, and the unknown that
// opens it joins the unknown that ended the first.
TEST(UnigramTest, AppendingCallsKeepViewsExact) {
  LoadedModel model(MakeModel(WithUnknown({{"a", -1.0f}, {"b", -1.0f}})));
  const std::string_view text = "qqaqqbq";
  Encoded out;
  model->EncodeUnigram(text.substr(0, 4), &out.ids, &out.surfaces, 0.0f,
                       nullptr);
  model->EncodeUnigram(text.substr(4), &out.ids, &out.surfaces, 0.0f, nullptr);
  EXPECT_THAT(out.ids, ElementsAre(0, 1, 0, 2, 0));
  ASSERT_EQ(out.surfaces.size(), 5u);
  EXPECT_EQ(out.surfaces[2].data(), text.data() + 3);
  EXPECT_EQ(out.surfaces[2].size(), 2u);
  EXPECT_EQ(out.surfaces[4].data(), text.data() + 6);
  EXPECT_EQ(Join(out.surfaces), text);

  std::vector<int> ids;
  model->EncodeUnigram("qq", &ids, nullptr, 0.0f, nullptr);
  model->EncodeUnigram("qq", &ids, nullptr, 0.0f, nullptr);
  EXPECT_THAT(ids, ElementsAre(0));
}

TEST(UnigramTest, SamplingWithZeroAlphaDrawsOncePerCandidate) {
  // ids: 1 a, 2 b, 3 ab. Candidates: a, ab at 0; b at 1; unknown x at 2.
  LoadedModel model(
      MakeModel(WithUnknown({{"a", -1.0f}, {"b", -1.0f}, {"ab", -1.5f}})));
  ScriptedRng rng({0.3f});
  const Encoded sampled = Segment(*model, "abx", 0.0f, &rng);
  EXPECT_EQ(rng.calls(), 4u);
  EXPECT_EQ(sampled.ids, Segment(*model, "abx").ids);
}

// Draws are taken in candidate order (a, ab, b) and clamped to
// [1e-6, 0.999999]. A draw of exp(-1) leaves a score unchanged.
TEST(UnigramTest, SamplingClampsDraws) {
  const float neutral = std::exp(-1.0f);
  LoadedModel model(
      MakeModel(WithUnknown({{"a", -1.0f}, {"b", -1.0f}, {"ab", -3.0f}})));
  struct Case {
    std::vector<float> draws;
    std::vector<int> expected;
  };
  const Case cases[] = {
      // Unclamped, 1.0 would make ab infinitely good; clamped it scores
      // -3 + 0.01 * 13.8, below a + b.
      {{neutral, 1.0f, neutral}, {1, 2}},
      // Unclamped, 0.0 would make a infinitely bad.
      {{0.0f, neutral, neutral}, {1, 2}},
      {{neutral, neutral, neutral}, {1, 2}},
  };
  for (const Case& c : cases) {
    ScriptedRng rng(c.draws);
    EXPECT_THAT(Segment(*model, "ab", 0.01f, &rng).ids,
                ElementsAreArray(c.expected));
  }
  // A large alpha lets the noise decide.
  ScriptedRng rng({neutral, 0.9f, 1e-6f});
  EXPECT_THAT(Segment(*model, "ab", 1.0f, &rng).ids, ElementsAre(3));
}

// A vocabulary over a small alphabet with scores that are multiples of 1/8,
// so that sums are exact in single precision.
std::vector<TestPiece> RandomVocabulary(
    std::mt19937* rng, const std::vector<std::string>& alphabet, int max_chars,
    bool with_other_types) {
  std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN}};
  std::function<void(const std::string&, int)> add =
      [&](const std::string& text, int chars) {
        if (chars > 0 && (*rng)() % 3 != 0) {
          PieceType type = PieceType_NORMAL;
          if (with_other_types) {
            const unsigned roll = (*rng)() % 10;
            if (roll == 0) type = PieceType_USER_DEFINED;
            if (roll == 1) type = PieceType_CONTROL;
          }
          pieces.push_back(
              {text, -static_cast<float>(1 + (*rng)() % 64) / 8.0f, type});
        }
        if (chars == max_chars) return;
        for (const std::string& c : alphabet) add(text + c, chars + 1);
      };
  add("", 0);
  return pieces;
}

std::string RandomText(std::mt19937* rng,
                       const std::vector<std::string>& alphabet, int chars) {
  std::string text;
  for (int i = 0; i < chars; ++i) text += alphabet[(*rng)() % alphabet.size()];
  return text;
}

// The best total over every segmentation, enumerated exhaustively.
float BruteForceBest(const Model& model, const std::vector<TestPiece>& pieces,
                     std::string_view text) {
  if (text.empty()) return 0.0f;
  const size_t char_length = CharLength(static_cast<unsigned char>(text[0]));
  float best = -INFINITY;
  bool covered = false;
  for (size_t id = 0; id < pieces.size(); ++id) {
    const TestPiece& piece = pieces[id];
    if (piece.type != PieceType_NORMAL &&
        piece.type != PieceType_USER_DEFINED) {
      continue;
    }
    if (text.substr(0, piece.text.size()) != piece.text) continue;
    if (piece.text.size() == char_length) covered = true;
    const float score = piece.type == PieceType_NORMAL
                            ? piece.score
                            : 0.1f * (piece.text.size() - 1);
    best = std::max(
        best,
        score + BruteForceBest(model, pieces, text.substr(piece.text.size())));
  }
  if (!covered) {
    best = std::max(
        best, model.unk_score +
                  BruteForceBest(model, pieces, text.substr(char_length)));
  }
  return best;
}

// The total of an output, an unknown id counting once per character.
float OutputScore(const Model& model, const std::vector<TestPiece>& pieces,
                  const Encoded& out) {
  float total = 0.0f;
  for (size_t i = 0; i < out.ids.size(); ++i) {
    if (out.ids[i] == model.unk_id) {
      for (size_t p = 0; p < out.surfaces[i].size();
           p += CharLength(static_cast<unsigned char>(out.surfaces[i][p]))) {
        total += model.unk_score;
      }
      continue;
    }
    const TestPiece& piece = pieces[out.ids[i]];
    EXPECT_EQ(piece.text, out.surfaces[i]);
    total += piece.type == PieceType_NORMAL ? piece.score
                                            : 0.1f * (piece.text.size() - 1);
  }
  return total;
}

TEST(UnigramTest, ViterbiMatchesBruteForce) {
  std::mt19937 rng(20240611);
  const std::vector<std::string> alphabet = {"a", "b", "c", "\xc3\xa9"};
  for (int round = 0; round < 30; ++round) {
    const std::vector<TestPiece> pieces =
        RandomVocabulary(&rng, alphabet, 3, true);
    LoadedModel model(MakeModel(pieces));
    ASSERT_EQ(model->status(), absl::StatusCode::kOk);
    for (int trial = 0; trial < 10; ++trial) {
      const std::string text = RandomText(&rng, alphabet, 1 + rng() % 6);
      const Encoded out = Segment(*model, text);
      EXPECT_EQ(Join(out.surfaces), text);
      EXPECT_NEAR(OutputScore(*model, pieces, out),
                  BruteForceBest(*model, pieces, text), 1e-3)
          << text;
    }
  }
}

TEST(UnigramTest, RebasingKeepsThePath) {
  std::mt19937 rng(77);
  const std::vector<std::string> alphabet = {"a", "b", "c", "d", "\xc3\xa9"};
  const std::vector<TestPiece> pieces =
      RandomVocabulary(&rng, alphabet, 3, false);
  LoadedModel model(MakeModel(pieces));
  for (int round = 0; round < 3; ++round) {
    const std::string text = RandomText(&rng, alphabet, 20000);
    model.mutable_model()->score_reset_threshold = 1e30f;
    const Encoded reference = Segment(*model, text);
    for (float threshold : {100000.0f, 1000.0f, 1.0f, 0.0f}) {
      model.mutable_model()->score_reset_threshold = threshold;
      const Encoded out = Segment(*model, text);
      EXPECT_EQ(out.ids, reference.ids) << threshold;
      EXPECT_EQ(Join(out.surfaces), text);
    }
  }
}

// The reference's segmentation of `text`, without sampling.
Encoded ReferenceSegment(const Model& model, std::string_view text) {
  Encoded out;
  fuzzing::ReferenceEncodeUnigram(model, text, 0.0f, nullptr, &out.ids,
                                  &out.surfaces);
  return out;
}

// Words of a small alphabet separated by the whitespace symbol; pieces never
// hold the symbol inside, so paths converge at most word starts. Some words
// hold characters that no piece covers.
std::string RandomWords(std::mt19937* rng, size_t words) {
  static const std::vector<std::string> kLetters = {
      "a", "b", "c", "d", "\xc3\xa9", "z", "\xe4\xb8\xad", "<s>", "Q"};
  std::string text;
  for (size_t w = 0; w < words; ++w) {
    text += "\xe2\x96\x81";
    const size_t length = 1 + (*rng)() % 12;
    for (size_t i = 0; i < length; ++i)
      text += kLetters[(*rng)() % kLetters.size()];
  }
  if ((*rng)() % 2 == 0) text += "\xe4\xb8";  // a truncated character
  return text;
}

std::vector<TestPiece> RandomWordPieces(std::mt19937* rng, bool byte_fallback) {
  std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                   {"<s>", 0.0f, PieceType_CONTROL},
                                   {"abc", 0.0f, PieceType_USER_DEFINED},
                                   {"\xe2\x96\x81", -2.0f}};
  if (byte_fallback) {
    for (const TestPiece& piece : BytePieces()) pieces.push_back(piece);
  }
  static const std::vector<std::string> kLetters = {"a", "b", "c", "d",
                                                    "\xc3\xa9"};
  std::vector<std::string> seen;
  while (pieces.size() < 120 + (byte_fallback ? 256u : 0u)) {
    std::string text = (*rng)() % 3 == 0 ? "\xe2\x96\x81" : "";
    const size_t length = 1 + (*rng)() % 4;
    for (size_t i = 0; i < length; ++i)
      text += kLetters[(*rng)() % kLetters.size()];
    if (std::find(seen.begin(), seen.end(), text) != seen.end() ||
        text == "abc") {
      continue;
    }
    seen.push_back(text);
    pieces.push_back(
        {text, -static_cast<float>((*rng)() % 1000) / 100.0f - 0.5f});
  }
  return pieces;
}

// Long texts whose paths converge at many offsets (so that the encoder emits
// part by part), unknown runs across those offsets, byte fallback,
// user-defined and control pieces, views, appended calls and sampling give
// what one lattice over the whole text gives.
TEST(UnigramTest, WindowsMatchTheReference) {
  std::mt19937 rng(31337);
  for (bool byte_fallback : {false, true}) {
    LoadedModel model(MakeModel(RandomWordPieces(&rng, byte_fallback)));
    ASSERT_EQ(model->status(), absl::StatusCode::kOk);
    for (int round = 0; round < 40; ++round) {
      const std::string text = RandomWords(&rng, 1 + rng() % 200);
      for (bool with_surfaces : {false, true}) {
        for (bool sampling : {false, true}) {
          SCOPED_TRACE(::testing::Message()
                       << "round " << round << " fallback " << byte_fallback
                       << " surfaces " << with_surfaces << " sampling "
                       << sampling);
          std::mt19937 draws_expected(round), draws_actual(round);
          std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
          auto draw_expected = [&] { return uniform(draws_expected); };
          auto draw_actual = [&] { return uniform(draws_actual); };
          RandomSource source_expected(draw_expected);
          const RandomSource source_actual(draw_actual);
          // An unknown id already at the end of the output, as a previous
          // chunk leaves it.
          Encoded expected = ReferenceSegment(*model, "\xe4\xb8\xad");
          Encoded actual = expected;
          if (!with_surfaces) actual.surfaces.clear();
          fuzzing::ReferenceEncodeUnigram(*model, text, 0.5f,
                                          sampling ? &source_expected : nullptr,
                                          &expected.ids, &expected.surfaces);
          if (!with_surfaces) expected.surfaces.clear();
          model->EncodeUnigram(text, &actual.ids,
                               with_surfaces ? &actual.surfaces : nullptr, 0.5f,
                               sampling ? &source_actual : nullptr);
          ASSERT_EQ(actual.ids, expected.ids);
          ASSERT_EQ(actual.surfaces.size(), expected.surfaces.size());
          for (size_t i = 0; i < actual.surfaces.size(); ++i) {
            ASSERT_EQ(actual.surfaces[i].data(), expected.surfaces[i].data())
                << i;
            ASSERT_EQ(actual.surfaces[i].size(), expected.surfaces[i].size())
                << i;
          }
        }
      }
    }
  }
}

// Rebasing happens at the same offsets in both, with a threshold low enough
// to trigger it many times within one window and across windows.
TEST(UnigramTest, RebasingMatchesTheReference) {
  std::mt19937 rng(4);
  LoadedModel model(MakeModel(RandomWordPieces(&rng, false)));
  for (float threshold : {100000.0f, 50.0f, 3.0f, 0.0f}) {
    model.mutable_model()->score_reset_threshold = threshold;
    const std::string text = RandomWords(&rng, 3000);
    const Encoded expected = ReferenceSegment(*model, text);
    const Encoded actual = Segment(*model, text);
    EXPECT_EQ(actual.ids, expected.ids) << threshold;
    EXPECT_EQ(actual.surfaces, expected.surfaces) << threshold;
  }
}

// Overlapping pieces leave no offset that every path passes for thousands of
// bytes, so the window must grow far beyond its inline records.
TEST(UnigramTest, LongStretchWithoutConvergence) {
  LoadedModel model(MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                               {"a", -3.0f},
                               {"aa", -4.0f},
                               {"aaa", -5.5f},
                               {"\xe2\x96\x81", -1.0f}}));
  for (const std::string& text :
       {std::string(5000, 'a'), "\xe2\x96\x81" + std::string(300, 'a') +
                                    "\xe2\x96\x81"
                                    "b" +
                                    std::string(3001, 'a')}) {
    const Encoded expected = ReferenceSegment(*model, text);
    const Encoded actual = Segment(*model, text);
    EXPECT_EQ(actual.ids, expected.ids);
    EXPECT_EQ(actual.surfaces, expected.surfaces);
  }
}

}  // namespace
}  // namespace korvel::lite::testing
