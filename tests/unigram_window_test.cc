// EncodeUnigram against a plain segmenter that keeps one lattice over the
// whole text and emits once at the end: long texts whose paths converge at
// many offsets (so that the encoder emits part by part), unknown runs across
// those offsets, byte fallback, user-defined and control pieces, views,
// appended calls, sampling and rebasing must all give identical results.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "encoding_test_util.h"
#include "korvel_lite/emit_piece.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

using testing::BytePieces;
using testing::Encoded;
using testing::LoadedModel;
using testing::MakeModel;
using testing::TestPiece;

struct Record {
  int32_t id = -1;
  float score = 0.0f;
  int32_t start = -1;
};

float Perturbed(float score, float alpha, const RandomSource* rng) {
  if (rng == nullptr) return score;
  float u = (*rng)();
  if (u < 1e-6f) u = 1e-6f;
  if (u > 0.999999f) u = 0.999999f;
  return score - alpha * std::log(-std::log(u));
}

// The segmentation rules over one lattice of n + 1 records, emitted once.
void PlainSegment(const Model& model, std::string_view text, std::vector<int>* ids,
                  std::vector<std::string_view>* surfaces, float alpha,
                  const RandomSource* rng) {
  const auto n = static_cast<int32_t>(text.size());
  if (n == 0) return;
  std::vector<Record> lattice(n + 1);
  int32_t max_end = 0;
  auto offer = [&](int32_t end, int32_t id, float total, int32_t start) {
    max_end = std::max(max_end, end);
    Record& record = lattice[end];
    if (record.start == -1 || total > record.score) record = {id, total, start};
  };
  for (int32_t pos = 0; pos < n;) {
    float base = lattice[pos].score;
    const float threshold = model.score_reset_threshold;
    if (std::isfinite(base) && (base < -threshold || base > threshold)) {
      lattice[pos].score = 0.0f;
      for (int32_t k = pos + 1; k <= max_end; ++k) {
        if (lattice[k].start != -1) lattice[k].score -= base;
      }
      base = 0.0f;
    }
    const int32_t char_length = CharLengthAt(text, pos);
    bool covered = false;
    model.piece_trie.common_prefix_lookup(
        text.substr(pos), [&](int32_t id, int32_t length) {
          const PieceType type = model.types[id];
          if (type != PieceType_NORMAL && type != PieceType_USER_DEFINED) return;
          const float score = type == PieceType_NORMAL
                                  ? model.scores[id]
                                  : static_cast<float>(length - 1) * 0.1f;
          offer(pos + length, id, Perturbed(score, alpha, rng) + base, pos);
          covered |= length == char_length;
        });
    if (!covered) {
      offer(pos + char_length, model.unk_id,
            base + Perturbed(model.unk_score, alpha, rng), pos);
    }
    pos += char_length;
  }
  // Back to front, the last piece as it is, then reversed; an unknown run at
  // the front joins an unknown id before it.
  const size_t first_id = ids->size();
  const size_t first_surface = surfaces == nullptr ? 0 : surfaces->size();
  const bool merge = model.first_byte_piece_id == -1;
  for (int32_t end = n; end > 0; end = lattice[end].start) {
    const Record& record = lattice[end];
    const std::string_view surface = text.substr(record.start, end - record.start);
    if (ids->size() == first_id && record.id == model.unk_id && merge) {
      ids->push_back(record.id);
      if (surfaces != nullptr) surfaces->push_back(surface);
    } else {
      model.EmitPiece<true>(record.id, surface, ids, surfaces);
    }
  }
  std::reverse(ids->begin() + first_id, ids->end());
  if (surfaces != nullptr) std::reverse(surfaces->begin() + first_surface, surfaces->end());
  if (first_id > 0 && merge && (*ids)[first_id - 1] == model.unk_id &&
      (*ids)[first_id] == model.unk_id) {
    ids->erase(ids->begin() + first_id);
    if (surfaces != nullptr) {
      std::string_view& joined = (*surfaces)[first_surface - 1];
      joined = std::string_view(joined.data(),
                                joined.size() + (*surfaces)[first_surface].size());
      surfaces->erase(surfaces->begin() + first_surface);
    }
  }
}

// Words of a small alphabet separated by the whitespace symbol; pieces never
// hold the symbol inside, so paths converge at most word starts. Some words
// hold characters that no piece covers.
std::string RandomText(std::mt19937* rng, size_t words) {
  static const std::vector<std::string> kLetters = {
      "a", "b", "c", "d", "\xc3\xa9", "z", "\xe4\xb8\xad", "<s>", "Q"};
  std::string text;
  for (size_t w = 0; w < words; ++w) {
    text += "\xe2\x96\x81";
    const size_t length = 1 + (*rng)() % 12;
    for (size_t i = 0; i < length; ++i) text += kLetters[(*rng)() % kLetters.size()];
  }
  if ((*rng)() % 2 == 0) text += "\xe4\xb8";  // a truncated character
  return text;
}

std::vector<TestPiece> RandomPieces(std::mt19937* rng, bool byte_fallback) {
  std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                   {"<s>", 0.0f, PieceType_CONTROL},
                                   {"abc", 0.0f, PieceType_USER_DEFINED},
                                   {"\xe2\x96\x81", -2.0f}};
  if (byte_fallback) {
    for (const TestPiece& piece : BytePieces()) pieces.push_back(piece);
  }
  static const std::vector<std::string> kLetters = {"a", "b", "c", "d", "\xc3\xa9"};
  std::vector<std::string> seen;
  while (pieces.size() < 120 + (byte_fallback ? 256u : 0u)) {
    std::string text = (*rng)() % 3 == 0 ? "\xe2\x96\x81" : "";
    const size_t length = 1 + (*rng)() % 4;
    for (size_t i = 0; i < length; ++i) text += kLetters[(*rng)() % kLetters.size()];
    if (std::find(seen.begin(), seen.end(), text) != seen.end() || text == "abc") {
      continue;
    }
    seen.push_back(text);
    pieces.push_back({text, -static_cast<float>((*rng)() % 1000) / 100.0f - 0.5f});
  }
  return pieces;
}

TEST(UnigramWindowTest, MatchesOneLatticeOverTheWholeText) {
  std::mt19937 rng(31337);
  for (bool byte_fallback : {false, true}) {
    LoadedModel model(MakeModel(RandomPieces(&rng, byte_fallback)));
    ASSERT_EQ(model->status(), absl::StatusCode::kOk);
    for (int round = 0; round < 40; ++round) {
      const std::string text = RandomText(&rng, 1 + rng() % 200);
      const std::string before = "\xe4\xb8\xad";  // an earlier unknown piece
      for (bool with_surfaces : {false, true}) {
        for (bool sampling : {false, true}) {
          SCOPED_TRACE(::testing::Message() << "round " << round << " fallback "
                                            << byte_fallback << " surfaces "
                                            << with_surfaces << " sampling " << sampling);
          Encoded expected, actual;
          std::mt19937 draws_expected(round), draws_actual(round);
          std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
          auto draw_expected = [&] { return uniform(draws_expected); };
          auto draw_actual = [&] { return uniform(draws_actual); };
          const RandomSource source_expected(draw_expected);
          const RandomSource source_actual(draw_actual);
          const RandomSource* rng_expected = sampling ? &source_expected : nullptr;
          const RandomSource* rng_actual = sampling ? &source_actual : nullptr;
          // An unknown id already at the end of the output, as a previous
          // chunk leaves it.
          PlainSegment(*model, before, &expected.ids,
                       with_surfaces ? &expected.surfaces : nullptr, 0.5f, nullptr);
          actual = expected;
          PlainSegment(*model, text, &expected.ids,
                       with_surfaces ? &expected.surfaces : nullptr, 0.5f, rng_expected);
          model->EncodeUnigram(text, &actual.ids,
                               with_surfaces ? &actual.surfaces : nullptr, 0.5f,
                               rng_actual);
          ASSERT_EQ(actual.ids, expected.ids);
          ASSERT_EQ(actual.surfaces.size(), expected.surfaces.size());
          for (size_t i = 0; i < actual.surfaces.size(); ++i) {
            ASSERT_EQ(actual.surfaces[i].data(), expected.surfaces[i].data()) << i;
            ASSERT_EQ(actual.surfaces[i].size(), expected.surfaces[i].size()) << i;
          }
        }
      }
    }
  }
}

// Rebasing happens at the same offsets in both, with a threshold low enough
// to trigger it many times within one window and across windows.
TEST(UnigramWindowTest, RebasingMatchesOneLattice) {
  std::mt19937 rng(4);
  LoadedModel model(MakeModel(RandomPieces(&rng, false)));
  for (float threshold : {100000.0f, 50.0f, 3.0f, 0.0f}) {
    model.mutable_model()->score_reset_threshold = threshold;
    const std::string text = RandomText(&rng, 3000);
    Encoded expected, actual;
    PlainSegment(*model, text, &expected.ids, &expected.surfaces, 0.0f, nullptr);
    model->EncodeUnigram(text, &actual.ids, &actual.surfaces, 0.0f, nullptr);
    EXPECT_EQ(actual.ids, expected.ids) << threshold;
    EXPECT_EQ(actual.surfaces, expected.surfaces) << threshold;
  }
}

// Overlapping pieces leave no offset that every path passes for thousands of
// bytes, so the window must grow far beyond its inline records.
TEST(UnigramWindowTest, LongStretchWithoutConvergence) {
  LoadedModel model(MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                               {"a", -3.0f},
                               {"aa", -4.0f},
                               {"aaa", -5.5f},
                               {"\xe2\x96\x81", -1.0f}}));
  for (const std::string& text :
       {std::string(5000, 'a'), "\xe2\x96\x81" + std::string(300, 'a') + "\xe2\x96\x81" "b" +
                                    std::string(3001, 'a')}) {
    Encoded expected, actual;
    PlainSegment(*model, text, &expected.ids, &expected.surfaces, 0.0f, nullptr);
    model->EncodeUnigram(text, &actual.ids, &actual.surfaces, 0.0f, nullptr);
    EXPECT_EQ(actual.ids, expected.ids);
    EXPECT_EQ(actual.surfaces, expected.surfaces);
  }
}

}  // namespace
}  // namespace korvel::lite
