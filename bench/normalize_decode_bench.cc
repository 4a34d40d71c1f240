// Throughput of normalization and decoding on a few MB of synthetic
// mixed-script text, beside plain baselines (a copy, byte-by-byte scans, the
// general normalization loop) to read the fast paths against.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "english_corpus.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::BuildCharsMap;
using testing::BytePieces;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::PackShared;
using testing::TestPiece;

constexpr size_t kTextBytes = 4 << 20;
constexpr char kWs[] = "\xe2\x96\x81";

// Words in Latin (some accented), Cyrillic, CJK and emoji, in proportions of
// roughly 60, 20, 15 and 5 percent.
std::vector<std::string> MakeDictionary() {
  std::mt19937 rng(1);
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    std::string word;
    const int kind = static_cast<int>(rng() % 20);
    const int length = 1 + static_cast<int>(rng() % 8);
    for (int j = 0; j < length; ++j) {
      uint32_t c;
      if (kind < 12) {
        c = rng() % 16 == 0 ? 0xe9 : 'a' + rng() % 26;
      } else if (kind < 16) {
        c = 0x430 + rng() % 32;
      } else if (kind < 19) {
        c = 0x4e00 + rng() % 0x5000;
      } else {
        c = 0x1f600 + rng() % 64;
      }
      bench::AppendUtf8(c, &word);
    }
    words.push_back(word);
  }
  return words;
}

struct Corpus {
  std::vector<std::string> dictionary = MakeDictionary();
  std::string text;
  std::vector<int> word_indices;  // the dictionary word of each text word
};

// Words joined by spaces, one gap in 20 doubled.
const Corpus& GetCorpus() {
  static const Corpus* corpus = [] {
    auto* c = new Corpus;
    std::mt19937 rng(2);
    while (c->text.size() < kTextBytes) {
      const int index = static_cast<int>(rng() % c->dictionary.size());
      c->word_indices.push_back(index);
      c->text += c->dictionary[index];
      c->text += rng() % 20 == 0 ? "  " : " ";
    }
    return c;
  }();
  return *corpus;
}

std::unique_ptr<KorvelLiteProcessor> MakeProcessor(bool charsmap,
                                                   bool inner_whitespace) {
  const Corpus& corpus = GetCorpus();
  std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                   {"<s>", 0.0f, PieceType_CONTROL}};
  for (const TestPiece& piece : BytePieces()) pieces.push_back(piece);
  for (const std::string& word : corpus.dictionary) {
    const std::string piece = kWs + word;
    bool duplicate = false;
    for (const TestPiece& existing : pieces)
      duplicate |= existing.text == piece;
    if (!duplicate) pieces.push_back({piece, -1.0f});
  }
  if (inner_whitespace) pieces.push_back({std::string("a") + kWs + "b", -1.0f});
  ModelProtoT model = MakeModel(pieces);
  std::vector<uint8_t> blob;
  if (charsmap) {
    blob = BuildCharsMap({{"\xef\xbc\xa1", "A"},
                          {"\xef\xac\x81", "fi"},
                          {"\xc2\xad", ""},
                          {"\xe3\x80\x80", " "},
                          {"\xd0\x90", "\xd0\xb0"}});
  }
  model.normalizer_spec = MakeNormalizerSpec(true, true, true, false, blob);
  return std::make_unique<KorvelLiteProcessor>(PackShared(model));
}

const KorvelLiteProcessor& Plain() {
  static const auto* processor = MakeProcessor(false, false).release();
  return *processor;
}

void BM_CopyBaseline(benchmark::State& state) {
  const std::string& text = GetCorpus().text;
  std::string out;
  for (auto _ : state) {
    out.assign(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_CopyBaseline);

// The corpus without its non-ASCII words: English-like text.
const std::string& AsciiText() {
  static const std::string* text = [] {
    const Corpus& corpus = GetCorpus();
    auto* ascii = new std::string;
    for (int index : corpus.word_indices) {
      const std::string& word = corpus.dictionary[index];
      if (std::all_of(word.begin(), word.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x80;
          })) {
        *ascii += word;
        *ascii += ' ';
      }
    }
    return ascii;
  }();
  return *text;
}

// range(0): 0 mixed-script corpus, 1 ASCII corpus.
const std::string& ScanText(const benchmark::State& state) {
  return state.range(0) == 0 ? GetCorpus().text : AsciiText();
}

void BM_Utf8CheckBytewise(benchmark::State& state) {
  const std::string& text = ScanText(state);
  for (auto _ : state) {
    size_t pos = 0;
    while (pos < text.size()) {
      const int length =
          WellFormedCharLength(std::string_view(text).substr(pos));
      if (length == 0) break;
      pos += length;
    }
    benchmark::DoNotOptimize(pos);
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_Utf8CheckBytewise)->Arg(0)->Arg(1);

void BM_Utf8CheckWordwise(benchmark::State& state) {
  const std::string& text = ScanText(state);
  for (auto _ : state) benchmark::DoNotOptimize(IsWellFormedUtf8(text));
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_Utf8CheckWordwise)->Arg(0)->Arg(1);

void BM_SpaceSearchBytewise(benchmark::State& state) {
  const std::string& text = GetCorpus().text;
  for (auto _ : state) {
    size_t count = 0;
    for (size_t pos = 0; pos < text.size(); ++pos) {
      while (pos < text.size() && text[pos] != ' ') ++pos;
      count += pos < text.size();
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_SpaceSearchBytewise);

void BM_SpaceSearchMemchr(benchmark::State& state) {
  const std::string_view text = GetCorpus().text;
  for (auto _ : state) {
    size_t count = 0;
    for (size_t pos = text.find(' '); pos != text.npos;
         pos = text.find(' ', pos + 1)) {
      ++count;
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_SpaceSearchMemchr);

void BM_SpaceSearchWordwise(benchmark::State& state) {
  const std::string& text = GetCorpus().text;
  for (auto _ : state) {
    size_t count = 0;
    for (size_t pos = FindSpace(text, 0); pos < text.size();
         pos = FindSpace(text, pos + 1)) {
      ++count;
    }
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_SpaceSearchWordwise);

// range(0): 0 fast path, 1 general loop (forced by one malformed byte at the
// end), 2 general loop with offsets, 3 character map, 4 character map with
// offsets.
void BM_Normalize(benchmark::State& state) {
  static const auto* with_charsmap = MakeProcessor(true, false).release();
  const int mode = static_cast<int>(state.range(0));
  const KorvelLiteProcessor& processor = mode >= 3 ? *with_charsmap : Plain();
  const std::string text = GetCorpus().text + (mode == 1 ? "\xff" : "");
  const bool want_offsets = mode == 2 || mode == 4;
  std::string normalized;
  std::vector<size_t> offsets;
  for (auto _ : state) {
    processor.Normalize(text, &normalized, want_offsets ? &offsets : nullptr);
    benchmark::DoNotOptimize(normalized.data());
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_Normalize)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// Word pieces, with one word in ten (and its space) spelled as byte pieces.
std::vector<int> CorpusIds(const KorvelLiteProcessor& processor) {
  const Corpus& corpus = GetCorpus();
  std::vector<int> ids;
  std::mt19937 rng(3);
  for (int index : corpus.word_indices) {
    const std::string& word = corpus.dictionary[index];
    if (rng() % 10 == 0) {
      for (unsigned char b : " " + word) {
        ids.push_back(processor.PieceToId(ByteToPiece(b)));
      }
    } else {
      ids.push_back(processor.PieceToId(kWs + word));
    }
  }
  return ids;
}

// Decodes `ids` for the whole run, with views when range(0) is 1; returns the
// size of the text.
size_t DecodeLoop(benchmark::State& state, const KorvelLiteProcessor& processor,
                  const std::vector<int>& ids) {
  std::string text;
  std::vector<std::string_view> surfaces;
  for (auto _ : state) {
    processor.Decode(ids, &text, state.range(0) != 0 ? &surfaces : nullptr);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * text.size());
  return text.size();
}

// range(0): 0 without views, 1 with views; range(1): 1 when the model has a
// piece with an inner whitespace symbol (the searching path).
void BM_Decode(benchmark::State& state) {
  static const auto* inner = MakeProcessor(false, true).release();
  const KorvelLiteProcessor& processor = state.range(1) != 0 ? *inner : Plain();
  const std::vector<int> ids = CorpusIds(processor);
  DecodeLoop(state, processor, ids);
}
BENCHMARK(BM_Decode)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// English-like raw text through an NFKC-style character map (whose keys start
// with many ASCII letters); range(0): 1 with offsets.
void BM_NormalizeEnglish(benchmark::State& state) {
  const KorvelLiteProcessor& processor = bench::EnglishUnigramProcessor(false);
  const std::string& text = bench::EnglishText();
  std::string normalized;
  std::vector<size_t> offsets;
  for (auto _ : state) {
    processor.Normalize(text, &normalized,
                        state.range(0) != 0 ? &offsets : nullptr);
    benchmark::DoNotOptimize(normalized.data());
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_NormalizeEnglish)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The ids of the English text under a LLaMA-like vocabulary of 32000 pieces
// (byte fallback for rare characters, pieces of repeated whitespace symbols);
// range(0): 1 with views.
void BM_DecodeEnglish(benchmark::State& state) {
  const KorvelLiteProcessor& processor = bench::EnglishUnigramProcessor(true);
  std::vector<int> ids;
  processor.Encode(bench::EnglishText(), &ids);
  const size_t text_size = DecodeLoop(state, processor, ids);
  state.counters["bytes_per_id"] =
      static_cast<double>(text_size) / static_cast<double>(ids.size());
}
BENCHMARK(BM_DecodeEnglish)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvel::lite

BENCHMARK_MAIN();
