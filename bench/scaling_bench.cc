// Scaling check on pathological texts: for every shape of input (one letter
// repeated, spaces, one CJK character, broken UTF-8, runs of the whitespace
// symbol or of user-defined pieces, unknown stretches, scripts alternating
// character by character or word by word, ...) and every operation (Encode
// and SampleNormalized on a BPE and a unigram model, Normalize with offsets,
// Decode with views), it measures the time and the bytes allocated for a text
// of n bytes and of 8n bytes and prints their ratios, which are about 8 when
// the cost is linear and about 64 when it is quadratic. It does the same for
// importing tokenizer.json files that grow in one place (a list of objects,
// nested lists, added tokens, merges). Then it encodes one line of 100 MB
// against one of 12.5 MB, and with a byte-level model one pre-token of 1 MB
// (letters, digits, spaces, one emoji repeated) against one of 1/8 MB.
//
// Each row picks its own n, a power-of-two multiple of --mb up to --max_mb,
// so that one call on n bytes takes at least --min_ms: a call of a few
// milliseconds is at the mercy of the scheduler on a shared machine, one of
// tens is not. n starts at 2 MB, beyond a core's own cache: texts that fit
// there run several times faster per byte, most of all while other processes
// crowd the shared cache and memory.
//
// Time fails above --threshold (default 24), a little above the geometric
// middle of linear (8) and quadratic (64) growth: a linear operation stays
// near 8 to 11 while other work keeps every core busy, and reached 18 only
// when the cores were several times oversubscribed. Allocated bytes are exact
// and double with the vectors, so a linear operation gives exactly 8; they
// fail above 12, one and a half times that.
//
// Everything runs on a thread with a 256 KB stack, so recursion on the input
// size would crash it. With --check the program exits 1 when a ratio exceeds
// its limit or an operation fails.
//
//   scaling_bench [--check] [--threshold=24] [--mb=2] [--max_mb=16]
//                 [--min_ms=20] [--long_mb=100] [--filter=SUBSTRING]

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "allocation_counter.h"
#include "korvel_import/hf_import.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "mixed_script_models.h"
#include "nlohmann/json.hpp"
#include "tokenizer_json.h"

namespace korvel::lite {
namespace {

using testing::AppendUtf8;
using testing::MixedScriptLiteModel;
using testing::MixedScriptWords;

constexpr size_t kStackBytes = 256 << 10;
constexpr size_t kMB = 1 << 20;
// Each row compares a text of n bytes with one of kGrowth * n bytes.
constexpr size_t kGrowth = 8;
// The allocated bytes of the larger call may exceed kGrowth times those of the
// smaller by half as much again.
constexpr double kAllocationLimit = 1.5 * kGrowth;

struct Flags {
  bool check = false;
  double threshold = 24.0;
  size_t mb = 2;
  size_t max_mb = 16;
  double min_ms = 20.0;
  size_t long_mb = 100;
  std::string filter;
};

// A text of at least `size` bytes: `unit(i)` for i = 0, 1, ... appended until
// the size is reached.
std::string Repeat(size_t size,
                   const std::function<std::string(size_t)>& unit) {
  std::string text;
  text.reserve(size + 64);
  for (size_t i = 0; text.size() < size; ++i) text += unit(i);
  return text;
}

std::string Char(uint32_t code_point) {
  std::string text;
  AppendUtf8(code_point, &text);
  return text;
}

struct Shape {
  const char* name;
  std::function<std::string(size_t)> make;
};

std::vector<Shape> Shapes() {
  static const std::vector<std::string> words = MixedScriptWords(200);
  // The first letter of each script, then the next letters, cycling.
  const std::vector<uint32_t> firsts = {'a',   0x430,  0x3b1, 0x627,
                                        0x915, 0xac00, 0x4e00};
  auto constant = [](std::string unit) {
    return [unit](size_t size) {
      return Repeat(size, [&unit](size_t) { return unit; });
    };
  };
  return {
      {"letter a", constant("a")},
      {"letters ab", constant("ab")},
      {"spaces", constant(" ")},
      {"a + spaces",
       [](size_t size) { return "a" + std::string(size - 2, ' ') + "b"; }},
      {"cjk char", constant("\xe4\xb8\xad")},
      {"0xFF bytes", constant("\xff")},
      {"continuations", constant("\x80\xbf")},
      {"truncated utf8", constant("\xe2\x96"
                                  "a\xf0\x9f\x98"
                                  "b\xc3")},
      {"punctuation .", constant(".")},
      {"punctuation !", constant("!")},
      {"digits",
       [](size_t size) {
         return Repeat(size, [](size_t i) { return std::to_string(i % 10); });
       }},
      {"alt script chars",
       [firsts](size_t size) {
         return Repeat(size, [&firsts](size_t i) {
           return Char(firsts[i % firsts.size()] + (i / firsts.size()) % 5);
         });
       }},
      {"alt script words",
       [](size_t size) {
         std::mt19937 rng(3);
         return Repeat(size, [&](size_t i) {
           // Word i from script i % 7, then a space.
           const size_t per_script = words.size() / 7;
           return words[(i % 7) * per_script + rng() % per_script] + " ";
         });
       }},
      {"words no spaces",
       [](size_t size) {
         std::mt19937 rng(4);
         return Repeat(size,
                       [&](size_t) { return words[rng() % words.size()]; });
       }},
      {"ws symbol run", constant("\xe2\x96\x81")},
      {"user-defined run", constant("<sep>")},
      {"user-defined part", constant("<se")},
      {"unknown chars",
       [](size_t size) {
         return Repeat(size, [](size_t i) { return Char(0x100 + i % 64); });
       }},
      {"emoji", constant("\xf0\x9f\x98\x80")},
      {"fullwidth", constant("\xef\xbc\xa1")},
      {"nbsp", constant("\xc2\xa0")},
      {"tabs newlines", constant("\t\n")},
  };
}

// The input of one operation and its outputs, which are reused from call to
// call as a careful caller would.
struct Input {
  std::string_view raw;    // held by the caller
  std::string normalized;  // for SampleNormalized
  std::vector<int> ids;    // for Decode
  // The bytes of text the input stands for, and the size of what the
  // operation reads: the raw text, the normalized text or the ids.
  size_t text_bytes = 0;
  size_t work = 0;

  std::vector<int> out_ids;
  std::vector<std::string_view> out_views;
  std::string out_text;
  std::vector<size_t> out_offsets;
};

enum class OpKind { kEncode, kSample, kNormalize, kDecode };

struct Op {
  const char* name;
  const KorvelLiteProcessor* processor;
  OpKind kind;
};

// Runs `op` once; false when it fails.
bool Run(const Op& op, Input& input) {
  const KorvelLiteProcessor& p = *op.processor;
  constexpr absl::StatusCode kOk = absl::StatusCode::kOk;
  switch (op.kind) {
    case OpKind::kEncode:
      return p.Encode(input.raw, &input.out_ids) == kOk;
    case OpKind::kSample: {
      std::minstd_rand rng(12345);
      auto draw = [&rng] {
        return static_cast<float>(rng() - 1) / 2147483647.0f;
      };
      return p.SampleNormalized(input.normalized, 0.1f, draw, &input.out_ids,
                                &input.out_views) == kOk;
    }
    case OpKind::kNormalize:
      return p.Normalize(input.raw, &input.out_text, &input.out_offsets) == kOk;
    case OpKind::kDecode:
      return p.Decode(input.ids, &input.out_text, &input.out_views) == kOk;
  }
  return false;
}

// Texts of one shape by size, made once and shared by its rows.
class ShapeTexts {
 public:
  explicit ShapeTexts(const Shape& shape) : shape_(shape) {}

  std::string_view Get(size_t size) {
    auto [it, inserted] = texts_.try_emplace(size);
    if (inserted) it->second = shape_.make(size);
    return it->second;
  }

 private:
  const Shape& shape_;
  std::map<size_t, std::string> texts_;
};

// The input of `op` for `copies` times `base` bytes of the shape. Decode
// repeats the ids of the `base`-byte text, which spares encoding the large
// texts just to decode them.
Input Prepare(const Op& op, ShapeTexts& texts, size_t base, size_t copies) {
  Input input;
  if (op.kind == OpKind::kDecode) {
    input.raw = texts.Get(base);
    std::vector<int> base_ids;
    op.processor->Encode(input.raw, &base_ids);
    for (size_t i = 0; i < copies; ++i) {
      input.ids.insert(input.ids.end(), base_ids.begin(), base_ids.end());
    }
    input.text_bytes = input.raw.size() * copies;
    input.work = input.ids.size();
    return input;
  }
  input.raw = texts.Get(base * copies);
  input.text_bytes = input.raw.size();
  input.work = input.raw.size();
  if (op.kind == OpKind::kSample) {
    op.processor->Normalize(input.raw, &input.normalized, nullptr);
    input.work = input.normalized.size();
  }
  return input;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Measure {
  double seconds = 1e30;  // best of the repetitions
  size_t allocated = 0;   // bytes requested from operator new by one call
  bool ok = true;
};

// Times one call, adding the bytes it allocated to `m` on its first call.
void TimeOnce(const Op& op, Input& input, Measure* m, bool first) {
  const size_t before = testing::AllocatedBytes();
  const auto start = std::chrono::steady_clock::now();
  m->ok &= Run(op, input);
  const double seconds = Seconds(std::chrono::steady_clock::now() - start);
  if (first) m->allocated = testing::AllocatedBytes() - before;
  m->seconds = std::min(m->seconds, seconds);
}

// The best times of `reps` calls on `small` and on `large`, taken in
// alternation so that a busy spell of the machine hits both.
void TimePair(const Op& op, Input& small, Input& large, int reps, Measure* a,
              Measure* b) {
  for (int rep = 0; rep < reps; ++rep) {
    TimeOnce(op, small, a, a->allocated == 0 && rep == 0);
    TimeOnce(op, large, b, b->allocated == 0 && rep == 0);
  }
}

struct Outcome {
  int failures = 0;
  int rows = 0;
};

void PrintHeader() {
  std::printf("%-18s %-16s %4s %9s %9s %6s %8s %9s %6s\n", "shape", "operation",
              "n MB", "t(n) ms", "t(8n) ms", "ratio", "MB/s", "alloc B/B",
              "ratio");
}

// How many times --mb bytes make n for `op` on this shape: the smallest power
// of two at which the best of three calls takes at least --min_ms, and at most
// --max_mb / --mb.
size_t Copies(const Op& op, ShapeTexts& texts, size_t base,
              const Flags& flags) {
  const size_t max_copies = flags.max_mb / flags.mb;
  size_t copies = 1;
  while (copies < max_copies) {
    Input input = Prepare(op, texts, base, copies);
    Measure m;
    for (int rep = 0; rep < 3; ++rep) TimeOnce(op, input, &m, false);
    double ms = m.seconds * 1e3;
    if (ms >= flags.min_ms) break;
    // Grow by the power of two that the time asks for, then measure again.
    do {
      copies *= 2;
      ms *= 2;
    } while (copies < max_copies && ms < flags.min_ms);
  }
  return std::min(copies, max_copies);
}

// Times `op` on texts of n and 8n bytes of `shape`, n a power-of-two multiple
// of `base` bytes, and prints the row.
void Compare(const char* shape_name, ShapeTexts& texts, const Op& op,
             const Flags& flags, size_t base, Outcome* outcome) {
  // An operation left with next to nothing to do (the normalized text of
  // spaces is empty) has no meaningful ratio.
  if (Prepare(op, texts, base, 1).work < 1024) {
    std::printf("%-18s %-16s %4s %9s\n", shape_name, op.name, "", "(trivial)");
    return;
  }
  size_t copies = Copies(op, texts, base, flags);
  Input small = Prepare(op, texts, base, copies);
  Input large = Prepare(op, texts, base, kGrowth * copies);
  Measure a;
  Measure b;
  TimePair(op, small, large, 3, &a, &b);
  double ratio = b.seconds / a.seconds;
  // A noisy neighbour can spoil a round: measure again before failing, on
  // larger texts if the smaller call turned out quicker than it should.
  for (int retry = 0; retry < 2 && ratio > flags.threshold; ++retry) {
    if (a.seconds * 1e3 < flags.min_ms && copies * flags.mb < flags.max_mb) {
      copies *= 2;
      small = Prepare(op, texts, base, copies);
      large = Prepare(op, texts, base, kGrowth * copies);
      a = Measure();
      b = Measure();
    }
    TimePair(op, small, large, 5, &a, &b);
    ratio = b.seconds / a.seconds;
  }
  const double alloc_ratio =
      a.allocated == 0 ? (b.allocated == 0 ? 0.0 : 1e9)
                       : static_cast<double>(b.allocated) / a.allocated;
  const bool failed = !a.ok || !b.ok || ratio > flags.threshold ||
                      (b.allocated > 4096 && alloc_ratio > kAllocationLimit);
  std::printf("%-18s %-16s %4.3g %9.2f %9.2f %6.2f %8.1f %9.2f %6.2f%s\n",
              shape_name, op.name,
              static_cast<double>(copies * base) / kMB, a.seconds * 1e3,
              b.seconds * 1e3, ratio, large.text_bytes / b.seconds / kMB,
              static_cast<double>(a.allocated) / small.text_bytes, alloc_ratio,
              failed ? (a.ok && b.ok ? "  SUPERLINEAR" : "  FAILED") : "");
  std::fflush(stdout);
  ++outcome->rows;
  if (failed) ++outcome->failures;
}

// One line of `long_mb` MB of words in alternating scripts, encoded whole,
// against its first eighth.
void LongLine(const Op& op, const Flags& flags, Outcome* outcome) {
  const std::vector<Shape> shapes = Shapes();
  const auto words =
      std::find_if(shapes.begin(), shapes.end(), [](const Shape& s) {
        return std::string_view(s.name) == "alt script words";
      });
  const std::string line = words->make(flags.long_mb * kMB);
  // Cut the part at a space so that both are whole words.
  const size_t part_end = line.find(' ', line.size() / kGrowth) + 1;
  Input part;
  part.raw = std::string_view(line).substr(0, part_end);
  Input whole;
  whole.raw = line;
  Measure a;
  Measure b;
  TimePair(op, part, whole, 3, &a, &b);
  double ratio = b.seconds / a.seconds;
  if (ratio > flags.threshold) {
    TimePair(op, part, whole, 3, &a, &b);
    ratio = b.seconds / a.seconds;
  }
  const bool failed = !a.ok || !b.ok || ratio > flags.threshold;
  std::printf("%-18s %-16s %4zu %9.0f %9.0f %6.2f %8.1f %9.2f %6s%s\n",
              (std::to_string(flags.long_mb) + " MB line").c_str(), op.name,
              part.raw.size() / kMB, a.seconds * 1e3, b.seconds * 1e3, ratio,
              whole.raw.size() / b.seconds / kMB,
              static_cast<double>(b.allocated) / whole.raw.size(), "",
              failed ? "  FAILED" : "");
  std::fflush(stdout);
  ++outcome->rows;
  if (failed) ++outcome->failures;
}

// A tokenizer.json of at least `size` bytes: a small BPE model whose text
// grows in one place.
struct ImportShape {
  const char* name;
  std::function<std::string(size_t)> make;
};

std::vector<ImportShape> ImportShapes() {
  // The model's document, with "@" where a growing part may go.
  auto document = [](const std::vector<std::string>& merges) {
    nlohmann::json tokenizer =
        testing::LlamaStyleBpeTokenizer({"a", "b", "ab"}, merges);
    tokenizer["decoder"] = "@";
    return tokenizer.dump();
  };
  return {
      {"objects list",
       [document](size_t size) {
         std::string text = document({"a b"});
         text.replace(text.find("\"@\""), 3,
                      "[{}" + Repeat(size, [](size_t) { return ",{}"; }) + "]");
         return text;
       }},
      {"nested lists",
       [document](size_t size) {
         std::string text = document({"a b"});
         text.replace(text.find("\"@\""), 3,
                      std::string(size / 2, '[') + std::string(size / 2, ']'));
         return text;
       }},
      {"added tokens",
       [document](size_t size) {
         nlohmann::json tokenizer = nlohmann::json::parse(document({"a b"}));
         nlohmann::json& added = tokenizer["added_tokens"];
         const size_t first = tokenizer["model"]["vocab"].size();
         for (size_t bytes = 0; bytes < size; bytes += 40) {
           const size_t id = first + added.size() - 3;
           added.push_back({{"id", id},
                            {"content", "<t" + std::to_string(id) + ">"},
                            {"special", true}});
         }
         return tokenizer.dump();
       }},
      {"merge list",
       [document](size_t size) {
         return document(std::vector<std::string>(size / 6, "a b"));
       }},
  };
}

// Imports documents of n and 8n bytes of each shape, n being --mb MB.
void ImportRows(const Flags& flags, Outcome* outcome) {
  for (const ImportShape& shape : ImportShapes()) {
    const std::string row = std::string("import ") + shape.name;
    if (row.find(flags.filter) == std::string::npos) continue;
    const std::string small = shape.make(flags.mb * kMB);
    const std::string large = shape.make(kGrowth * flags.mb * kMB);
    Measure a;
    Measure b;
    auto time = [](const std::string& text, Measure* m, bool first) {
      const size_t before = testing::AllocatedBytes();
      const auto start = std::chrono::steady_clock::now();
      m->ok &= korvel::import::ImportHuggingFaceTokenizer(text).ok();
      m->seconds = std::min(m->seconds,
                            Seconds(std::chrono::steady_clock::now() - start));
      if (first) m->allocated = testing::AllocatedBytes() - before;
    };
    for (int rep = 0; rep < 3; ++rep) {
      time(small, &a, rep == 0);
      time(large, &b, rep == 0);
    }
    const double ratio = b.seconds / a.seconds;
    const double alloc_ratio = static_cast<double>(b.allocated) / a.allocated;
    const bool failed = !a.ok || !b.ok || ratio > flags.threshold ||
                        alloc_ratio > kAllocationLimit;
    std::printf("%-18s %-16s %4zu %9.2f %9.2f %6.2f %8.1f %9.2f %6.2f%s\n",
                shape.name, "import", flags.mb, a.seconds * 1e3,
                b.seconds * 1e3, ratio, large.size() / b.seconds / kMB,
                static_cast<double>(a.allocated) / small.size(), alloc_ratio,
                failed ? (a.ok && b.ok ? "  SUPERLINEAR" : "  FAILED") : "");
    std::fflush(stdout);
    ++outcome->rows;
    if (failed) ++outcome->failures;
  }
}

// A byte-level model whose pre-tokenizer (GPT-2's pattern) keeps each of the
// shapes below one pre-token, with merges that build long runs of it, so
// that the BPE merging does real work on the whole pre-token.
std::string ByteLevelLiteModel() {
  std::vector<std::string> merged;
  const std::string emoji = "\xf0\x9f\x98\x80";
  for (const std::string& unit : std::vector<std::string>{"a", "b", "7", " ",
                                                          emoji}) {
    if (unit == emoji) {
      merged.insert(merged.end(), {"\xf0\x9f", "\x98\x80", emoji});
    }
    for (std::string run = unit + unit; run.size() <= 16 * unit.size();
         run += run) {
      merged.push_back(run);
    }
  }
  merged.insert(merged.end(), {"ab", "ba", "abab", "78", "87", "7878"});
  absl::StatusOr<std::string> lite = ToFlatbuffer(
      testing::ByteLevelFullModel(merged, {{1, ""}}), ConverterOptions());
  if (!lite.ok()) {
    std::fprintf(stderr, "scaling_bench: byte-level model: %s\n",
                 std::string(lite.status().message()).c_str());
    std::abort();
  }
  return *std::move(lite);
}

// Encodes one pre-token of 1 MB (letters, digits, spaces, one emoji) against
// its first eighth with a byte-level model.
void ByteLevelRows(const KorvelLiteProcessor& processor, const Flags& flags,
                   Outcome* outcome) {
  auto cycle = [](const char* unit, const char* other) {
    return [unit, other](size_t size) {
      std::mt19937 rng(5);
      return Repeat(size, [&](size_t) { return rng() % 3 ? unit : other; });
    };
  };
  const std::vector<Shape> shapes = {
      {"bl letters", cycle("a", "b")},
      {"bl digits", cycle("7", "8")},
      {"bl spaces", cycle(" ", " ")},
      {"bl emoji", cycle("\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80")},
  };
  const Op op = {"bl Encode", &processor, OpKind::kEncode};
  // n is fixed: 1 MB is the largest pre-token asked of these models.
  Flags fixed = flags;
  fixed.max_mb = fixed.mb;
  for (const Shape& shape : shapes) {
    if ((std::string(shape.name) + " " + op.name).find(flags.filter) ==
        std::string::npos) {
      continue;
    }
    ShapeTexts texts(shape);
    Compare(shape.name, texts, op, fixed, kMB / kGrowth, outcome);
  }
}

struct Job {
  Flags flags;
  Outcome outcome;
};

void* RunJob(void* arg) {
  Job& job = *static_cast<Job*>(arg);
  const Flags& flags = job.flags;
  const auto start = std::chrono::steady_clock::now();
  const std::string bpe_bytes = MixedScriptLiteModel(korvel::TrainerSpec::BPE);
  const std::string unigram_bytes =
      MixedScriptLiteModel(korvel::TrainerSpec::UNIGRAM);
  const KorvelLiteProcessor bpe(bpe_bytes);
  const KorvelLiteProcessor unigram(unigram_bytes);
  if (bpe.status() != absl::StatusCode::kOk ||
      unigram.status() != absl::StatusCode::kOk) {
    std::fprintf(stderr, "scaling_bench: the models do not load\n");
    job.outcome.failures = 1;
    return nullptr;
  }
  const std::vector<Op> ops = {
      {"bpe Encode", &bpe, OpKind::kEncode},
      {"bpe Sample", &bpe, OpKind::kSample},
      {"bpe Decode", &bpe, OpKind::kDecode},
      {"uni Encode", &unigram, OpKind::kEncode},
      {"uni Sample", &unigram, OpKind::kSample},
      {"uni Decode", &unigram, OpKind::kDecode},
      {"Normalize+offs", &unigram, OpKind::kNormalize},
  };
  std::printf(
      "BPE model: %zu pieces, byte fallback, bigram trie, direct mapping; "
      "unigram model: %zu pieces, character map, no byte fallback.\n"
      "n: the smallest power-of-two multiple of %zu MB, up to %zu MB, at "
      "which a call takes %.0f ms; times are the best of several calls; MB/s "
      "at 8n; alloc B/B = bytes allocated by one call per input byte at n, "
      "then the 8n/n ratio. Time fails above %.1f, allocation above %.1f. "
      "Stack: %zu KB.\n\n",
      bpe.vocab_size(), unigram.vocab_size(), flags.mb, flags.max_mb,
      flags.min_ms, flags.threshold, kAllocationLimit, kStackBytes >> 10);
  PrintHeader();
  for (const Shape& shape : Shapes()) {
    ShapeTexts texts(shape);
    for (const Op& op : ops) {
      const std::string row = std::string(shape.name) + " " + op.name;
      if (row.find(flags.filter) == std::string::npos) continue;
      Compare(shape.name, texts, op, flags, flags.mb * kMB, &job.outcome);
    }
  }
  const std::string byte_level_bytes = ByteLevelLiteModel();
  const KorvelLiteProcessor byte_level(byte_level_bytes);
  std::printf("\nByte-level model (GPT-2 pre-tokenizer), one pre-token of "
              "n = 1/8 MB and of 1 MB:\n");
  ByteLevelRows(byte_level, flags, &job.outcome);
  std::printf("\n");
  ImportRows(flags, &job.outcome);
  if (flags.long_mb > 0) {
    std::printf("\n");
    for (const Op& op : {ops[0], ops[3]}) {
      if (std::string("long line").find(flags.filter) == std::string::npos &&
          !flags.filter.empty()) {
        continue;
      }
      LongLine(op, flags, &job.outcome);
    }
  }
  std::printf("\n%d rows, %d failed, %.0f s\n", job.outcome.rows,
              job.outcome.failures,
              Seconds(std::chrono::steady_clock::now() - start));
  return nullptr;
}

bool ParseFlags(int argc, char** argv, Flags* flags) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view name) -> const char* {
      return arg.substr(0, name.size()) == name ? argv[i] + name.size()
                                                : nullptr;
    };
    if (arg == "--check") {
      flags->check = true;
    } else if (const char* v = value("--threshold=")) {
      flags->threshold = std::atof(v);
    } else if (const char* v = value("--mb=")) {
      flags->mb = std::strtoul(v, nullptr, 10);
    } else if (const char* v = value("--max_mb=")) {
      flags->max_mb = std::strtoul(v, nullptr, 10);
    } else if (const char* v = value("--min_ms=")) {
      flags->min_ms = std::atof(v);
    } else if (const char* v = value("--long_mb=")) {
      flags->long_mb = std::strtoul(v, nullptr, 10);
    } else if (const char* v = value("--filter=")) {
      flags->filter = v;
    } else {
      return false;
    }
  }
  return flags->mb > 0 && flags->max_mb >= flags->mb && flags->threshold > 0.0;
}

}  // namespace
}  // namespace korvel::lite

int main(int argc, char** argv) {
  korvel::lite::Job job;
  if (!korvel::lite::ParseFlags(argc, argv, &job.flags)) {
    std::fprintf(stderr,
                 "usage: scaling_bench [--check] [--threshold=24] [--mb=2] "
                 "[--max_mb=16] [--min_ms=20] [--long_mb=100] "
                 "[--filter=SUBSTRING]\n");
    return 2;
  }
  // One heap that keeps what is freed and serves large blocks too, so that
  // repeated calls reuse memory instead of faulting in fresh pages, whatever
  // their size: glibc otherwise maps blocks above a threshold that moves with
  // the sizes seen, which makes the cost of a call jump between n and 8n.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, korvel::lite::kStackBytes);
  pthread_t thread;
  if (pthread_create(&thread, &attributes, korvel::lite::RunJob, &job) != 0) {
    std::fprintf(stderr, "scaling_bench: cannot start the worker thread\n");
    return 1;
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  return job.flags.check && job.outcome.failures > 0 ? 1 : 0;
}
