// Scaling check on pathological texts: for every shape of input (one letter
// repeated, spaces, one CJK character, broken UTF-8, runs of the whitespace
// symbol or of user-defined pieces, unknown stretches, scripts alternating
// character by character or word by word, ...) and every operation (Encode
// and SampleNormalized on a BPE and a unigram model, Normalize with offsets,
// Decode with views), it measures the time and the bytes allocated for a text
// of n bytes and of 2n bytes and prints their ratios, which stay near 2 when
// the cost is linear. Then it encodes one line of 100 MB against 50 MB.
//
// Everything runs on a thread with a 256 KB stack, so recursion on the input
// size would crash it. With --check the program exits 1 when a ratio exceeds
// --threshold (default 3) or an operation fails.
//
//   scaling_bench [--check] [--threshold=3] [--mb=1] [--long_mb=100]
//                 [--filter=SUBSTRING]

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
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "allocation_counter.h"
#include "mixed_script_models.h"

namespace korvel::lite {
namespace {

using testing::AppendUtf8;
using testing::MixedScriptLiteModel;
using testing::MixedScriptWords;

constexpr size_t kStackBytes = 256 << 10;
constexpr size_t kMB = 1 << 20;

struct Flags {
  bool check = false;
  double threshold = 3.0;
  size_t mb = 1;
  size_t long_mb = 100;
  std::string filter;
};

// A text of at least `size` bytes: `unit(i)` for i = 0, 1, ... appended until
// the size is reached.
std::string Repeat(size_t size, const std::function<std::string(size_t)>& unit) {
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
  const std::vector<uint32_t> firsts = {'a', 0x430, 0x3b1, 0x627, 0x915,
                                        0xac00, 0x4e00};
  auto constant = [](std::string unit) {
    return [unit](size_t size) {
      return Repeat(size, [&unit](size_t) { return unit; });
    };
  };
  return {
      {"letter a", constant("a")},
      {"letters ab", constant("ab")},
      {"spaces", constant(" ")},
      {"a + spaces", [](size_t size) {
         return "a" + std::string(size - 2, ' ') + "b";
       }},
      {"cjk char", constant("\xe4\xb8\xad")},
      {"0xFF bytes", constant("\xff")},
      {"continuations", constant("\x80\xbf")},
      {"truncated utf8", constant("\xe2\x96" "a\xf0\x9f\x98" "b\xc3")},
      {"punctuation .", constant(".")},
      {"punctuation !", constant("!")},
      {"digits", [](size_t size) {
         return Repeat(size, [](size_t i) { return std::to_string(i % 10); });
       }},
      {"alt script chars", [firsts](size_t size) {
         return Repeat(size, [&firsts](size_t i) {
           return Char(firsts[i % firsts.size()] + (i / firsts.size()) % 5);
         });
       }},
      {"alt script words", [](size_t size) {
         std::mt19937 rng(3);
         return Repeat(size, [&](size_t i) {
           // Word i from script i % 7, then a space.
           const size_t per_script = words.size() / 7;
           return words[(i % 7) * per_script + rng() % per_script] + " ";
         });
       }},
      {"words no spaces", [](size_t size) {
         std::mt19937 rng(4);
         return Repeat(size, [&](size_t) { return words[rng() % words.size()]; });
       }},
      {"ws symbol run", constant("\xe2\x96\x81")},
      {"user-defined run", constant("<sep>")},
      {"user-defined part", constant("<se")},
      {"unknown chars", [](size_t size) {
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
  std::string raw;
  std::string normalized;  // for SampleNormalized
  std::vector<int> ids;    // for Decode
  // The size of what the operation reads: the raw text, the normalized text
  // or the ids.
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

Input Prepare(const Op& op, std::string raw) {
  Input input;
  input.raw = std::move(raw);
  input.work = input.raw.size();
  if (op.kind == OpKind::kSample) {
    op.processor->Normalize(input.raw, &input.normalized, nullptr);
    input.work = input.normalized.size();
  }
  if (op.kind == OpKind::kDecode) {
    op.processor->Encode(input.raw, &input.ids);
    input.work = input.ids.size();
  }
  return input;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct Measure {
  double seconds = 1e30;  // best of the repetitions
  size_t allocated = 0;  // bytes requested from operator new by one call
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

// The best times of calls on `small` and `large`, taken in alternation so
// that a busy spell of the machine hits both: at least `min_reps` pairs, more
// (up to 20) while the pairs took less than `min_seconds` together.
void TimePair(const Op& op, Input& small, Input& large, int min_reps,
              double min_seconds, Measure* a, Measure* b) {
  const auto start = std::chrono::steady_clock::now();
  for (int rep = 0; rep < 20; ++rep) {
    if (rep >= min_reps &&
        Seconds(std::chrono::steady_clock::now() - start) >= min_seconds) {
      break;
    }
    TimeOnce(op, small, a, a->allocated == 0 && rep == 0);
    TimeOnce(op, large, b, b->allocated == 0 && rep == 0);
  }
}

struct Outcome {
  int failures = 0;
  int rows = 0;
};

void PrintHeader() {
  std::printf("%-18s %-16s %9s %9s %6s %8s %9s %6s\n", "shape", "operation",
              "t(n) ms", "t(2n) ms", "ratio", "MB/s", "alloc B/B", "ratio");
}

// Times `op` on texts of n and 2n bytes of `shape` and prints the row.
void Compare(const Shape& shape, const Op& op, const Flags& flags,
             Outcome* outcome) {
  const size_t n = flags.mb * kMB;
  Input small = Prepare(op, shape.make(n));
  Input large = Prepare(op, shape.make(2 * n));
  // An operation left with next to nothing to do (the normalized text of
  // spaces is empty) has no meaningful ratio.
  if (large.work < 1024) {
    std::printf("%-18s %-16s %9s\n", shape.name, op.name, "(trivial)");
    return;
  }
  Measure a;
  Measure b;
  TimePair(op, small, large, 3, 0.2, &a, &b);
  double ratio = b.seconds / a.seconds;
  // A noisy neighbour can spoil a round: measure again before failing.
  for (int retry = 0; retry < 3 && ratio > flags.threshold; ++retry) {
    TimePair(op, small, large, 5, 0.5, &a, &b);
    ratio = b.seconds / a.seconds;
  }
  const double alloc_ratio =
      a.allocated == 0 ? (b.allocated == 0 ? 0.0 : 1e9)
                       : static_cast<double>(b.allocated) / a.allocated;
  const bool failed = !a.ok || !b.ok || ratio > flags.threshold ||
                      (b.allocated > 4096 && alloc_ratio > flags.threshold);
  std::printf("%-18s %-16s %9.2f %9.2f %6.2f %8.1f %9.2f %6.2f%s\n",
              shape.name, op.name, a.seconds * 1e3, b.seconds * 1e3, ratio,
              large.raw.size() / b.seconds / kMB,
              static_cast<double>(a.allocated) / small.raw.size(), alloc_ratio,
              failed ? (a.ok && b.ok ? "  SUPERLINEAR" : "  FAILED") : "");
  std::fflush(stdout);
  ++outcome->rows;
  if (failed) ++outcome->failures;
}

// One line of `long_mb` MB of words in alternating scripts, encoded whole,
// against its first half.
void LongLine(const Op& op, const Flags& flags, Outcome* outcome) {
  const std::vector<Shape> shapes = Shapes();
  const auto words = std::find_if(shapes.begin(), shapes.end(), [](const Shape& s) {
    return std::string_view(s.name) == "alt script words";
  });
  const std::string line = words->make(flags.long_mb * kMB);
  // Cut the half at a space so that both are whole words.
  const size_t half_end = line.find(' ', line.size() / 2) + 1;
  Input half;
  half.raw = line.substr(0, half_end);
  Input whole;
  whole.raw = line;
  Measure a;
  Measure b;
  TimePair(op, half, whole, 3, 0.0, &a, &b);
  double ratio = b.seconds / a.seconds;
  if (ratio > flags.threshold) {
    TimePair(op, half, whole, 3, 0.0, &a, &b);
    ratio = b.seconds / a.seconds;
  }
  const bool failed = !a.ok || !b.ok || ratio > flags.threshold;
  std::printf("%-18s %-16s %9.0f %9.0f %6.2f %8.1f %9.2f %6s%s\n",
              (std::to_string(flags.long_mb) + " MB line").c_str(), op.name,
              a.seconds * 1e3, b.seconds * 1e3, ratio,
              whole.raw.size() / b.seconds / kMB,
              static_cast<double>(b.allocated) / whole.raw.size(), "",
              failed ? "  FAILED" : "");
  std::fflush(stdout);
  ++outcome->rows;
  if (failed) ++outcome->failures;
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
      "n = %zu MB; times are the best of several calls; MB/s at 2n; alloc "
      "B/B = bytes allocated by one call per input byte at n, then the 2n/n "
      "ratio. Stack: %zu KB.\n\n",
      bpe.vocab_size(), unigram.vocab_size(), flags.mb, kStackBytes >> 10);
  PrintHeader();
  for (const Shape& shape : Shapes()) {
    for (const Op& op : ops) {
      const std::string row = std::string(shape.name) + " " + op.name;
      if (row.find(flags.filter) == std::string::npos) continue;
      Compare(shape, op, flags, &job.outcome);
    }
  }
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
    } else if (const char* v = value("--long_mb=")) {
      flags->long_mb = std::strtoul(v, nullptr, 10);
    } else if (const char* v = value("--filter=")) {
      flags->filter = v;
    } else {
      return false;
    }
  }
  return flags->mb > 0 && flags->threshold > 0.0;
}

}  // namespace
}  // namespace korvel::lite

int main(int argc, char** argv) {
  korvel::lite::Job job;
  if (!korvel::lite::ParseFlags(argc, argv, &job.flags)) {
    std::fprintf(stderr,
                 "usage: scaling_bench [--check] [--threshold=3] [--mb=1] "
                 "[--long_mb=100] [--filter=SUBSTRING]\n");
    return 2;
  }
  // One heap that keeps what is freed and serves large blocks too, so that
  // repeated calls reuse memory instead of faulting in fresh pages, whatever
  // their size: glibc otherwise maps blocks above a threshold that moves with
  // the sizes seen, which makes the cost of a call jump between n and 2n.
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
