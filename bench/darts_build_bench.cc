// Time to build the double array of a vocabulary-sized key set.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "darts/darts.h"

namespace {

// Up to 16 bytes of word pieces: ASCII syllables, a word-boundary mark and
// two- to four-byte UTF-8 characters, so that many keys share prefixes.
std::string SyntheticPiece(std::mt19937& rng) {
  static const char* const kParts[] = {
      "a",
      "e",
      "i",
      "o",
      "u",
      "s",
      "t",
      "n",
      "r",
      "l",
      "th",
      "er",
      "in",
      "ing",
      "ion",
      "tion",
      "re",
      "an",
      "ed",
      "es",
      "\xe2\x96\x81",  // U+2581
      "\xc3\xa9",
      "\xc3\xb6",
      "\xd0\xb0",
      "\xd0\xbe",  // Latin, Cyrillic
      "\xe3\x81\xae",
      "\xe4\xb8\x80",
      "\xe7\x9a\x84",  // Kana, Han
      "\xf0\x9f\x98\x80",
      "\xf0\x9f\x91\x8d",  // Emoji
  };
  constexpr int kNumParts = sizeof(kParts) / sizeof(kParts[0]);
  std::uniform_int_distribution<int> part(0, kNumParts - 1);
  std::uniform_int_distribution<int> num_parts(1, 7);
  std::string piece;
  for (int n = num_parts(rng); n > 0; --n) {
    const std::string next = kParts[part(rng)];
    if (piece.size() + next.size() > 16) break;
    piece += next;
  }
  return piece.empty() ? std::string(kParts[part(rng)]) : piece;
}

std::vector<std::string> SyntheticVocabulary(std::size_t size) {
  std::mt19937 rng(20240601);
  std::set<std::string> pieces;
  while (pieces.size() < size) pieces.insert(SyntheticPiece(rng));
  return std::vector<std::string>(pieces.begin(), pieces.end());
}

void BM_BuildVocabulary(benchmark::State& state) {
  const std::vector<std::string> vocabulary =
      SyntheticVocabulary(static_cast<std::size_t>(state.range(0)));
  std::vector<const char*> keys;
  std::vector<std::size_t> lengths;
  for (const std::string& piece : vocabulary) {
    keys.push_back(piece.data());
    lengths.push_back(piece.size());
  }
  std::size_t units = 0;
  for (auto _ : state) {
    Darts::DoubleArray trie;
    trie.build(keys.size(), keys.data(), lengths.data());
    units = trie.size();
    benchmark::DoNotOptimize(trie.array());
  }
  state.counters["units"] = static_cast<double>(units);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_BuildVocabulary)->Arg(300000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
