// Byte-level BPE models: encoding by a table and against the plain reference
// on random text, through every encoding path, and decoding.

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "absl/numeric/bits.h"
#include "allocation_counter.h"
#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_tokenizer/tokenizer.h"
#include "reference_text.h"

namespace korvel::lite {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::unique_ptr<tokenizer::Tokenizer> Open(bool ignore_merges, int family) {
  std::vector<std::pair<int, std::string>> steps;
  if (family != 0) steps.emplace_back(family, "");
  auto opened = tokenizer::Tokenizer::FromBytes(
      *ToFlatbuffer(testing::ByteLevelFullModel(testing::SmallByteLevelMerges(),
                                                steps, ignore_merges),
                    {}));
  return opened.ok() ? *std::move(opened) : nullptr;
}

TEST(ByteLevelTest, EncodesByTable) {
  const struct {
    std::string text;
    bool ignore_merges;
    std::vector<std::string> pieces;
  } cases[] = {
      {"hello world", false, {"hello", " world"}},
      {"the end", false, {"the", " ", "e", "n", "d"}},  // "th" before "he"
      {" and", false, {" a", "n", "d"}},                // no merge reaches it
      {" and", true, {" and"}},
      {" andx", true, {" a", "n", "d", "x"}},
      {std::string("\0x", 2), false, {"<0x00>", "x"}},
      {"r\xc3\xa9\xff\xc3", false, {"r\xc3\xa9", "\xff", "\xc3"}},
      {"a<tool><|bos|>",
       false,
       {"a", "<tool>", "<", "|", "b", "o", "s", "|", ">"}},
  };
  for (const auto& c : cases) {
    const auto model = Open(c.ignore_merges, 0);
    ASSERT_NE(model, nullptr);
    std::vector<int> ids;
    ASSERT_EQ(model->processor().EncodeNormalized(c.text, &ids, nullptr),
              absl::StatusCode::kOk);
    std::vector<std::string> pieces;
    for (const int id : ids) pieces.emplace_back(model->IdToPiece(id));
    EXPECT_THAT(pieces, ElementsAreArray(c.pieces)) << c.text;
  }
}

// With and without views (the chunk cache) and pre-tokenizer steps, ids and
// views are the reference's; decoding gives the text back; dropout of every
// merge leaves the bytes.
TEST(ByteLevelTest, MatchesReferenceOnRandomText) {
  static const char* const kFragments[] = {
      "the",    " ",  "and", "hello",  "\xc3\xa9", "r",        "\xff",
      "<tool>", "ll", "\n",  " world", "  ",       "\xe2\x82", ""};
  std::mt19937 rng(21);
  for (const bool ignore_merges : {false, true}) {
    for (const int family : {0, 1, 2}) {
      const auto model = Open(ignore_merges, family);
      const KorvelLiteProcessor& processor = model->processor();
      for (int round = 0; round < 200; ++round) {
        std::string text;
        for (int i = rng() % 20; i > 0; --i) text += kFragments[rng() % 14];
        if (rng() % 4 == 0) text.push_back('\0');
        EXPECT_EQ(fuzzing::ByteLevelMismatch(processor, text), "") << text;
        if (ignore_merges) continue;
        std::vector<int> ids;
        std::vector<std::string_view> views;
        processor.SampleNormalized(
            text, 1.0f, [] { return 0.0f; }, &ids, &views);
        for (const std::string_view view : views) {
          EXPECT_TRUE(view.size() == 1 || view == "<tool>") << view;
        }
      }
    }
  }
}

// Random models whose pieces cut a few characters of two and three bytes
// anywhere: characters that start as one symbol change no id.
TEST(ByteLevelTest, WholeCharactersMatchReference) {
  static const char* const kChars[] = {
      "\xe4\xb8\x80", "\xe4\xb8\x81", "\xc3\xa9", "\xc3\xbc", "a", " "};
  std::mt19937 rng(5);
  auto random_text = [&](int max_chars) {
    std::string text;
    for (int i = 1 + rng() % max_chars; i > 0; --i) text += kChars[rng() % 6];
    return text;
  };
  size_t whole = 0;
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> merged;
    for (int i = 0; i < 40; ++i) merged.push_back(random_text(3));
    for (std::string& piece : merged)
      piece = piece.substr(rng() % piece.size());
    merged.insert(merged.begin() + rng() % 40, kChars, kChars + 4);
    std::set<std::string> seen;
    merged.erase(std::remove_if(merged.begin(), merged.end(),
                                [&](const std::string& piece) {
                                  return piece.size() < 2 ||
                                         !seen.insert(piece).second;
                                }),
                 merged.end());
    auto model = tokenizer::Tokenizer::FromBytes(
        *ToFlatbuffer(testing::ByteLevelFullModel(merged), {}));
    ASSERT_TRUE(model.ok());
    const KorvelLiteProcessor& processor = (*model)->processor();
    for (int i = 0; i < 20; ++i) {
      const std::string text = random_text(60);
      ASSERT_EQ(fuzzing::ByteLevelMismatch(processor, text), "") << text;
    }
    const uint64_t* bits = processor.model()->whole_character_bits();
    for (size_t w = 0; w < (processor.vocab_size() + 63) / 64; ++w) {
      whole += absl::popcount(bits[w]);
    }
  }
  EXPECT_GT(whole, 0u);
}

// Random pieces of 1 to 24 bytes around the decode table's limits (7 bytes
// held in the table, 16 read from the model), the longest last so that their
// texts lie at the very end of a buffer of exactly the model's size: random
// ids decode to their pieces' bytes, with and without views.
TEST(ByteLevelTest, DecodesRandomVocabulariesToTheirBytes) {
  std::mt19937 rng(17);
  std::set<std::string> texts;
  while (texts.size() < 200) {
    std::string text(1 + rng() % 24, 'a');
    for (char& byte : text) byte = static_cast<char>(1 + rng() % 255);
    if (text.size() > 1) texts.insert(text);
  }
  std::vector<std::string> merged(texts.begin(), texts.end());
  std::stable_sort(merged.begin(), merged.end(),
                   [](const std::string& a, const std::string& b) {
                     return a.size() < b.size();
                   });
  const std::string packed =
      *ToFlatbuffer(testing::ByteLevelFullModel(merged), {});
  const std::unique_ptr<char[]> exact(new char[packed.size()]);
  std::memcpy(exact.get(), packed.data(), packed.size());
  const KorvelLiteProcessor processor{
      std::string_view(exact.get(), packed.size())};
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  for (int round = 0; round < 200; ++round) {
    std::vector<int> ids(rng() % 50);
    std::string expected;
    for (int& id : ids) {
      id = 256 + static_cast<int>(rng() % merged.size());
      expected += processor.IdToPiece(id);
    }
    std::string text, plain;
    std::vector<std::string_view> views;
    ASSERT_EQ(processor.Decode(ids, &text, &views), absl::StatusCode::kOk);
    ASSERT_EQ(processor.Decode(ids, &plain, nullptr), absl::StatusCode::kOk);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(plain, expected);
    ASSERT_EQ(views.size(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      EXPECT_EQ(views[i], processor.IdToPiece(ids[i]));
    }
  }
}

// The tokenizer layer: special text, BOS, offsets, and streaming decode that
// holds back a character until its last byte.
TEST(ByteLevelTest, TokenizerLayer) {
  const auto model = Open(false, 1);
  const int bos = model->bos_id();
  std::vector<int> ids;
  std::vector<tokenizer::Offset> offsets;
  ASSERT_TRUE(
      model->Encode("<|bos|>hello", {true, false, true}, &ids, &offsets).ok());
  EXPECT_THAT(ids, ElementsAre(bos, bos, model->PieceToId("hello")));
  EXPECT_EQ(offsets[2].begin, 7u);
  tokenizer::DecodeStream stream = model->NewDecodeStream();
  std::vector<std::string> steps(4);
  const int step_ids[] = {bos, 0xe2, 0x82, 0xac};
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(stream.Step(step_ids[i], &steps[i]).ok());
  EXPECT_THAT(steps, ElementsAre("", "", "", "\xe2\x82\xac"));
}

// Once the thread's cache and the output have grown, encoding with family
// steps allocates nothing.
TEST(ByteLevelTest, EncodingAllocatesNothing) {
  const auto model = Open(false, 2);
  const std::string text = "Hello world, the r\xc3\xa9 and 12345!\n\n  x";
  std::vector<int> ids;
  model->processor().EncodeNormalized(text, &ids, nullptr);
  const size_t before = testing::AllocationCount();
  model->processor().EncodeNormalized(text, &ids, nullptr);
  EXPECT_EQ(testing::AllocationCount(), before);
}

}  // namespace
}  // namespace korvel::lite
