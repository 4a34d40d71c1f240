// The real-model benchmark: throughput of KorvelLiteProcessor on real models
// and texts, one thread, beside the peers' figures (measured by
// tools/peer_bench.js in the same run of tools/bench.sh) and the targets,
// plus load time, model sizes, memory and heap allocations per call; then the
// first model's BatchEncoder with one and two threads, and the timings of
// `korvel encode --threads=N` and `korvel --version` that tools/bench.sh
// took. Prints one table.
//
//   real_model_bench <name>=<lite> <name>_full=<full model> [...]
//       english=<text> multilingual=<text> [varied_english=<text>]
//       [cjk=<text>] [peer_dir=<dir>] [cli_encode=<file>] [cli_start=<file>]
//       [quick] [encode_only]
//
// Every other argument <name>=<path> names a model (llama2, unigram, gemma3,
// llama3, cl100k_base, ...), measured in argument order. The cli_encode file
// holds lines "<text> <threads> <best seconds>", times of the whole
// `korvel encode` process; the cli_start file "<runs> <best seconds>" of
// `korvel --version`.
//
// Texts are encoded as raw text through Encode, line by line (lines cut at
// "\n") and in 1 MB blocks (consecutive lines joined by "\n", a block closed
// as soon as it holds 1,000,000 bytes or more). Throughput counts the bytes
// of the lines without their newlines (of the blocks with theirs): of the
// input for Encode, SampleNormalized and Normalize, of the output for Decode.
// Each figure is the best of several passes over the whole text. The peer
// directory holds, per model, text, unit and peer,
// "<model>.<text>.<line|block>.<peer>.peer" (the line printed by
// peer_bench.js) and "....ids" (its ids), which are compared with korvel's
// line by line or block by block.
//
// Heap allocations are counted with a replaced global operator new; the
// runtime allocates only through it. Per-call figures are taken after a
// warm-up pass with output containers reused across calls, so output growth
// is already paid.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "bench_models.h"
#include "korvel_lite/internal/chunk_cache.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_tokenizer/batch_encoder.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::lite {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::map<std::string, std::string> paths;
  // Model names in argument order.
  std::vector<std::string> models;
  bool quick = false;
  // Only the Encode rows, for profiling.
  bool encode_only = false;
};

struct Text {
  std::string name;
  std::string bytes;
  std::vector<std::string_view> lines;
  size_t line_bytes = 0;
  std::vector<std::string> blocks;
  std::vector<std::string_view> block_views;
  size_t block_bytes = 0;
};

// The texts, in the order of the rows; the first two must be given.
constexpr const char* kTextNames[] = {"english", "multilingual",
                                      "varied_english", "cjk"};
constexpr size_t kBlockBytes = 1000000;

bool IsEnglish(const Text& text) {
  return text.name == "english" || text.name == "varied_english";
}

// Encoded lines: all ids one after another, with each line's start.
struct EncodedText {
  std::vector<int> ids;
  std::vector<size_t> starts;  // lines + 1 entries
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  if (!file) {
    std::fprintf(stderr, "real_model_bench: cannot read %s\n", path.c_str());
    std::exit(1);
  }
  return contents.str();
}

// Reads a text and cuts it into lines; `text` must stay where it is while its
// lines are used.
void LoadText(const std::string& name, const std::string& path, Text* text) {
  text->name = name;
  text->bytes = ReadFile(path);
  const std::string_view all = text->bytes;
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    text->lines.push_back(all.substr(start, end - start));
    text->line_bytes += end - start;
    start = end + 1;
  }
  std::string block;
  size_t block_lines = 0;
  for (size_t i = 0; i < text->lines.size(); ++i) {
    if (block_lines++ > 0) block += '\n';
    block.append(text->lines[i]);
    if (block.size() >= kBlockBytes || i + 1 == text->lines.size()) {
      text->block_bytes += block.size();
      text->blocks.push_back(std::move(block));
      block.clear();
      block_lines = 0;
    }
  }
  for (const std::string& b : text->blocks) text->block_views.push_back(b);
}

// Runs `pass` at least `min_passes` times and until `min_seconds` have gone
// by; returns the fastest pass in seconds.
template <typename Pass>
double BestSeconds(const Options& options, Pass&& pass) {
  const int min_passes = options.quick ? 1 : 3;
  const double min_seconds = options.quick ? 0.0 : 1.0;
  double best = 1e100;
  double total = 0.0;
  for (int i = 0; i < min_passes || total < min_seconds; ++i) {
    const Clock::time_point begin = Clock::now();
    pass();
    const double seconds =
        std::chrono::duration<double>(Clock::now() - begin).count();
    best = std::min(best, seconds);
    total += seconds;
  }
  return best;
}

// Heap allocations made by one more run of `pass`.
template <typename Pass>
size_t CountAllocations(Pass&& pass) {
  const size_t before = testing::AllocationCount();
  pass();
  return testing::AllocationCount() - before;
}

double MegabytesPerSecond(size_t bytes, double seconds) {
  return static_cast<double>(bytes) / seconds / 1e6;
}

// The peer's figure and how many lines of its ids differ from `encoded`.
struct PeerResult {
  bool found = false;
  double mb_per_s = 0.0;
  size_t differing_lines = 0;
  size_t first_difference = 0;
};

PeerResult ComparePeer(const Options& options, const std::string& key,
                       const EncodedText& encoded) {
  PeerResult result;
  const auto dir = options.paths.find("peer_dir");
  if (dir == options.paths.end()) return result;
  std::ifstream summary(dir->second + "/" + key + ".peer");
  std::string label;
  if (!(summary >> label >> result.mb_per_s) || label != "peer_mb_per_s") {
    return result;
  }
  result.found = true;
  std::ifstream ids(dir->second + "/" + key + ".ids");
  const size_t lines = encoded.starts.size() - 1;
  std::string line;
  size_t index = 0;
  for (; std::getline(ids, line); ++index) {
    std::vector<int> peer_ids;
    std::istringstream words(line);
    for (int id; words >> id;) peer_ids.push_back(id);
    const bool same =
        index < lines &&
        std::equal(peer_ids.begin(), peer_ids.end(),
                   encoded.ids.begin() + encoded.starts[index],
                   encoded.ids.begin() + encoded.starts[index + 1]);
    if (!same && result.differing_lines++ == 0) result.first_difference = index;
  }
  if (index < lines) {
    if (result.differing_lines == 0) result.first_difference = index;
    result.differing_lines += lines - index;
  }
  return result;
}

// The peers whose figures tools/bench.sh may leave in the peer directory.
constexpr const char* kPeers[][2] = {{"hf", "HF native"},
                                     {"tiktoken", "tiktoken wasm"},
                                     {"gpt-tokenizer", "gpt-tokenizer"}};

// The figure each row should reach on one thread, in MB/s; 0 for none. The
// English targets hold on both English texts, the multilingual ones on both
// multilingual texts.
double EncodeTarget(const std::string& model, const Text& text) {
  const bool english = IsEnglish(text);
  if (model == "llama2") return english ? 150 : 130;
  if (model == "gemma3") return english ? 150 : 100;
  if (model == "unigram") return 80;
  if (model == "llama3" || model == "gpt4o") return english ? 250 : 120;
  return 0;
}

double DecodeTarget(const std::string& model, const Model& lite) {
  if (model == "llama2") return 2000;
  return lite.byte_level ? 1500 : 0;
}

std::string TargetNote(double mb_per_s, double target) {
  if (target <= 0) return "";
  char note[64];
  std::snprintf(note, sizeof(note), "target >= %.0f %s", target,
                mb_per_s >= target ? "met" : "SHORT");
  return note;
}

// A negative `allocations_per_call` means not measured.
void PrintRow(const std::string& what, const std::string& model,
              const Text& text, double mb_per_s, double allocations_per_call,
              const std::string& extra) {
  char allocations[32] = "       -";
  if (allocations_per_call >= 0.0) {
    std::snprintf(allocations, sizeof(allocations), "%8.3f",
                  allocations_per_call);
  }
  std::printf("%-22s %-11s %-14s %9.1f %s  %s\n", what.c_str(), model.c_str(),
              text.name.c_str(), mb_per_s, allocations, extra.c_str());
}

// Encodes every unit once, keeping the ids.
EncodedText EncodeUnits(const KorvelLiteProcessor& processor,
                        absl::Span<const std::string_view> units) {
  EncodedText encoded;
  std::vector<int> ids;
  encoded.starts.push_back(0);
  for (std::string_view unit : units) {
    processor.Encode(unit, &ids);
    encoded.ids.insert(encoded.ids.end(), ids.begin(), ids.end());
    encoded.starts.push_back(encoded.ids.size());
  }
  return encoded;
}

// The Encode row of one unit (line or block) with every peer found, and
// returns the ids.
EncodedText EncodeRow(const Options& options, const std::string& model_name,
                      const KorvelLiteProcessor& processor, const Text& text,
                      bool blocks) {
  const absl::Span<const std::string_view> units =
      blocks ? absl::MakeConstSpan(text.block_views)
             : absl::MakeConstSpan(text.lines);
  const size_t bytes = blocks ? text.block_bytes : text.line_bytes;
  EncodedText encoded = EncodeUnits(processor, units);
  std::vector<int> ids;
  auto encode_all = [&] {
    for (std::string_view unit : units) processor.Encode(unit, &ids);
  };
  const double rate =
      MegabytesPerSecond(bytes, BestSeconds(options, encode_all));
  const double allocations =
      static_cast<double>(CountAllocations(encode_all)) / units.size();
  std::string extra = TargetNote(rate, EncodeTarget(model_name, text));
  std::string differences;
  for (const auto& [peer_key, label] : kPeers) {
    const PeerResult peer = ComparePeer(
        options,
        model_name + "." + text.name + (blocks ? ".block." : ".line.") +
            peer_key,
        encoded);
    if (!peer.found) continue;
    char note[160];
    std::snprintf(note, sizeof(note), "%s%s %.1f MB/s, %.1fx, %zu differ",
                  extra.empty() ? "" : "; ", label, peer.mb_per_s,
                  rate / peer.mb_per_s, peer.differing_lines);
    extra += note;
    if (peer.differing_lines != 0) {
      std::snprintf(note, sizeof(note),
                    "  %s: %zu of %zu %s differ, first at %zu\n", label,
                    peer.differing_lines, units.size(),
                    blocks ? "blocks" : "lines", peer.first_difference + 1);
      differences += note;
    }
  }
  PrintRow(blocks ? "Encode 1 MB blocks" : "Encode lines", model_name, text,
           rate, allocations, extra);
  std::fputs(differences.c_str(), stdout);
  return encoded;
}

// The rows of one model on one text: Encode per line and per block, Decode,
// and for models that are not byte-level on the first two texts sampling and
// normalization.
void BenchmarkText(const Options& options, const std::string& model_name,
                   const KorvelLiteProcessor& processor, const Text& text,
                   bool all_rows) {
  const double lines = static_cast<double>(text.lines.size());
  const EncodedText encoded =
      EncodeRow(options, model_name, processor, text, false);
  EncodeRow(options, model_name, processor, text, true);
  if (options.encode_only) return;

  std::string decoded;
  size_t decoded_bytes = 0;
  auto decode_all = [&] {
    decoded_bytes = 0;
    for (size_t i = 0; i + 1 < encoded.starts.size(); ++i) {
      processor.Decode(
          absl::MakeConstSpan(encoded.ids.data() + encoded.starts[i],
                              encoded.starts[i + 1] - encoded.starts[i]),
          &decoded, nullptr);
      decoded_bytes += decoded.size();
    }
  };
  decode_all();
  const double decode_rate =
      MegabytesPerSecond(decoded_bytes, BestSeconds(options, decode_all));
  PrintRow("Decode (MB/s output)", model_name, text, decode_rate,
           CountAllocations(decode_all) / lines,
           TargetNote(decode_rate,
                      DecodeTarget(model_name, *processor.model())));
  if (!all_rows || processor.model()->byte_level) return;

  std::vector<int> ids;

  std::vector<std::string> normalized(text.lines.size());
  for (size_t i = 0; i < text.lines.size(); ++i) {
    processor.Normalize(text.lines[i], &normalized[i], nullptr);
  }
  uint64_t state = 0x9e3779b97f4a7c15ull;
  auto uniform = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<float>(state >> 40) * (1.0f / 16777216.0f);
  };
  auto sample_all = [&] {
    for (const std::string& line : normalized) {
      processor.SampleNormalized(line, 0.1f, uniform, &ids, nullptr);
    }
  };
  sample_all();
  PrintRow(
      "SampleNormalized a=0.1", model_name, text,
      MegabytesPerSecond(text.line_bytes, BestSeconds(options, sample_all)),
      CountAllocations(sample_all) / lines, "");

  std::string scratch;
  std::vector<size_t> offsets;
  for (const bool with_offsets : {false, true}) {
    auto normalize_all = [&] {
      for (std::string_view line : text.lines) {
        processor.Normalize(line, &scratch, with_offsets ? &offsets : nullptr);
      }
    };
    normalize_all();
    PrintRow(with_offsets ? "Normalize +offsets" : "Normalize", model_name,
             text,
             MegabytesPerSecond(text.line_bytes,
                                BestSeconds(options, normalize_all)),
             CountAllocations(normalize_all) / lines, "");
  }
}

// The fastest of `runs` timings of `work`, in milliseconds: the least
// disturbed by other work on the machine, so the parts of the load time can
// be subtracted from the whole.
template <typename Work>
double BestMilliseconds(int runs, Work&& work) {
  std::vector<double> times;
  times.reserve(runs);
  for (int i = 0; i < runs; ++i) {
    const Clock::time_point begin = Clock::now();
    work();
    times.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - begin)
            .count());
  }
  return *std::min_element(times.begin(), times.end());
}

// Construction time and allocations of a processor over `bytes`, beside the
// time of its largest parts on their own: the flatbuffer verification and the
// validation scans of the tries. The rest is mostly the check that every
// piece's text leads back to its id in the piece trie, then the derived
// tables.
void BenchmarkLoad(const Options& options, const std::string& name,
                   const std::string& bytes, size_t full_size,
                   double target_ms) {
  const int runs = options.quick ? 3 : 20;
  size_t allocations = 0;
  const double load = BestMilliseconds(runs, [&] {
    const size_t before = testing::AllocationCount();
    const KorvelLiteProcessor processor{std::string_view(bytes)};
    allocations = testing::AllocationCount() - before;
    if (processor.status() != absl::StatusCode::kOk) {
      std::fprintf(stderr, "real_model_bench: %s does not load\n",
                   name.c_str());
      std::exit(1);
    }
  });
  const double verify = BestMilliseconds(runs, [&] {
    if (!VerifyLiteModel(bytes)) std::exit(1);
  });
  const KorvelLiteProcessor processor{std::string_view(bytes)};
  const Model& model = *processor.model();
  const double trie_checks = BestMilliseconds(runs, [&] {
    DoubleArray trie;
    const uint32_t vocab_size = model.root->pieces()->size();
    for (const auto* blob :
         {model.root->piece_trie(), model.root->user_defined_trie()}) {
      if (blob != nullptr) {
        InitializeTrie(blob->data(), blob->size(), vocab_size, false, true,
                       &trie);
      }
    }
    if (const auto* blob = model.root->bigram_trie(); blob != nullptr) {
      InitializeTrie(blob->data(), blob->size(), UINT32_MAX, true, true, &trie);
    }
  });
  const double rest = load - verify - trie_checks;
  const double megabytes = static_cast<double>(bytes.size()) / 1e6;
  std::printf(
      "%-15s lite %5.2f MB (full %5.2f MB, %4.2fx); load %7.3f ms: "
      "verification %5.3f, trie checks %6.3f, piece checks and the rest "
      "%6.3f ms (%5.3f ms/MB); %zu heap allocation(s)",
      name.c_str(), megabytes, static_cast<double>(full_size) / 1e6,
      megabytes / (static_cast<double>(full_size) / 1e6), load, verify,
      trie_checks, rest, rest / megabytes, allocations);
  if (target_ms > 0) {
    std::printf("; %zu pieces, target <= %.0f ms %s", model.vocab_size(),
                target_ms, load <= target_ms ? "met" : "SHORT");
  }
  std::printf("\n");
}

// Load targets: 256k pieces within 5 ms, the 200k-token GPT-4o within 10 ms.
double LoadTarget(const std::string& model) {
  if (model == "gemma3" || model == "synthetic 256k") return 5;
  if (model == "gpt4o") return 10;
  return 0;
}

// Lines per EncodeBatch call, as in the peer's batches.
constexpr size_t kBatchLines = 1000;

// BatchEncoder over the lines of `text` in batches of kBatchLines, with one
// thread and with two. The passes alternate between the two, so that other
// work on the machine weighs on both alike; each rate is the best pass.
void BenchmarkThreads(const Options& options, const std::string& model_name,
                      const std::string& lite, const Text& text) {
  absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> model =
      tokenizer::Tokenizer::FromBytes(lite);
  if (!model.ok()) {
    std::fprintf(stderr, "real_model_bench: %s: %s\n", model_name.c_str(),
                 model.status().ToString().c_str());
    std::exit(1);
  }
  const tokenizer::BatchEncoder encoders[] = {
      tokenizer::BatchEncoder(**model, 1), tokenizer::BatchEncoder(**model, 2)};
  const absl::Span<const std::string_view> lines(text.lines);
  std::vector<std::vector<int>> ids;
  auto encode_all = [&](const tokenizer::BatchEncoder& encoder) {
    for (size_t start = 0; start < lines.size(); start += kBatchLines) {
      if (!encoder.EncodeBatch(lines.subspan(start, kBatchLines), {}, &ids)
               .ok()) {
        std::fprintf(stderr, "real_model_bench: EncodeBatch failed\n");
        std::exit(1);
      }
    }
  };
  double best[2] = {1e100, 1e100};
  const int passes = options.quick ? 4 : 10;
  for (int pass = 0; pass < passes; ++pass) {
    for (int i = 0; i < 2; ++i) {
      best[i] = std::min(best[i],
                         BestMilliseconds(1, [&] { encode_all(encoders[i]); }));
    }
  }
  const double lines_count = static_cast<double>(lines.size());
  for (int i = 0; i < 2; ++i) {
    const size_t allocations =
        CountAllocations([&] { encode_all(encoders[i]); });
    char extra[64] = "";
    if (i == 1) {
      std::snprintf(extra, sizeof(extra), "%.2fx one thread",
                    best[0] / best[1]);
    }
    PrintRow(i == 0 ? "BatchEncoder 1 thread" : "BatchEncoder 2 threads",
             model_name, text,
             MegabytesPerSecond(text.line_bytes, best[i] / 1e3),
             allocations / lines_count, extra);
  }
}

// Rows for the timings of the whole `korvel encode` process on `text` in the
// cli_encode file, if one was given; two threads should reach 1.85x one.
void PrintCliRows(const Options& options, const std::string& model_name,
                  const Text& text) {
  const auto path = options.paths.find("cli_encode");
  if (path == options.paths.end()) return;
  std::ifstream timings(path->second);
  double one_thread_seconds = 0.0;
  std::string name;
  int threads = 0;
  for (double seconds; timings >> name >> threads >> seconds;) {
    if (name != text.name) continue;
    if (threads == 1) one_thread_seconds = seconds;
    char what[32];
    std::snprintf(what, sizeof(what), "korvel encode %d thr", threads);
    char extra[96] = "whole process";
    if (threads > 1 && one_thread_seconds > 0.0) {
      const double ratio = one_thread_seconds / seconds;
      std::snprintf(extra, sizeof(extra),
                    "whole process, %.2fx one thread, target >= 1.85x %s",
                    ratio, ratio >= 1.85 ? "met" : "SHORT");
    }
    PrintRow(what, model_name, text,
             MegabytesPerSecond(text.line_bytes, seconds), -1.0, extra);
  }
}

// The start of a whole `korvel --version` process from the cli_start file.
void PrintStartRow(const Options& options) {
  const auto path = options.paths.find("cli_start");
  if (path == options.paths.end()) return;
  std::ifstream timing(path->second);
  int runs = 0;
  double seconds = 0.0;
  if (!(timing >> runs >> seconds)) return;
  std::printf(
      "\nkorvel --version, whole process: %.2f ms (best of %d), "
      "target <= 1.5 ms %s\n",
      seconds * 1e3, runs, seconds * 1e3 <= 1.5 ? "met" : "SHORT");
}

const std::string& Path(const Options& options, const std::string& key) {
  const auto it = options.paths.find(key);
  if (it == options.paths.end()) {
    std::fprintf(stderr, "real_model_bench: missing %s=<path>\n", key.c_str());
    std::exit(2);
  }
  return it->second;
}

// Heap bytes that a new thread allocates in one pass of Encode over `text`.
size_t FirstPassBytes(const KorvelLiteProcessor& processor, const Text& text) {
  size_t allocated = 0;
  std::thread([&] {
    std::vector<int> ids;
    ids.reserve(1 << 20);
    const size_t before = testing::AllocatedBytes();
    for (std::string_view line : text.lines) processor.Encode(line, &ids);
    allocated = testing::AllocatedBytes() - before;
  }).join();
  return allocated;
}

// The heap memory a model takes beside its buffer, from a fresh processor:
// what loading allocates, what the first Decode adds (tables derived on first
// use; the first Encode's are only in the model's count of derived table
// bytes), what the first thread's pass of Encode over `text` adds beyond a
// second thread's (tables derived for encoding), and what each thread's pass
// takes (the chunk cache, once per thread, and the normalization buffer),
// beside the bound that the chunk cache states.
void PrintMemory(const std::string& name, const std::string& model_bytes,
                 const Text& text) {
  size_t before = testing::AllocatedBytes();
  const KorvelLiteProcessor processor{std::string_view(model_bytes)};
  const size_t load = testing::AllocatedBytes() - before;
  std::vector<int> ids;
  processor.Encode(text.lines.empty() ? "a" : text.lines[0], &ids);
  std::string decoded;
  decoded.reserve(1 << 16);
  before = testing::AllocatedBytes();
  processor.Decode(ids, &decoded, nullptr);
  const size_t decode = testing::AllocatedBytes() - before;
  const size_t first = FirstPassBytes(processor, text);
  const size_t second = FirstPassBytes(processor, text);
  std::printf(
      "%-15s load %zu B; first Decode +%zu B; derived for encoding %+td B; "
      "per thread %zu B over the %s text (chunk cache bound %zu B); derived "
      "tables %zu B\n",
      name.c_str(), load, decode,
      static_cast<ptrdiff_t>(first) - static_cast<ptrdiff_t>(second), second,
      text.name.c_str(), ChunkCache::kBytes,
      processor.model()->derived_table_bytes());
}

int Run(const Options& options) {
  std::vector<Text> texts(std::size(kTextNames));
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i >= 2 && options.paths.count(kTextNames[i]) == 0) {
      texts.resize(i);
      break;
    }
    LoadText(kTextNames[i], Path(options, kTextNames[i]), &texts[i]);
  }
  const std::vector<std::string>& models = options.models;
  if (models.empty()) {
    std::fprintf(stderr, "real_model_bench: no model given\n");
    return 2;
  }
  for (const std::string& model : models) Path(options, model + "_full");

  std::printf("%-22s %-11s %-14s %9s %8s\n", "operation", "model", "text",
              "MB/s", "allocs");
  std::map<std::string, std::string> lite_bytes;
  for (const std::string& model : models) {
    lite_bytes[model] = ReadFile(Path(options, model));
    const KorvelLiteProcessor processor{std::string_view(lite_bytes[model])};
    if (processor.status() != absl::StatusCode::kOk) {
      std::fprintf(stderr, "real_model_bench: %s does not load\n",
                   model.c_str());
      return 1;
    }
    for (size_t i = 0; i < texts.size(); ++i) {
      BenchmarkText(options, model, processor, texts[i], i < 2);
    }
  }

  if (options.encode_only) return 0;
  std::printf("\n");
  for (const Text& text : texts) {
    if (!IsEnglish(text)) continue;
    BenchmarkThreads(options, models[0], lite_bytes[models[0]], text);
    PrintCliRows(options, models[0], text);
  }
  PrintStartRow(options);
  std::printf("\nMemory beside the model buffer, per model\n");
  for (const std::string& model : models) {
    PrintMemory(model, lite_bytes[model], texts[0]);
  }
  std::printf("\nModel load (best of %d)\n", options.quick ? 3 : 20);
  for (const std::string& model : models) {
    const std::string full = ReadFile(Path(options, model + "_full"));
    BenchmarkLoad(options, model, lite_bytes[model], full.size(),
                  LoadTarget(model));
  }
  const SyntheticModel synthetic = BuildSyntheticModel(256000);
  BenchmarkLoad(options, "synthetic 256k", synthetic.lite, synthetic.full_size,
                LoadTarget("synthetic 256k"));
  return 0;
}

// Whether an argument <key>=<path> names something other than a model.
bool IsReservedKey(std::string_view key) {
  constexpr std::string_view kFullSuffix = "_full";
  for (const char* text : kTextNames) {
    if (key == text) return true;
  }
  return key == "peer_dir" || key == "cli_encode" || key == "cli_start" ||
         (key.size() > kFullSuffix.size() &&
          key.substr(key.size() - kFullSuffix.size()) == kFullSuffix);
}

}  // namespace
}  // namespace korvel::lite

int main(int argc, char** argv) {
  korvel::lite::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t equals = arg.find('=');
    if (arg == "quick") {
      options.quick = true;
    } else if (arg == "encode_only") {
      options.encode_only = true;
    } else if (equals != std::string::npos) {
      const std::string key = arg.substr(0, equals);
      if (options.paths.count(key) == 0 && !korvel::lite::IsReservedKey(key)) {
        options.models.push_back(key);
      }
      options.paths[key] = arg.substr(equals + 1);
    } else {
      std::fprintf(stderr, "real_model_bench: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  return korvel::lite::Run(options);
}
