// Speed of the pre-tokenizer: ForEachPretoken over a text, per family, with
// the hand-written matchers and with PCRE2 (JIT) running the same patterns.
// The texts are english.txt and multilingual.txt of the directory named by
// KORVEL_BENCH_TEXTS (tools/bench_texts.js writes them), else data/sample.txt
// repeated to 1 MiB.
//   KORVEL_BENCH_TEXTS=<dir> pretokenizer_bench

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "korvel_pretokenizer/pretokenizer.h"

namespace korvel::pretokenizer {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

const std::string& Text(const std::string& name) {
  static auto* texts = new std::vector<std::pair<std::string, std::string>>;
  for (const auto& [text_name, text] : *texts) {
    if (text_name == name) return text;
  }
  std::string text;
  if (const char* dir = std::getenv("KORVEL_BENCH_TEXTS")) {
    text = ReadFile(std::string(dir) + "/" + name + ".txt");
  }
  if (text.empty()) {
    const char* source = std::getenv("KORVEL_SOURCE_DIR");
    const std::string sample =
        ReadFile(std::string(source ? source : ".") + "/data/sample.txt");
    while (!sample.empty() && text.size() < (1 << 20)) text += sample;
  }
  texts->emplace_back(name, std::move(text));
  return texts->back().second;
}

void BM_Pretokenize(benchmark::State& state, const std::string& text_name,
                    std::vector<Family> families, bool regex) {
  std::vector<SplitStep> steps(families.size());
  for (size_t i = 0; i < families.size(); ++i) {
    const absl::StatusCode status =
        regex ? SplitStep::ForPattern(PatternOfFamily(families[i]), &steps[i])
              : SplitStep::ForFamily(families[i], &steps[i]);
    if (status != absl::StatusCode::kOk) {
      state.SkipWithError("no step");
      return;
    }
  }
  const std::string& text = Text(text_name);
  size_t pretokens = 0;
  for (auto _ : state) {
    ForEachPretoken(steps, text, [&](std::string_view) { ++pretokens; });
  }
  benchmark::DoNotOptimize(pretokens);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

const bool kRegistered = [] {
  const std::pair<const char*, std::vector<Family>> kFamilies[] = {
      {"gpt2", {Family::kGpt2}},
      {"cl100k", {Family::kCl100k}},
      {"qwen2", {Family::kQwen2}},
      {"o200k", {Family::kO200k}},
      {"deepseek",
       {Family::kDigits1To3, Family::kDeepSeekCjk, Family::kDeepSeek}}};
  for (const char* text : {"english", "multilingual"}) {
    for (const auto& [name, families] : kFamilies) {
      for (bool regex : {false, true}) {
        benchmark::RegisterBenchmark(
            (std::string(name) + "/" + text + (regex ? "/pcre2" : "/matcher"))
                .c_str(),
            BM_Pretokenize, std::string(text), families, regex)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  return true;
}();

}  // namespace
}  // namespace korvel::pretokenizer

BENCHMARK_MAIN();
