// Encoding throughput on a few megabytes of synthetic normalized text with a
// unigram and a BPE model of about 32000 pieces, all generated
// deterministically here.
//
// The BPE model is measured with and without its shortcuts (the bigram trie
// for safe-boundary chunking and direct mapping); the model without them is
// the baseline for the others.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "benchmark/benchmark.h"
#include "english_corpus.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/bigram_trie.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::MakeModel;
using testing::PackShared;
using testing::TestPiece;

constexpr std::string_view kSpace = "\xe2\x96\x81";
constexpr size_t kTextBytes = 4 << 20;
constexpr size_t kVocabularySize = 32000;

// A synthetic language: words of one to four syllables, drawn with a Zipf-like
// distribution, with some non-Latin script, digits and punctuation mixed in.
struct Corpus {
  std::vector<std::string> words;  // most frequent first
  std::string text;                // normalized: "\u2581word\u2581word..."
  std::vector<std::string_view> lines;
};

const Corpus& GetCorpus() {
  static const Corpus* corpus = [] {
    auto* c = new Corpus;
    std::mt19937 rng(2024);
    const std::vector<std::string> onsets = {
        "b", "c", "d", "f", "g",  "h",  "k",  "l",  "m",  "n",  "p",  "r", "s",
        "t", "v", "w", "z", "st", "tr", "ch", "sh", "pl", "gr", "br", ""};
    const std::vector<std::string> nuclei = {
        "a", "e", "i", "o", "u", "ai", "ou", "ea", "\xc3\xa9", "\xc3\xbc"};
    const std::vector<std::string> codas = {"",  "",  "",  "n",  "r", "s",
                                            "t", "l", "m", "ng", "ck"};
    std::set<std::string> seen;
    while (c->words.size() < 60000) {
      std::string word;
      for (int s = 1 + rng() % 4; s > 0; --s) {
        word += onsets[rng() % onsets.size()];
        word += nuclei[rng() % nuclei.size()];
        word += codas[rng() % codas.size()];
      }
      if (seen.insert(word).second) c->words.push_back(word);
    }
    const std::vector<std::string> foreign = {
        "\xe4\xb8\xad\xe6\x96\x87",                  // CJK
        "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5",  // Cyrillic
        "\xf0\x9f\x98\x80",
        "2024",
        "3.14",
        ",",
        ".",
        "!"};
    std::vector<double> weights;
    for (size_t i = 0; i < c->words.size(); ++i)
      weights.push_back(1.0 / (i + 10));
    std::discrete_distribution<size_t> zipf(weights.begin(), weights.end());
    size_t line_start = 0;
    while (c->text.size() < kTextBytes) {
      c->text += kSpace;
      if (rng() % 20 == 0) {
        c->text += foreign[rng() % foreign.size()];
      } else {
        std::string word = c->words[zipf(rng)];
        if (rng() % 10 == 0 && word[0] >= 'a' && word[0] <= 'z') {
          word[0] = static_cast<char>(word[0] - 'a' + 'A');
        }
        c->text += word;
      }
      if (c->text.size() - line_start > 120 && rng() % 8 == 0) {
        c->text += ".";
        line_start = c->text.size();
      }
    }
    size_t start = 0;
    for (size_t i = 0; i < c->text.size(); ++i) {
      if (c->text[i] == '.' && i + 1 - start > 100) {
        c->lines.emplace_back(c->text.data() + start, i + 1 - start);
        start = i + 1;
      }
    }
    c->lines.emplace_back(c->text.data() + start, c->text.size() - start);
    return c;
  }();
  return *corpus;
}

// The pieces: every character of the text, then the prefixes of "\u2581word"
// and "word" for the most frequent words, until the vocabulary is full. Every
// piece is thus one character longer than another piece, so BPE can reach it.
std::vector<TestPiece> Vocabulary(bool bpe) {
  const Corpus& corpus = GetCorpus();
  std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                   {"<s>", 0.0f, PieceType_CONTROL},
                                   {"</s>", 0.0f, PieceType_CONTROL}};
  std::set<std::string> seen;
  std::mt19937 rng(7);
  auto add = [&](const std::string& text, size_t chars) {
    if (pieces.size() >= kVocabularySize || !seen.insert(text).second) return;
    // BPE merges short pieces first; unigram prefers long ones a little.
    const float score =
        bpe ? -static_cast<float>(chars * 100000 + pieces.size())
            : -2.0f * std::sqrt(static_cast<float>(pieces.size())) / 40.0f -
                  static_cast<float>(rng() % 100) / 50.0f;
    pieces.push_back({text, score, PieceType_NORMAL});
  };
  std::set<std::string> characters;
  for (size_t i = 0; i < corpus.text.size();) {
    size_t length = 1;
    const auto lead = static_cast<unsigned char>(corpus.text[i]);
    if (lead >= 0xf0)
      length = 4;
    else if (lead >= 0xe0)
      length = 3;
    else if (lead >= 0xc0)
      length = 2;
    characters.insert(corpus.text.substr(i, length));
    i += length;
  }
  for (const std::string& c : characters) add(c, 1);
  for (const std::string& word : corpus.words) {
    for (const std::string& form : {std::string(kSpace) + word, word}) {
      size_t chars = 0;
      for (size_t end = 1; end <= form.size(); ++end) {
        if (end < form.size() &&
            (static_cast<unsigned char>(form[end]) & 0xc0) == 0x80) {
          continue;
        }
        ++chars;
        if (chars > 1) add(form.substr(0, end), chars);
      }
    }
    if (pieces.size() >= kVocabularySize) break;
  }
  return pieces;
}

std::vector<std::string> Texts(const ModelProtoT& proto) {
  return std::vector<std::string>(proto.pieces.begin(), proto.pieces.end());
}

// Direct-mapping flags decided as the converter does: a piece qualifies when
// encoding its text as one chunk yields exactly that piece.
void AddDirectMapping(ModelProtoT* proto) {
  KorvelLiteProcessor processor(PackShared(*proto));
  std::vector<uint8_t> flags(proto->pieces.size(), 1);
  std::vector<int> ids;
  for (size_t i = 0; i < proto->pieces.size(); ++i) {
    if (proto->types[i] != PieceType_NORMAL) continue;
    processor.EncodeNormalizedChunk(proto->pieces[i], &ids, nullptr);
    flags[i] = ids.size() == 1 && ids[0] == static_cast<int>(i);
  }
  proto->enable_direct_mapping = true;
  proto->direct_mapping_flags = flags;
}

enum class Kind { kUnigram, kBpePlain, kBpeChunked, kBpeShortcuts };

const KorvelLiteProcessor& GetProcessor(Kind kind) {
  static std::unique_ptr<KorvelLiteProcessor> processors[4];
  auto& processor = processors[static_cast<int>(kind)];
  if (processor == nullptr) {
    ModelProtoT proto =
        MakeModel(Vocabulary(kind != Kind::kUnigram),
                  kind == Kind::kUnigram ? ModelType_UNIGRAM : ModelType_BPE);
    if (kind == Kind::kBpeChunked || kind == Kind::kBpeShortcuts) {
      proto.bigram_trie = BuildBigramTrieBlob(Texts(proto)).value();
    }
    if (kind == Kind::kBpeShortcuts) AddDirectMapping(&proto);
    processor = std::make_unique<KorvelLiteProcessor>(PackShared(proto));
  }
  return *processor;
}

void EncodeLines(benchmark::State& state, Kind kind) {
  const KorvelLiteProcessor& processor = GetProcessor(kind);
  const Corpus& corpus = GetCorpus();
  std::vector<int> ids;
  size_t pieces = 0;
  for (auto _ : state) {
    pieces = 0;
    for (std::string_view line : corpus.lines) {
      processor.EncodeNormalized(line, &ids, nullptr);
      pieces += ids.size();
    }
    benchmark::DoNotOptimize(pieces);
  }
  state.SetBytesProcessed(state.iterations() * corpus.text.size());
  state.counters["bytes_per_piece"] =
      static_cast<double>(corpus.text.size()) / static_cast<double>(pieces);
}

void EncodeWholeText(benchmark::State& state, Kind kind) {
  const KorvelLiteProcessor& processor = GetProcessor(kind);
  const Corpus& corpus = GetCorpus();
  std::vector<int> ids;
  for (auto _ : state) {
    processor.EncodeNormalized(corpus.text, &ids, nullptr);
    benchmark::DoNotOptimize(ids.data());
  }
  state.SetBytesProcessed(state.iterations() * corpus.text.size());
}

void SampleLines(benchmark::State& state, Kind kind, float alpha) {
  const KorvelLiteProcessor& processor = GetProcessor(kind);
  const Corpus& corpus = GetCorpus();
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
  auto draw = [&] { return uniform(rng); };
  std::vector<int> ids;
  for (auto _ : state) {
    for (std::string_view line : corpus.lines) {
      processor.SampleNormalized(line, alpha, draw, &ids, nullptr);
      benchmark::DoNotOptimize(ids.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * corpus.text.size());
}

// Raw English-like text through normalization (an NFKC-style character map)
// and unigram segmentation with about 32000 pieces: line by line, and as one
// text.
void EncodeRawEnglishLines(benchmark::State& state) {
  const KorvelLiteProcessor& processor = bench::EnglishUnigramProcessor(false);
  std::vector<int> ids;
  size_t pieces = 0;
  for (auto _ : state) {
    pieces = 0;
    for (std::string_view line : bench::EnglishLines()) {
      processor.Encode(line, &ids);
      pieces += ids.size();
    }
    benchmark::DoNotOptimize(pieces);
  }
  state.SetBytesProcessed(state.iterations() * bench::EnglishText().size());
  state.counters["bytes_per_piece"] =
      static_cast<double>(bench::EnglishText().size()) /
      static_cast<double>(pieces);
}
BENCHMARK(EncodeRawEnglishLines)->Unit(benchmark::kMillisecond);

void EncodeRawEnglishWhole(benchmark::State& state) {
  const KorvelLiteProcessor& processor = bench::EnglishUnigramProcessor(false);
  std::vector<int> ids;
  for (auto _ : state) {
    processor.Encode(bench::EnglishText(), &ids);
    benchmark::DoNotOptimize(ids.data());
  }
  state.SetBytesProcessed(state.iterations() * bench::EnglishText().size());
}
BENCHMARK(EncodeRawEnglishWhole)->Unit(benchmark::kMillisecond);

// The unigram segmentation alone, over the normalized English lines.
void EncodeNormalizedEnglishLines(benchmark::State& state) {
  const KorvelLiteProcessor& processor = bench::EnglishUnigramProcessor(false);
  std::vector<std::string> lines;
  std::string normalized;
  for (std::string_view line : bench::EnglishLines()) {
    processor.Normalize(line, &normalized, nullptr);
    lines.push_back(normalized);
  }
  size_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size();
  std::vector<int> ids;
  for (auto _ : state) {
    for (const std::string& line : lines) {
      processor.EncodeNormalized(line, &ids, nullptr);
      benchmark::DoNotOptimize(ids.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(EncodeNormalizedEnglishLines)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(EncodeLines, unigram, Kind::kUnigram)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeLines, bpe_plain, Kind::kBpePlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeLines, bpe_chunked, Kind::kBpeChunked)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeLines, bpe_shortcuts, Kind::kBpeShortcuts)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeWholeText, unigram, Kind::kUnigram)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeWholeText, bpe_plain, Kind::kBpePlain)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeWholeText, bpe_shortcuts, Kind::kBpeShortcuts)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SampleLines, unigram, Kind::kUnigram, 0.1f)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SampleLines, bpe_dropout, Kind::kBpeShortcuts, 0.1f)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvel::lite

BENCHMARK_MAIN();
