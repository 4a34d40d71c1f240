// korvel_eval: encodes a text file line by line with a full model and prints a
// report of counts, vocabulary coverage, compression ratios, log-likelihoods
// and perplexities on standard output. Messages go to standard error; the exit
// status is 0 after a report and 1 otherwise. An input without a non-empty
// line still gets a complete report (counts 0, perplexities 1), as the design
// fixes: scripts may rely on it.

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "absl/flags/flag.h"
#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "korvel_proto/korvel_model.pb.h"
#include "libkorvel/korvel_processor.h"

ABSL_FLAG(std::string, model, "", "full model file");
ABSL_FLAG(std::string, input, "", "text file, one sentence per line");

namespace korvel {
namespace {

constexpr char kHelp[] =
    "Usage: korvel_eval --model=FULL_MODEL --input=TEXT_FILE\n"
    "\n"
    "Encodes every non-empty line of TEXT_FILE with a full korvel model (the\n"
    "protobuf model that 'korvel import' writes and 'korvel convert' reads, "
    "not\n"
    "a lite model) and prints a report of counts, vocabulary coverage,\n"
    "compression ratios, log-likelihoods and perplexities. An input without a\n"
    "non-empty line gives a complete report of zero counts and perplexity 1.\n"
    "\n"
    "Flags:\n"
    "  --model=FULL_MODEL  the full model file\n"
    "  --input=TEXT_FILE   the text to evaluate\n"
    "  --help              this text\n"
    "  --version           the version of korvel\n";

// Answers --help and --version, which come before any other flag handling.
// Returns false when neither is on the command line.
bool AnswerHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--help" || arg == "-help" || arg == "-h" ||
        arg == "--helpfull") {
      std::cout << kHelp << std::flush;
      return true;
    }
    if (arg == "--version" || arg == "-version") {
      std::cout << "korvel_eval " << KORVEL_VERSION << "\n" << std::flush;
      return true;
    }
  }
  return false;
}

// The totals of one pass over the input.
struct EncodingStats {
  uint64_t sentences = 0;
  uint64_t bytes = 0;
  uint64_t tokens = 0;
  double score_sum = 0.0;
  // Occurrences of each piece id. The standard map hashes an int to itself,
  // so its iteration order, and with it the printed sums, is the same in
  // every run.
  std::unordered_map<int32_t, uint64_t> id_counts;
};

// Reads `input` to its end and encodes every non-empty line. Returns false
// when reading stopped on an I/O error rather than at the end of the file.
bool EncodeLines(const KorvelProcessor& processor, std::ifstream& input,
                 EncodingStats& stats) {
  std::string line;
  std::vector<int> ids;
  while (std::getline(input, line)) {
    if (line.empty()) continue;
    const absl::Status status = processor.Encode(line, &ids);
    ++stats.sentences;
    stats.bytes += line.size() + 1;
    if (!status.ok()) {
      std::cerr << "Failed to encode line: " << line << "\n";
      continue;
    }
    stats.tokens += ids.size();
    for (const int id : ids) {
      const float score = processor.GetScore(id);
      ++stats.id_counts[id];
      stats.score_sum += static_cast<double>(score);
    }
  }
  return !input.bad();
}

// The log-likelihood of the ids under their own frequencies, in nats.
double EmpiricalLogLikelihood(const EncodingStats& stats) {
  if (stats.tokens == 0 || stats.id_counts.empty()) return 0.0;
  const double total = static_cast<double>(stats.tokens);
  double sum = 0.0;
  for (const auto& [id, count] : stats.id_counts) {
    const double n = static_cast<double>(count);
    sum += n * std::log(n / total);
  }
  return sum;
}

std::string FormatReport(const std::string& model_path,
                         const std::string& input_path,
                         const EncodingStats& stats, bool is_unigram,
                         int vocab_size) {
  const double bytes = static_cast<double>(stats.bytes);
  const double tokens = static_cast<double>(stats.tokens);
  const uint64_t unique_ids = stats.id_counts.size();
  const double empirical_ll = EmpiricalLogLikelihood(stats);
  const double ll = is_unigram ? stats.score_sum : empirical_ll;
  const double coverage =
      vocab_size == 0 ? 0.0
                      : static_cast<double>(unique_ids) * 100.0 / vocab_size;
  const double density = stats.tokens == 0 ? 0.0 : bytes / tokens;
  const double rate = stats.bytes == 0 ? 0.0 : tokens / bytes;
  const double ll_per_byte = stats.bytes == 0 ? 0.0 : ll / bytes;
  const double standard_ppl = std::exp(stats.tokens == 0 ? -0.0 : -ll / tokens);
  const double byte_ppl = std::exp(-ll_per_byte);
  const double empirical_byte_ppl =
      std::exp(stats.bytes == 0 ? -0.0 : -empirical_ll / bytes);

  const std::string double_rule(55, '=');
  const std::string single_rule(55, '-');
  std::string report = absl::StrCat(
      double_rule, "\n", "RAW LOG-LIKELIHOOD & COMPRESSION REPORT\n",
      double_rule, "\n", "Model File                       : ", model_path,
      "\n", "Input File                       : ", input_path, "\n",
      "Total Sentences                  : ", stats.sentences, "\n",
      "Total Bytes                      : ", stats.bytes, "\n",
      "Total Tokens                     : ", stats.tokens, "\n",
      "Model Vocab Size (K)             : ", vocab_size, "\n",
      "Unique Vocab Used                : ", unique_ids, "\n",
      "Vocab Coverage (%)               : ",
      absl::StrFormat("%.2f%%", coverage), "\n", single_rule, "\n",
      "COMPRESSION DENSITY & RATIO\n");
  absl::StrAppend(
      &report,
      "Compression Density (Bytes/Tok)  : ", absl::StrFormat("%.6f", density),
      "\n", "Compression Rate    (Tok/Byte)  : ", absl::StrFormat("%.6f", rate),
      "\n", "Token/Byte Ratio                 : ",
      absl::StrFormat("%.2f%%", rate * 100.0), "\n", single_rule, "\n",
      "INFORMATION THEORY & PPL\n");
  if (is_unigram) {
    absl::StrAppend(&report, "Viterbi Log-Likelihood (Nats)    : ",
                    absl::StrFormat("%.6f", stats.score_sum), "\n");
  }
  absl::StrAppend(
      &report, "Empirical Log-Likelihood (Nats)  : ",
      absl::StrFormat("%.6f", empirical_ll), "\n",
      "Log-Likelihood / Byte (Nats)     : ",
      absl::StrFormat("%.6f", ll_per_byte), "\n",
      "Standard Perplexity (PPL)        : ",
      absl::StrFormat("%.6f", standard_ppl), "\n",
      "Byte-Weighted Perplexity (PPL)   : ", absl::StrFormat("%.6f", byte_ppl),
      "\n", "Empirical Byte-W PPL (All Models): ",
      absl::StrFormat("%.6f", empirical_byte_ppl), "\n", double_rule, "\n");
  return report;
}

int Run(int argc, char** argv) {
  if (AnswerHelpOrVersion(argc, argv)) return std::cout ? 0 : 1;
  ParseCommandLineFlags(argv[0], &argc, &argv, true);
  const std::string model_path = absl::GetFlag(FLAGS_model);
  const std::string input_path = absl::GetFlag(FLAGS_input);
  if (model_path.empty() || input_path.empty()) {
    std::cerr << "Usage: korvel_eval --model=<model> --input=<input>\n";
    return 1;
  }

  KorvelProcessor processor;
  if (!processor.Load(model_path).ok()) {
    std::cerr << "Failed to load model: " << model_path << "\n";
    return 1;
  }
  std::ifstream input(input_path);
  if (input.fail()) {
    std::cerr << "Failed to open input file: " << input_path << "\n";
    return 1;
  }

  EncodingStats stats;
  if (!EncodeLines(processor, input, stats)) {
    // A report over part of the file would pass for a complete one.
    std::cerr << "Failed to read input file: " << input_path << "\n";
    return 1;
  }
  const bool is_unigram = processor.model_proto().trainer_spec().model_type() ==
                          TrainerSpec::UNIGRAM;
  const int vocab_size = processor.GetPieceSize();

  std::cout << FormatReport(model_path, input_path, stats, is_unigram,
                            vocab_size)
            << std::flush;
  if (!std::cout) {
    std::cerr << "Failed to write the report\n";
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace korvel

int main(int argc, char** argv) { return korvel::Run(argc, argv); }
