// The encoders' fast paths against their general forms: the scanning BPE
// merger (short chunks) against the heap merger (dropout with probability 0),
// the derived lookup tables against plain trie walks, and Encode's reused
// normalization buffer (no allocation after warm-up, separate per thread).

#include <atomic>
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

namespace {
std::atomic<size_t> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

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

Encoded MergeDeterministic(const Model& model, std::string_view text) {
  Encoded out;
  model.EncodeBPE(text, &out.ids, &out.surfaces, 0.0f, nullptr);
  return out;
}

// The heap merger, reached through dropout that never drops.
Encoded MergeWithHeap(const Model& model, std::string_view text) {
  Encoded out;
  auto never = [] { return 0.5f; };
  const RandomSource source(never);
  model.EncodeBPE(text, &out.ids, &out.surfaces, 0.0f, &source);
  return out;
}

TEST(EncodeFastPathsTest, ScanningMergerMatchesHeapMerger) {
  std::mt19937 rng(7);
  for (const bool byte_pieces : {false, true}) {
    for (const bool user_defined : {false, true}) {
      LoadedModel model(RandomBpeModel(&rng, byte_pieces, user_defined));
      ASSERT_EQ(model->status(), absl::StatusCode::kOk);
      for (int i = 0; i < 400; ++i) {
        const std::string text = RandomText(&rng, 1, i % 4 == 0 ? 40 : 12);
        const Encoded scanned = MergeDeterministic(*model, text);
        const Encoded heaped = MergeWithHeap(*model, text);
        ASSERT_EQ(scanned.ids, heaped.ids) << text;
        ASSERT_EQ(scanned.surfaces, heaped.surfaces) << text;
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
  const size_t before = g_allocations.load();
  for (const std::string& line : lines) {
    EXPECT_EQ(processor.Encode(line, &ids), absl::StatusCode::kOk);
  }
  EXPECT_EQ(g_allocations.load() - before, 0u);
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
