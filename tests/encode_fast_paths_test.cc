// The encoders' fast paths against plain forms: both BPE mergers (scanning
// for short chunks, heap for long ones) against a direct transcription of the
// merge rule, with and without dropout; the derived lookup tables against
// plain trie walks; and Encode's reused normalization buffer (no allocation
// after warm-up, separate per thread).

#include <atomic>
#include <functional>
#include <set>
#include <tuple>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "encoding_test_util.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/model.h"
#include "korvel_lite/utf8.h"

#include "allocation_counter.h"

namespace korvel::lite {
namespace {

using testing::BigramTrie;
using testing::BytePieces;
using testing::Encoded;
using testing::LoadedModel;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::PieceTexts;
using testing::TestPiece;

constexpr std::string_view kSpace = "\xe2\x96\x81";

const std::vector<std::string>& Alphabet() {
  static const auto* alphabet = new std::vector<std::string>{
      "a", "b", "c", "n", "s", "t", "Q", "7", ".",
      "\xe2\x96\x81",      // whitespace symbol
      "\xc3\xa9",          // e acute
      "\xe4\xb8\xad",      // CJK
      "\xf0\x9f\x98\x80",  // emoji
      "\xce\xa9",          // in no piece
      "\x80",              // a stray continuation byte
  };
  return *alphabet;
}

std::string RandomText(std::mt19937* rng, int min_chars, int max_chars) {
  const int chars = min_chars + static_cast<int>((*rng)() % (max_chars - min_chars + 1));
  std::string text;
  for (int i = 0; i < chars; ++i) {
    text += Alphabet()[(*rng)() % (Alphabet().size() - 2)];
    if ((*rng)() % 16 == 0) text += Alphabet()[Alphabet().size() - 1 - (*rng)() % 2];
  }
  return text;
}

// Single characters and random words scored at random (ties included), a
// user-defined piece and a control piece, after <unk> or the byte pieces.
ModelProtoT RandomBpeModel(std::mt19937* rng, bool byte_pieces,
                           bool user_defined) {
  std::vector<TestPiece> pieces =
      byte_pieces ? BytePieces()
                  : std::vector<TestPiece>{{"<unk>", 0.0f, PieceType_UNKNOWN}};
  std::vector<std::string> seen;
  auto add = [&](const std::string& text, PieceType type) {
    for (const std::string& other : seen) {
      if (other == text) return;
    }
    seen.push_back(text);
    pieces.push_back({text, -static_cast<float>((*rng)() % 50), type});
  };
  for (size_t i = 0; i + 2 < Alphabet().size(); ++i) {
    add(Alphabet()[i], PieceType_NORMAL);
  }
  for (int i = 0; i < 300; ++i) add(RandomText(rng, 2, 5), PieceType_NORMAL);
  if (user_defined) add("sQ", PieceType_USER_DEFINED);
  add("ab", PieceType_CONTROL);
  ModelProtoT model = MakeModel(pieces, ModelType_BPE);
  model.bigram_trie = BigramTrie(PieceTexts(pieces));
  model.enable_direct_mapping = true;
  return model;
}

// BPE merging as plainly as it can be written: whole texts looked up in the
// piece trie, every adjacent pair examined at every step, dropped pairs
// remembered by their position and sizes.
Encoded ReferenceMerge(const Model& model, std::string_view text, float alpha,
                       const std::function<float()>* rng) {
  struct Sym {
    size_t start, size;
    int32_t id;
    bool frozen;
  };
  auto matchable = [&](int32_t id) {
    return id >= 0 && (model.types[id] == PieceType_NORMAL ||
                       model.types[id] == PieceType_USER_DEFINED);
  };
  std::vector<Sym> syms;
  for (size_t pos = 0; pos < text.size();) {
    const DoubleArray::Match user =
        model.user_defined_trie.longest_prefix_lookup(text.substr(pos));
    if (user.length > 0 && model.types[user.value] == PieceType_USER_DEFINED) {
      syms.push_back({pos, static_cast<size_t>(user.length), user.value, true});
    } else {
      const size_t size = static_cast<size_t>(CharLengthAt(text, pos));
      const int32_t id = model.piece_trie.exact_lookup(text.substr(pos, size));
      syms.push_back({pos, size, matchable(id) ? id : model.unk_id, false});
    }
    pos += syms.back().size;
  }
  std::set<std::tuple<size_t, size_t, size_t>> dropped;
  while (alpha < 1.0f) {
    int best = -1;
    int32_t best_id = 0;
    for (size_t i = 0; i + 1 < syms.size(); ++i) {
      if (syms[i].frozen || syms[i + 1].frozen) continue;
      if (dropped.count({syms[i].start, syms[i].size, syms[i + 1].size})) continue;
      const int32_t id = model.piece_trie.exact_lookup(
          text.substr(syms[i].start, syms[i].size + syms[i + 1].size));
      if (!matchable(id)) continue;
      if (best < 0 || model.bpe_scores[id] > model.bpe_scores[best_id]) {
        best = static_cast<int>(i);
        best_id = id;
      }
    }
    if (best < 0) break;
    if (rng != nullptr && alpha > (*rng)()) {
      dropped.insert({syms[best].start, syms[best].size, syms[best + 1].size});
      continue;
    }
    syms[best].size += syms[best + 1].size;
    syms[best].id = best_id;
    syms.erase(syms.begin() + best + 1);
  }
  Encoded out;
  for (const Sym& sym : syms) {
    model.EmitPiece<false>(sym.id, text.substr(sym.start, sym.size), &out.ids,
                           &out.surfaces);
  }
  return out;
}

TEST(EncodeFastPathsTest, BothMergersMatchTheReference) {
  std::mt19937 rng(7);
  for (const bool byte_pieces : {false, true}) {
    for (const bool user_defined : {false, true}) {
      LoadedModel model(RandomBpeModel(&rng, byte_pieces, user_defined));
      ASSERT_EQ(model->status(), absl::StatusCode::kOk);
      for (int i = 0; i < 300; ++i) {
        // Short texts take the scanning merger, long ones the heap merger.
        const std::string text = RandomText(&rng, 1, i % 3 == 0 ? 60 : 12);
        for (const float alpha : {0.0f, 0.3f}) {
          for (const bool sampling : {false, true}) {
            if (alpha > 0.0f && !sampling) continue;
            std::mt19937 draws_a(i), draws_b(i);
            std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
            size_t calls_a = 0, calls_b = 0;
            const std::function<float()> draw_a = [&] {
              ++calls_a;
              return uniform(draws_a);
            };
            auto draw_b = [&] {
              ++calls_b;
              return uniform(draws_b);
            };
            const RandomSource source(draw_b);
            const Encoded expected =
                ReferenceMerge(*model, text, alpha, sampling ? &draw_a : nullptr);
            Encoded actual;
            model->EncodeBPE(text, &actual.ids, &actual.surfaces, alpha,
                             sampling ? &source : nullptr);
            ASSERT_EQ(actual.ids, expected.ids) << text << " alpha " << alpha;
            ASSERT_EQ(actual.surfaces, expected.surfaces) << text;
            ASSERT_EQ(calls_b, calls_a) << text;
          }
        }
      }
    }
  }
}

TEST(EncodeFastPathsTest, EmptyChunkWithDirectMappingAppendsNothing) {
  std::mt19937 rng(5);
  LoadedModel model(RandomBpeModel(&rng, false, false));
  Encoded out;
  model->EncodeChunk(std::string_view(), &out.ids, &out.surfaces, 0.0f,
                     nullptr);
  EXPECT_TRUE(out.ids.empty());
  EXPECT_TRUE(out.surfaces.empty());
}

TEST(EncodeFastPathsTest, DerivedTablesMatchTrieWalks) {
  std::mt19937 rng(11);
  LoadedModel model(RandomBpeModel(&rng, false, true));
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    const int32_t child = model->piece_trie.child_index(0, byte);
    EXPECT_EQ(model->piece_root_children[b],
              child < 0 ? 0xffffffffu : static_cast<uint32_t>(child));
    const int32_t id = model->piece_trie.exact_lookup(std::string(1, byte));
    const bool matchable = id >= 0 && (model->types[id] == PieceType_NORMAL ||
                                       model->types[id] == PieceType_USER_DEFINED);
    EXPECT_EQ(model->single_byte_piece_ids[b], matchable ? id : model->unk_id);
  }
  int32_t space_node = 0;
  for (const char ch : kSpace) {
    space_node = model->piece_trie.child_index(static_cast<uint32_t>(space_node),
                                               static_cast<unsigned char>(ch));
  }
  EXPECT_EQ(model->piece_whitespace_node, static_cast<uint32_t>(space_node));
  EXPECT_TRUE(model->direct_mapping_enabled);
}

// A text that needs normalization (spaces and a dummy prefix) on a BPE model
// with chunking and direct mapping.
struct NormalizingProcessor {
  NormalizingProcessor() : rng(3) {
    ModelProtoT proto = RandomBpeModel(&rng, true, false);
    proto.normalizer_spec = MakeNormalizerSpec(true, false, true, false);
    bytes = testing::Pack(proto);
    processor = std::make_unique<KorvelLiteProcessor>(std::string_view(bytes));
  }
  std::mt19937 rng;
  std::string bytes;
  std::unique_ptr<KorvelLiteProcessor> processor;
};

TEST(EncodeFastPathsTest, EncodeAllocatesNothingAfterWarmUp) {
  NormalizingProcessor fixture;
  const KorvelLiteProcessor& processor = *fixture.processor;
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  std::vector<std::string> lines;
  for (int i = 0; i < 50; ++i) lines.push_back(RandomText(&fixture.rng, 1, 30) + " x y");
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

TEST(EncodeFastPathsTest, EncodeFromManyThreadsGivesTheSameIds) {
  NormalizingProcessor fixture;
  const KorvelLiteProcessor& processor = *fixture.processor;
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    lines.push_back(RandomText(&fixture.rng, 1, i % 10 == 0 ? 300 : 30) + " z");
  }
  std::vector<std::vector<int>> expected(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) processor.Encode(lines[i], &expected[i]);

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
}

}  // namespace
}  // namespace korvel::lite
