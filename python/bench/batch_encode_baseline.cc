// The C++ side of the Python benchmark: BatchEncoder throughput on the lines
// of a file with 1 and 2 threads, and the time of one Encode call on a short
// text, printed as "name value" lines for python/bench/bench_python.py.
//   batch_encode_baseline MODEL TEXT_FILE SHORT_TEXT

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_tokenizer/batch_encoder.h"
#include "korvel_tokenizer/tokenizer.h"
#include "split_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best of `rounds` timings of one batch, in MB/s of text.
double BatchMegabytesPerSecond(const korvel::tokenizer::Tokenizer& tokenizer,
                               int num_threads,
                               const std::vector<std::string_view>& lines,
                               size_t bytes, int rounds) {
  korvel::tokenizer::BatchEncoder encoder(tokenizer, num_threads);
  std::vector<int> ids;
  std::vector<size_t> ends;
  double best = 1e30;
  for (int round = 0; round < rounds; ++round) {
    const Clock::time_point start = Clock::now();
    if (!encoder.EncodeBatchFlat(lines, {}, &ids, &ends).ok()) return 0;
    best = std::min(best, SecondsSince(start));
  }
  return static_cast<double>(bytes) / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s MODEL TEXT_FILE SHORT_TEXT\n", argv[0]);
    return 2;
  }
  auto tokenizer = korvel::tokenizer::Tokenizer::Open(argv[1]);
  if (!tokenizer.ok()) {
    std::fprintf(stderr, "%s\n", tokenizer.status().ToString().c_str());
    return 1;
  }
  std::ifstream file(argv[2], std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  const std::string text = contents.str();
  const std::vector<std::string_view> lines = korvel::python::SplitLines(text);
  for (int threads : {1, 2}) {
    std::printf(
        "cpp_batch_mb_s_%d %.3f\n", threads,
        BatchMegabytesPerSecond(**tokenizer, threads, lines, text.size(), 5));
  }
  const std::string_view short_text = argv[3];
  std::vector<int> ids;
  constexpr int kCalls = 200000;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kCalls; ++i) {
    if (!(*tokenizer)->Encode(short_text, {}, &ids).ok()) return 1;
  }
  std::printf("cpp_encode_short_us %.4f\n", SecondsSince(start) / kCalls * 1e6);
  return 0;
}
