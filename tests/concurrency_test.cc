// One loaded processor serving many threads at once: every text operation,
// run concurrently over texts of several scripts and sizes in different
// orders, gives exactly the single-threaded result. Meant to run under
// ThreadSanitizer as well.
//
// The worker threads only compute and compare; gtest assertions run on the
// main thread after the join, so that the report never depends on gtest's own
// thread safety (the system gtest is not built with ThreadSanitizer).

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_tokenizer/batch_encoder.h"
#include "korvel_tokenizer/tokenizer.h"
#include "mixed_script_models.h"

namespace korvel::lite {
namespace {

using testing::MixedScriptLiteModel;
using testing::MixedScriptWords;

constexpr int kThreads = 8;
constexpr int kRounds = 2;
constexpr float kAlpha = 0.1f;

// A view as offsets into the text it points into, comparable across threads
// that decode into different strings.
using Span = std::pair<size_t, size_t>;

std::vector<Span> Spans(const std::vector<std::string_view>& views,
                        std::string_view base) {
  std::vector<Span> spans;
  spans.reserve(views.size());
  for (std::string_view view : views) {
    spans.emplace_back(static_cast<size_t>(view.data() - base.data()),
                       view.size());
  }
  return spans;
}

// Everything the operations return for one text.
struct Results {
  int encode_code = -1;
  std::vector<int> ids;
  std::string normalized;
  std::vector<size_t> offsets;
  std::vector<int> normalized_ids;
  std::vector<Span> normalized_surfaces;
  std::vector<int> sampled_ids;
  std::vector<Span> sampled_surfaces;
  std::vector<Span> chunks;
  std::string decoded;
  std::vector<Span> decoded_surfaces;

  bool operator==(const Results& other) const {
    return encode_code == other.encode_code && ids == other.ids &&
           normalized == other.normalized && offsets == other.offsets &&
           normalized_ids == other.normalized_ids &&
           normalized_surfaces == other.normalized_surfaces &&
           sampled_ids == other.sampled_ids &&
           sampled_surfaces == other.sampled_surfaces &&
           chunks == other.chunks && decoded == other.decoded &&
           decoded_surfaces == other.decoded_surfaces;
  }
};

// Runs every operation on `text`; the views of normalized-text operations
// point into `normalized` (the shared, single-threaded normalization of
// `text`), so their offsets are comparable. Texts above `encode_only_above`
// bytes get Encode alone (and only in the first round), to keep the test
// quick under the sanitizer.
Results RunAll(const KorvelLiteProcessor& processor, std::string_view text,
               std::string_view normalized, uint64_t seed,
               size_t encode_only_above) {
  Results r;
  r.encode_code = static_cast<int>(processor.Encode(text, &r.ids));
  if (text.size() > encode_only_above) return r;
  processor.Normalize(text, &r.normalized, &r.offsets);

  std::vector<std::string_view> views;
  processor.EncodeNormalized(normalized, &r.normalized_ids, &views);
  r.normalized_surfaces = Spans(views, normalized);

  std::minstd_rand rng(static_cast<uint32_t>(seed));
  auto draw = [&rng] {
    return static_cast<float>(rng() - rng.min()) /
           (static_cast<float>(rng.max() - rng.min()) + 1.0f);
  };
  processor.SampleNormalized(normalized, kAlpha, draw, &r.sampled_ids, &views);
  r.sampled_surfaces = Spans(views, normalized);

  processor.PretokenizeAtSafeBoundaries(
      normalized, [&](std::string_view chunk) {
        r.chunks.emplace_back(
            static_cast<size_t>(chunk.data() - normalized.data()),
            chunk.size());
      });

  processor.Decode(r.ids, &r.decoded, &views);
  r.decoded_surfaces = Spans(views, r.decoded);
  return r;
}

// Texts of every kind: short and long, one script or mixed, already
// normalized or needing the character map and whitespace rules, with
// unknown characters and broken UTF-8, empty, and one above a megabyte that
// needs normalization (so Encode's per-thread buffer grows and is released).
std::vector<std::string> Texts() {
  const std::vector<std::string> words = MixedScriptWords(40);
  std::mt19937 rng(7);
  auto sentence = [&](size_t count, const char* separator) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) text += separator;
      text += words[rng() % words.size()];
    }
    return text;
  };
  std::vector<std::string> texts = {
      "",
      " ",
      "a",
      "Hello world",
      "<sep><mask><sep> trailing  spaces   ",
      "\xef\xbc\xa8\xef\xbd\x85\xef\xbd\x8c\xef\xbd\x8c\xef\xbd\x8f\xe2\x80\xa6"
      " "
      "\xef\xac\x81"
      "ne\xc2\xa0"
      "tab\there",
      "\xff\xfe broken \x80\x80 \xe2\x96 \xf0\x9f\x98 end",
      "\xe2\x96\x81\xe2\x96\x81\xe2\x96\x81"
      "already\xe2\x96\x81"
      "normalized",
      "emoji \xf0\x9f\x98\x80\xf0\x9f\x98\x81 and \xce\xa9"
      "mega",
  };
  for (int i = 0; i < 6; ++i) texts.push_back(sentence(3 + rng() % 10, " "));
  texts.push_back(sentence(400, " "));
  texts.push_back(sentence(300, ""));  // no spaces: long BPE chunks
  texts.push_back(sentence(600, "\xe3\x80\x80"));
  texts.push_back(sentence(1500, " "));
  // No-break spaces fold into one space each and collapse, so this encodes
  // quickly while Encode's buffer still grows past the size it keeps.
  std::string spaced = "x";
  while (spaced.size() < (1 << 20) + 4096) spaced += "\xc2\xa0";
  texts.push_back(spaced + "y");
  return texts;
}

void CheckConcurrentResults(const std::string& model_bytes) {
  const KorvelLiteProcessor processor(model_bytes);
  ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
  const std::vector<std::string> texts = Texts();
  const size_t encode_only_above = 64 << 10;

  std::vector<std::string> normalized(texts.size());
  std::vector<Results> expected;
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(processor.Normalize(texts[i], &normalized[i], nullptr),
              absl::StatusCode::kOk);
    expected.push_back(
        RunAll(processor, texts[i], normalized[i], i, encode_only_above));
    ASSERT_EQ(expected.back().encode_code, 0) << i;
  }
  ASSERT_FALSE(expected[3].ids.empty());

  // Odd threads use a second processor, whose decode table they then build
  // at once.
  const KorvelLiteProcessor fresh(model_bytes);
  // Per thread, the index of each text that came out different.
  std::vector<std::vector<size_t>> mismatches(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const size_t n = texts.size();
      for (int round = 0; round < kRounds; ++round) {
        for (size_t k = 0; k < n; ++k) {
          // Every thread starts elsewhere; odd threads walk backwards.
          const size_t step = (k + static_cast<size_t>(t) * 3 + round) % n;
          const size_t i = t % 2 == 0 ? step : n - 1 - step;
          if (round > 0 && texts[i].size() > encode_only_above) continue;
          if (!(RunAll(t % 2 == 0 ? processor : fresh, texts[i],
                       normalized[i], i, encode_only_above) == expected[i])) {
            mismatches[t].push_back(i);
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(mismatches[t].empty())
        << "thread " << t << " differs on " << mismatches[t].size()
        << " texts, first text " << mismatches[t].front();
  }
}

TEST(ConcurrencyTest, BpeWithBigramTrieDirectMappingAndByteFallback) {
  CheckConcurrentResults(MixedScriptLiteModel(korvel::TrainerSpec::BPE));
}

TEST(ConcurrencyTest, UnigramWithCharacterMap) {
  CheckConcurrentResults(MixedScriptLiteModel(korvel::TrainerSpec::UNIGRAM));
}

// Batches from two threads at once on one BatchEncoder give the ids, offsets
// and texts of one text at a time.
TEST(ConcurrencyTest, BatchEncoderEqualsOneAtATime) {
  using tokenizer::Offset;
  const auto tokenizer = tokenizer::Tokenizer::FromBytes(
      MixedScriptLiteModel(korvel::TrainerSpec::BPE));
  ASSERT_TRUE(tokenizer.ok()) << tokenizer.status();
  const std::vector<std::string> texts = Texts();
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const tokenizer::EncodeOptions options = {false, false, true};
  std::vector<std::vector<int>> ids(texts.size());
  std::vector<std::vector<Offset>> offsets(texts.size());
  std::vector<std::string> decoded(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    ASSERT_TRUE(
        (*tokenizer)->Encode(texts[i], options, &ids[i], &offsets[i]).ok());
    ASSERT_TRUE((*tokenizer)->Decode(ids[i], &decoded[i]).ok());
  }
  const tokenizer::BatchEncoder batch(**tokenizer, 3);
  std::vector<std::vector<std::vector<int>>> batch_ids(2);
  std::vector<std::vector<std::vector<Offset>>> batch_offsets(2);
  std::vector<std::vector<std::string>> batch_decoded(2);
  std::vector<absl::Status> statuses(4);
  std::vector<std::thread> callers;
  for (int c = 0; c < 2; ++c) {
    callers.emplace_back([&, c] {
      statuses[2 * c] =
          batch.EncodeBatch(views, options, &batch_ids[c], &batch_offsets[c]);
      statuses[2 * c + 1] = batch.DecodeBatch(ids, &batch_decoded[c]);
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (int c = 0; c < 2; ++c) {
    EXPECT_TRUE(statuses[2 * c].ok() && statuses[2 * c + 1].ok());
    EXPECT_TRUE(batch_ids[c] == ids && batch_offsets[c] == offsets);
    EXPECT_TRUE(batch_decoded[c] == decoded);
  }
  // Of two failing texts in different runs of a batch, the first is reported.
  std::vector<std::vector<int>> bad(200, ids[3]);
  bad[120] = bad[190] = {1 << 30};
  const absl::Status failure = batch.DecodeBatch(bad, &batch_decoded[0]);
  EXPECT_EQ(failure.message().substr(0, 9), "text 120:") << failure;
}

}  // namespace
}  // namespace korvel::lite
