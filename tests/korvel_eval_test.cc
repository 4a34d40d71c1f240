// Runs korvel_eval as a process over full models written by the test and
// checks its report, messages and exit status.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_replace.h"
#include "bad_file_variants.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_proto/korvel_model.pb.h"
#include "run_process.h"

namespace korvel::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

struct FullPiece {
  std::string text;
  float score;
  ModelProto::Piece::Type type = ModelProto::Piece::NORMAL;
};

// A full model without normalizer settings, so text is encoded as it is.
std::string WriteModel(const ScratchDir& dir, const std::string& name,
                       const std::vector<FullPiece>& pieces,
                       TrainerSpec::ModelType type) {
  ModelProto model;
  model.mutable_trainer_spec()->set_model_type(type);
  model.mutable_trainer_spec()->set_unk_id(0);
  for (const FullPiece& piece : pieces) {
    ModelProto::Piece* entry = model.add_pieces();
    entry->set_piece(piece.text);
    entry->set_score(piece.score);
    entry->set_type(piece.type);
  }
  const std::string path = dir.File(name);
  WriteFileOrDie(path, model.SerializeAsString());
  return path;
}

constexpr ModelProto::Piece::Type kUnknown = ModelProto::Piece::UNKNOWN;

// "ab" beats "a" + "b"; "abc" is "ab" + "c".
std::string WriteUnigramModel(const ScratchDir& dir) {
  return WriteModel(dir, "unigram.model",
                    {{"<unk>", 0.0f, kUnknown},
                     {"a", -1.0f},
                     {"b", -2.0f},
                     {"ab", -1.5f},
                     {"c", -3.0f}},
                    TrainerSpec::UNIGRAM);
}

std::string WriteBpeModel(const ScratchDir& dir) {
  return WriteModel(
      dir, "bpe.model",
      {{"<unk>", 0.0f, kUnknown}, {"ab", -2.0f}, {"a", -3.0f}, {"b", -4.0f}},
      TrainerSpec::BPE);
}

std::string Eval() {
  return testing::BuiltProgram("src/korvel_eval_main/korvel_eval");
}

ProcessResult RunEval(const ScratchDir& dir, const std::string& model,
                      const std::string& input) {
  return RunProcess({Eval(), "--model=" + model, "--input=" + input}, dir);
}

class KorvelEvalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::IsBuilt(Eval(), "korvel_eval"));
  }
};

// The expected report in tests/testdata/korvel_eval/`name`, with the paths
// put where it says "$MODEL" and "$INPUT".
std::string Report(const std::string& name, const std::string& model,
                   const std::string& input) {
  const std::string report = testing::ReadFileOrEmpty(
      testing::SourceFile("tests/testdata/korvel_eval/" + name));
  EXPECT_FALSE(report.empty()) << name;
  return absl::StrReplaceAll(report, {{"$MODEL", model}, {"$INPUT", input}});
}

TEST_F(KorvelEvalTest, ReportsMatchTheirFiles) {
  struct Case {
    std::string (*write_model)(const ScratchDir&);
    const char* input;
    const char* report;
  };
  const Case cases[] = {
      // Hand-checked figures: ids ab, ab c, c a; S 3, B 10, T 5, scores
      // -1.5 * 2 - 3 * 2 - 1 = -10, E = 4 ln(2/5) + ln(1/5).
      {WriteUnigramModel, "ab\nabc\n\nca\n", "unigram_report.txt"},
      // Hand-checked figures: ids ab, ab, b a; S 3, B 9, T 4,
      // E = 2 ln(2/4) + 2 ln(1/4), which stands in for the log-likelihood.
      {WriteBpeModel, "ab\nab\nba\n", "bpe_report.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    ScratchDir dir;
    const std::string model = c.write_model(dir);
    const std::string input = dir.File("input.txt");
    WriteFileOrDie(input, c.input);
    const ProcessResult result = RunEval(dir, model, input);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, Report(c.report, model, input));
    EXPECT_THAT(result.err, IsEmpty());
  }
}

TEST_F(KorvelEvalTest, HelpAndVersionAreOurOwn) {
  ScratchDir dir;
  EXPECT_THAT(RunProcess({Eval(), "--help"}, dir).out,
              AllOf(HasSubstr("--model=FULL_MODEL"), Not(HasSubstr(".cc"))));
  EXPECT_THAT(RunProcess({Eval(), "--version"}, dir).out,
              ::testing::StartsWith("korvel_eval "));
}

TEST_F(KorvelEvalTest, CountsLinesAndBytes) {
  struct Case {
    const char* text;
    const char* counts;  // the sentence, byte and token lines
  };
  const Case cases[] = {
      // The last line has no newline but still counts one for it.
      {"ab\n\ncd",
       "Total Sentences                  : 2\n"
       "Total Bytes                      : 6\n"},
      // The carriage return stays in the line: "x" plus an unknown piece.
      {"x\r\n",
       "Total Sentences                  : 1\n"
       "Total Bytes                      : 3\n"
       "Total Tokens                     : 2\n"},
      {"x\n",
       "Total Sentences                  : 1\n"
       "Total Bytes                      : 2\n"
       "Total Tokens                     : 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ScratchDir dir;
    const std::string model =
        WriteModel(dir, "x.model", {{"<unk>", 0.0f, kUnknown}, {"x", -1.0f}},
                   TrainerSpec::UNIGRAM);
    const std::string input = dir.File("input.txt");
    WriteFileOrDie(input, c.text);
    const ProcessResult result = RunEval(dir, model, input);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_THAT(result.out, HasSubstr(c.counts));
  }
}

// The design's edge case: an input without a non-empty line still yields a
// complete report, with zero counts and perplexities of 1, and exit 0.
TEST_F(KorvelEvalTest, InputWithoutLinesGetsACompleteReport) {
  ScratchDir dir;
  const std::string model = WriteUnigramModel(dir);
  const std::string input = dir.File("input.txt");
  for (const char* text : {"", "\n\n\n"}) {
    SCOPED_TRACE(::testing::PrintToString(text));
    WriteFileOrDie(input, text);
    const ProcessResult result = RunEval(dir, model, input);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_THAT(result.err, IsEmpty());
    EXPECT_THAT(
        result.out,
        AllOf(HasSubstr("Total Sentences                  : 0\n"
                        "Total Bytes                      : 0\n"
                        "Total Tokens                     : 0\n"
                        "Model Vocab Size (K)             : 5\n"
                        "Unique Vocab Used                : 0\n"
                        "Vocab Coverage (%)               : 0.00%\n"),
              HasSubstr("Compression Density (Bytes/Tok)  : 0.000000\n"
                        "Compression Rate    (Tok/Byte)  : 0.000000\n"
                        "Token/Byte Ratio                 : 0.00%\n"),
              HasSubstr("Viterbi Log-Likelihood (Nats)    : 0.000000\n"
                        "Empirical Log-Likelihood (Nats)  : 0.000000\n"
                        "Log-Likelihood / Byte (Nats)     : 0.000000\n"
                        "Standard Perplexity (PPL)        : 1.000000\n"
                        "Byte-Weighted Perplexity (PPL)   : 1.000000\n"
                        "Empirical Byte-W PPL (All Models): 1.000000\n"),
              ::testing::EndsWith(std::string(55, '=') + "\n")));
  }
}

TEST_F(KorvelEvalTest, VocabularySizeIsNotScaled) {
  ScratchDir dir;
  std::vector<FullPiece> pieces = {{"<unk>", 0.0f, kUnknown}};
  for (int i = 1; i < 32000; ++i) {
    pieces.push_back({absl::StrCat("p", i), -static_cast<float>(i)});
  }
  const std::string model =
      WriteModel(dir, "big.model", pieces, TrainerSpec::UNIGRAM);
  const std::string input = dir.File("input.txt");
  WriteFileOrDie(input, "p1p2\n");
  const ProcessResult result = RunEval(dir, model, input);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out,
              HasSubstr("Model Vocab Size (K)             : 32000\n"
                        "Unique Vocab Used                : 2\n"
                        "Vocab Coverage (%)               : 0.01%\n"));
}

TEST_F(KorvelEvalTest, FailuresWriteOneMessageAndNothingElse) {
  ScratchDir dir;
  const std::string model = WriteUnigramModel(dir);
  const std::string input = dir.File("input.txt");
  WriteFileOrDie(input, "ab\n");
  const std::string garbage = dir.File("garbage.model");
  WriteFileOrDie(garbage, "\xff\xff\xff not a model");
  const std::string missing = dir.File("missing");
  const std::string usage =
      "Usage: korvel_eval --model=<model> --input=<input>\n";

  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, usage},
      {{"--model=" + model}, usage},
      {{"--input=" + input}, usage},
      {{"--model=", "--input=" + input}, usage},
      {{"--model=" + missing, "--input=" + input},
       "Failed to load model: " + missing + "\n"},
      {{"--model=" + garbage, "--input=" + input},
       "Failed to load model: " + garbage + "\n"},
      // The model is loaded before the input is opened.
      {{"--model=" + missing, "--input=" + missing},
       "Failed to load model: " + missing + "\n"},
      {{"--model=" + model, "--input=" + missing},
       "Failed to open input file: " + missing + "\n"},
      // A directory opens but cannot be read; a partial report would pass
      // for a complete one.
      {{"--model=" + model, "--input=" + dir.path()},
       "Failed to read input file: " + dir.path() + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> argv = {Eval()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const ProcessResult result = RunProcess(argv, dir);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.err);
    EXPECT_THAT(result.out, IsEmpty());
  }
}

TEST_F(KorvelEvalTest, ReportThatCannotBeWrittenFails) {
  if (!testing::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ScratchDir dir;
  const std::string model = WriteUnigramModel(dir);
  const std::string input = dir.File("input.txt");
  WriteFileOrDie(input, "ab\n");
  const ProcessResult result =
      RunProcess({Eval(), "--model=" + model, "--input=" + input}, dir, "",
                 /*capture=*/true, "/dev/full");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Failed to write the report\n");
}

// Damaged and foreign model files: the run either fails with the load
// message alone, or (for a damaged model that still loads) prints a whole
// report; never a crash, a hang or a sanitizer report.
class KorvelEvalBadModelTest : public KorvelEvalTest {
 protected:
  void SetUp() override {
    KorvelEvalTest::SetUp();
    WriteFileOrDie(input_,
                   "abc ab\n\xc3\x85"
                   "bc x\n<sep>a \xe2\x82\xac!\n");
    for (const auto type : {TrainerSpec::UNIGRAM, TrainerSpec::BPE}) {
      originals_.push_back(
          {type == TrainerSpec::BPE ? "BPE model" : "unigram model",
           testing::FullModelToDamage(type).SerializeAsString()});
    }
  }

  void CheckRun(const std::string& path, bool may_load) {
    const ProcessResult result = testing::RunWithDeadline(
        {Eval(), "--model=" + path, "--input=" + input_}, dir_);
    if (!testing::CheckExit(result) && may_load) {
      EXPECT_THAT(result.out, ::testing::StartsWith(std::string(55, '=') +
                                                    "\n"
                                                    "RAW LOG-LIKELIHOOD"));
      EXPECT_THAT(result.out,
                  HasSubstr("Total Sentences                  : 3\n"));
      EXPECT_THAT(result.out, ::testing::EndsWith(std::string(55, '=') + "\n"));
      EXPECT_THAT(result.err, IsEmpty());
      return;
    }
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "Failed to load model: " + path + "\n");
    EXPECT_THAT(result.out, IsEmpty());
  }

  void CheckVariants(const std::vector<FileVariant>& variants, bool may_load) {
    const std::string path = dir_.File("variant.model");
    for (const FileVariant& variant : variants) {
      SCOPED_TRACE(variant.name);
      WriteFileOrDie(path, variant.bytes);
      CheckRun(path, may_load);
    }
  }

  ScratchDir dir_;
  std::string input_ = dir_.File("input.txt");
  std::vector<FileVariant> originals_;
};

TEST_F(KorvelEvalBadModelTest, TruncatedModels) {
  for (const FileVariant& original : originals_) {
    SCOPED_TRACE(original.name);
    // A protobuf cut between two fields parses as a smaller model.
    CheckVariants(testing::Truncations(original.bytes), /*may_load=*/true);
  }
}

TEST_F(KorvelEvalBadModelTest, BitFlippedModels) {
  uint32_t seed = 101;
  for (const FileVariant& original : originals_) {
    SCOPED_TRACE(original.name);
    const std::string path = dir_.File("original.model");
    WriteFileOrDie(path, original.bytes);
    EXPECT_EQ(RunEval(dir_, path, input_).exit_code, 0);
    CheckVariants(testing::BitFlips(original.bytes, 100, seed++),
                  /*may_load=*/true);
  }
}

TEST_F(KorvelEvalBadModelTest, ForeignModels) {
  std::vector<FileVariant> variants = testing::ForeignContents();
  absl::StatusOr<std::string> lite = lite::ToFlatbuffer(
      testing::FullModelToDamage(TrainerSpec::BPE), lite::ConverterOptions());
  ASSERT_TRUE(lite.ok()) << lite.status();
  variants.push_back({"lite model", *lite});
  CheckVariants(variants, /*may_load=*/false);

  std::vector<std::string> paths = {dir_.path(), "/dev/null",
                                    dir_.File("missing")};
  const std::string unreadable =
      testing::UnreadableFile(dir_, originals_[0].bytes);
  if (!unreadable.empty()) paths.push_back(unreadable);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    CheckRun(path, /*may_load=*/false);
  }
}

// Only a line of 2^31 - 1 bytes or more fails to encode, so this test writes
// a sparse 2 GiB input and needs about 6 GiB of memory and disk for its
// output; it runs when KORVEL_LARGE_TESTS is set.
TEST_F(KorvelEvalTest, FailingLineCountsSentenceAndBytesButNoTokens) {
  if (std::getenv("KORVEL_LARGE_TESTS") == nullptr) {
    GTEST_SKIP() << "set KORVEL_LARGE_TESTS to run";
  }
  ScratchDir dir;
  const std::string model = WriteUnigramModel(dir);
  const std::string input = dir.File("input.txt");
  const int64_t long_line = 0x7FFFFFFF;
  WriteFileOrDie(input, "ab\n");
  ASSERT_EQ(::truncate(input.c_str(), 3 + long_line), 0);
  const ProcessResult result =
      RunProcess({Eval(), "--model=" + model, "--input=" + input}, dir, "",
                 /*capture=*/false);
  EXPECT_EQ(result.exit_code, 0);
  const std::string out = testing::ReadFileOrEmpty(dir.File(".stdout"));
  EXPECT_THAT(
      out, HasSubstr(absl::StrCat("Total Sentences                  : 2\n"
                                  "Total Bytes                      : ",
                                  3 + long_line + 1,
                                  "\n"
                                  "Total Tokens                     : 1\n")));
  const std::string prefix = "Failed to encode line: ";
  EXPECT_EQ(FileSize(dir.File(".stderr")),
            static_cast<long long>(prefix.size() + long_line + 1));
}

}  // namespace
}  // namespace korvel::testing
