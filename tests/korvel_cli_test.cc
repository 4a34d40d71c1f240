// Runs the korvel command-line program as a process: conversion, encoding,
// decoding, normalization, inspection, and the handling of bad files.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"
#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_tokenizer/tokenizer.h"
#include "korvel_proto/korvel_model.pb.h"
#include "run_process.h"

namespace korvel {
namespace {

using ::korvel::lite::KorvelLiteProcessor;
using ::korvel::lite::testing::FullModelWithUnknown;
using ::korvel::testing::FileExists;
using ::korvel::testing::ProcessResult;
using ::korvel::testing::ReadFileOrEmpty;
using ::korvel::testing::RunProcess;
using ::korvel::testing::ScratchDir;
using ::korvel::testing::WriteFileOrDie;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kSpace[] = "\xe2\x96\x81";

std::string Korvel() { return testing::BuiltProgram("src/korvel_cli/korvel"); }

ModelProto TestModel(TrainerSpec::ModelType type) {
  const std::string s = kSpace;
  ModelProto model =
      FullModelWithUnknown({{"<s>", 0, ModelProto::Piece::CONTROL},
                            {"</s>", 0, ModelProto::Piece::CONTROL},
                            {s, -5},
                            {"a", -2},
                            {"b", -2},
                            {"c", -3},
                            {s + "a", -4},
                            {"ab", -3},
                            {"bc", -4},
                            {s + "ab", -6},
                            {"abc", -7},
                            {s + "c", -6},
                            {s + "b", -7}},
                           type);
  NormalizerSpec* normalizer = model.mutable_normalizer_spec();
  normalizer->set_name("identity");
  return model;
}

// Lines of words over "abc", joined by single spaces; the normalized forms
// decode back to the same text.
std::vector<std::string> RandomLines(int count, int max_words, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> words(1 + random() % max_words);
    for (std::string& word : words) {
      const int length = 1 + random() % 5;
      for (int j = 0; j < length; ++j) word.push_back("abc"[random() % 3]);
    }
    lines.push_back(absl::StrJoin(words, " "));
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) absl::StrAppend(&text, line, "\n");
  return text;
}

std::vector<std::string> Files(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name[0] != '.') names.push_back(name);
  }
  ::closedir(handle);
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a FIFO for a program to read and opens it read-write, which never
// waits for the reader.
int OpenFifo(const std::string& path) {
  if (::mkfifo(path.c_str(), 0600) != 0) return -1;
  return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
}

// Waits (up to 10 s) until the file holds `lines` lines.
bool WaitForLines(const std::string& path, int lines) {
  for (int i = 0; i < 1000; ++i) {
    const std::string text = ReadFileOrEmpty(path);
    if (std::count(text.begin(), text.end(), '\n') >= lines) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class KorvelCliTest : public ::testing::TestWithParam<TrainerSpec::ModelType> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::IsBuilt(Korvel(), "korvel_cli"));
    full_model_ = dir_.File("test.model");
    lite_model_ = dir_.File("test.lite");
    WriteFileOrDie(full_model_, TestModel(GetParam()).SerializeAsString());
    const ProcessResult convert =
        Run({"convert", "--output_file=" + lite_model_, full_model_});
    ASSERT_EQ(convert.exit_code, 0) << convert.err;
    processor_ = std::make_unique<KorvelLiteProcessor>(
        std::make_shared<std::string>(ReadFileOrEmpty(lite_model_)));
    ASSERT_EQ(processor_->status(), absl::StatusCode::kOk);
  }

  ProcessResult Run(std::vector<std::string> args,
                    const std::string& stdin_path = "") {
    args.insert(args.begin(), Korvel());
    return RunProcess(args, dir_, stdin_path);
  }

  std::string WriteInput(const std::string& name, const std::string& text) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, text);
    return path;
  }

  // What `korvel encode` should print for `lines`, from the library itself.
  std::string ExpectedEncoding(const std::vector<std::string>& lines,
                               bool pieces) {
    std::string expected;
    std::vector<int> ids;
    for (const std::string& line : lines) {
      EXPECT_EQ(processor_->Encode(line, &ids), absl::StatusCode::kOk);
      std::vector<std::string> tokens;
      for (int id : ids) {
        tokens.push_back(pieces ? std::string(processor_->IdToPiece(id))
                                : absl::StrCat(id));
      }
      absl::StrAppend(&expected, absl::StrJoin(tokens, " "), "\n");
    }
    return expected;
  }

  ScratchDir dir_;
  std::string full_model_;
  std::string lite_model_;
  std::unique_ptr<KorvelLiteProcessor> processor_;
};

TEST_P(KorvelCliTest, EncodeDecodeRoundTrip) {
  const std::vector<std::string> lines = RandomLines(200, 6, 1);
  const std::string input = WriteInput("input.txt", JoinLines(lines));
  const ProcessResult ids = Run({"encode", "--model=" + lite_model_, input});
  ASSERT_EQ(ids.exit_code, 0) << ids.err;
  EXPECT_EQ(ids.out, ExpectedEncoding(lines, /*pieces=*/false));
  EXPECT_THAT(ids.err, IsEmpty());

  const std::string id_file = WriteInput("ids.txt", ids.out);
  const ProcessResult text = Run({"decode", "--model=" + lite_model_, id_file});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  EXPECT_EQ(text.out, JoinLines(lines));
  EXPECT_EQ(
      Run({"decode", "--model=" + lite_model_, "--output=pieces", id_file}).out,
      ExpectedEncoding(lines, /*pieces=*/true));
}

TEST_P(KorvelCliTest, EncodesPiecesFromStandardInput) {
  const std::vector<std::string> lines = {"abc ab", "", "c b a", "abcabc"};
  const std::string input = WriteInput("input.txt", JoinLines(lines));
  for (const std::string& source : {std::string("-"), std::string()}) {
    std::vector<std::string> args = {"encode", "--model=" + lite_model_,
                                     "--output=pieces"};
    if (!source.empty()) args.push_back(source);
    const ProcessResult result = Run(args, input);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, ExpectedEncoding(lines, /*pieces=*/true));
  }
}

TEST_P(KorvelCliTest, ThreadsKeepLineOrder) {
  // About 1.3 MB: several batches, each with a share for every thread.
  const std::vector<std::string> lines = RandomLines(20000, 30, 2);
  const std::string input = WriteInput("input.txt", JoinLines(lines));
  const std::string expected = ExpectedEncoding(lines, /*pieces=*/false);
  for (const char* threads :
       {"--threads=1", "--threads=4", "--threads=7", "--threads=0"}) {
    SCOPED_TRACE(threads);
    const ProcessResult result =
        Run({"encode", "--model=" + lite_model_, threads, input});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, expected);
  }
}

TEST_P(KorvelCliTest, SamplingIsDeterministicGivenTheSeed) {
  const std::vector<std::string> lines = RandomLines(3000, 20, 3);
  const std::string input = WriteInput("input.txt", JoinLines(lines));
  const auto sample = [&](const char* seed, const char* threads) {
    const ProcessResult result =
        Run({"encode", "--model=" + lite_model_, "--sample", "--alpha=0.5",
             seed, threads, input});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return result.out;
  };
  const std::string first = sample("--seed=7", "--threads=1");
  EXPECT_EQ(sample("--seed=7", "--threads=1"), first);
  EXPECT_EQ(sample("--seed=7", "--threads=4"), first);
  EXPECT_NE(sample("--seed=8", "--threads=1"), first);
  EXPECT_NE(first, ExpectedEncoding(lines, /*pieces=*/false));
  // A BPE dropout probability above 1 means nothing; a unigram scale may.
  const ProcessResult above_one =
      Run({"encode", "--model=" + lite_model_, "--sample", "--alpha=2", input});
  EXPECT_EQ(above_one.exit_code, GetParam() == TrainerSpec::BPE ? 1 : 0);

  // Every sample is a segmentation of its line.
  const std::string id_file = WriteInput("ids.txt", first);
  const ProcessResult text = Run({"decode", "--model=" + lite_model_, id_file});
  ASSERT_EQ(text.exit_code, 0) << text.err;
  EXPECT_EQ(text.out, JoinLines(lines));
}

TEST_P(KorvelCliTest, NormalizeWithOffsets) {
  const std::string input = WriteInput("input.txt", "ab  c\n\n a\n");
  const ProcessResult plain =
      Run({"normalize", "--model=" + lite_model_, input});
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const std::string s = kSpace;
  EXPECT_EQ(plain.out, s + "ab" + s + "c\n\n" + s + "a\n");

  const ProcessResult offsets =
      Run({"normalize", "--model=" + lite_model_, "--offsets", input});
  ASSERT_EQ(offsets.exit_code, 0) << offsets.err;
  std::string expected;
  for (const char* line : {"ab  c", "", " a"}) {
    std::string normalized;
    std::vector<size_t> map;
    ASSERT_EQ(processor_->Normalize(line, &normalized, &map),
              absl::StatusCode::kOk);
    absl::StrAppend(&expected, normalized, "\t", absl::StrJoin(map, " "), "\n");
  }
  EXPECT_EQ(offsets.out, expected);
  // "▁ab▁c" from "ab  c": the dummy prefix and "a" come from offset 0.
  EXPECT_THAT(offsets.out,
              HasSubstr(s + "ab" + s + "c\t0 0 0 0 1 2 2 2 4 5\n"));
}

TEST_P(KorvelCliTest, InfoDescribesTheModel) {
  const ProcessResult result = Run({"info", "--model=" + lite_model_});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(
      result.out,
      HasSubstr(absl::StrCat(
          "model type:                 ",
          GetParam() == TrainerSpec::BPE ? "bpe" : "unigram", "\n",
          "vocabulary size:            14\n",
          "piece types:                normal 11, unknown 1, "
          "control 2, user-defined 0, unused 0, byte 0\n",
          "unk id:                     0\n", "bos id:                     1\n",
          "eos id:                     2\n",
          "pad id:                     -1\n")));
  EXPECT_THAT(result.out, HasSubstr("byte fallback:              no\n"));
  EXPECT_THAT(result.out, HasSubstr("  name:                     identity\n"));
  EXPECT_THAT(result.out, HasSubstr("user-defined trie:          absent\n"));
  EXPECT_THAT(result.out,
              HasSubstr(GetParam() == TrainerSpec::BPE
                            ? "bigram trie:                "
                            : "bigram trie:                absent\n"));
  // The same report for the model given as an argument.
  EXPECT_EQ(Run({"info", lite_model_}).out, result.out);
}

TEST_P(KorvelCliTest, EveryCommandHasHelp) {
  for (const char* command :
       {"import", "convert", "encode", "decode", "normalize", "info"}) {
    SCOPED_TRACE(command);
    const ProcessResult result = Run({command, "--help"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_THAT(result.out, HasSubstr(absl::StrCat("Usage: korvel ", command)));
  }
  const ProcessResult overview = Run({"--help"});
  EXPECT_EQ(overview.exit_code, 0);
  EXPECT_THAT(overview.out, HasSubstr("normalize"));
}

// The encode options, and JSON output with offsets, as the tokenizer layer
// gives them.
TEST_P(KorvelCliTest, EncodeOptionsAndJson) {
  const std::string line = "ab<s>c </s>";
  const std::string input = WriteInput("input.txt", line + "\n");
  absl::StatusOr<std::unique_ptr<tokenizer::Tokenizer>> model =
      tokenizer::Tokenizer::Open(lite_model_);
  ASSERT_TRUE(model.ok()) << model.status();
  const std::vector<std::string> flag_sets[] = {
      {}, {"--add_bos", "--parse_special"}, {"--add_eos", "--mmap"}};
  for (const std::vector<std::string>& flags : flag_sets) {
    SCOPED_TRACE(absl::StrJoin(flags, " "));
    tokenizer::EncodeOptions options;
    for (const std::string& flag : flags) {
      options.add_bos |= flag == "--add_bos";
      options.add_eos |= flag == "--add_eos";
      options.parse_special |= flag == "--parse_special";
    }
    std::vector<int> ids;
    std::vector<tokenizer::Offset> offsets;
    ASSERT_TRUE((*model)->Encode(line, options, &ids, &offsets).ok());
    std::vector<std::string> pieces, ranges;
    for (size_t i = 0; i < ids.size(); ++i) {
      pieces.push_back(
          absl::StrCat("\"", std::string((*model)->IdToPiece(ids[i])), "\""));
      ranges.push_back(
          absl::StrCat("[", offsets[i].begin, ",", offsets[i].end, "]"));
    }
    std::vector<std::string> args = {"encode", "--model=" + lite_model_,
                                     "--output=json", input};
    args.insert(args.end(), flags.begin(), flags.end());
    EXPECT_EQ(
        Run(args).out,
        absl::StrCat("{\"ids\":[", absl::StrJoin(ids, ","), "],\"pieces\":[",
                     absl::StrJoin(pieces, ","), "],\"offsets\":[",
                     absl::StrJoin(ranges, ","), "]}\n"));
  }
}

// decode reads encode's JSON lines as well as its ids, and --keep_special
// writes the texts of control pieces where they stand.
TEST_P(KorvelCliTest, DecodeReadsJsonAndKeepsSpecialPieces) {
  const std::string input = WriteInput("input.txt", "ab c\n\ncab\n");
  const std::string model = "--model=" + lite_model_;
  for (const char* output : {"--output=ids", "--output=json"}) {
    const std::string encoded = WriteInput(
        "encoded.txt",
        Run({"encode", model, "--add_bos", "--add_eos", output, input}).out);
    EXPECT_EQ(Run({"decode", model, encoded}).out, "ab c\n\ncab\n");
    EXPECT_EQ(Run({"decode", model, "--keep_special", encoded}).out,
              "<s>ab c</s>\n<s></s>\n<s>cab</s>\n");
  }
  // Other members are skipped whatever they hold; a bad object is an error.
  EXPECT_EQ(Run({"decode", model,
                 WriteInput("x.json", R"( {"a":{"b":[1,"]\"}",{}]}, )"
                                      R"("ids" : [ 4 , 5 ] })"
                                      "\n")})
                .out,
            Run({"decode", model, WriteInput("x.txt", "4 5\n")}).out);
  for (const char* line :
       {R"({"pieces":[]})", R"({"ids":[1,2})", R"({"ids":[1]} 2)"}) {
    const ProcessResult result = Run(
        {"decode", model, WriteInput("bad.json", absl::StrCat(line, "\n"))});
    EXPECT_EQ(result.exit_code, 1) << line;
    EXPECT_THAT(result.err, HasSubstr("bad.json:1: ")) << line;
  }
}

// A model file truncated or rewritten in place during a run cannot reach the
// loaded model, which was read into memory.
TEST_P(KorvelCliTest, ModelChangedDuringARunIsNotSeen) {
  const std::string lite = ReadFileOrEmpty(lite_model_);
  const std::vector<std::function<void(const std::string&)>> changes = {
      [](const std::string& path) {
        ASSERT_EQ(::truncate(path.c_str(), 0), 0);
      },
      [&lite](const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY);
        const std::string garbage(lite.size(), '\xff');
        ASSERT_EQ(::pwrite(fd, garbage.data(), garbage.size(), 0),
                  static_cast<ssize_t>(garbage.size()));
        ::close(fd);
      }};
  for (size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    ScratchDir dir;
    const std::string model = dir.File("model.lite");
    WriteFileOrDie(model, lite);
    const int fifo = OpenFifo(dir.File("input.fifo"));
    ProcessResult result;
    std::thread run([&] {
      result = RunProcess(
          {Korvel(), "encode", "--model=" + model, dir.File("input.fifo")},
          dir);
    });
    ASSERT_EQ(::write(fifo, "abc ab\n", 7), 7);
    EXPECT_TRUE(WaitForLines(dir.File(".stdout"), 1));
    changes[i](model);
    ASSERT_EQ(::write(fifo, "c b a\n", 6), 6);
    EXPECT_TRUE(WaitForLines(dir.File(".stdout"), 2));
    ::close(fifo);
    run.join();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out,
              ExpectedEncoding({"abc ab", "c b a"}, /*pieces=*/false));
  }
}

// A run stopped by a signal (sent by timeout(1) while the run waits for
// input) leaves neither the output nor its temporary file.
TEST_P(KorvelCliTest, SignalLeavesNoTemporaryFile) {
  for (const char* signal : {"INT", "TERM"}) {
    ScratchDir dir;
    const int fifo = OpenFifo(dir.File("input.fifo"));
    ASSERT_EQ(::write(fifo, "abc\n", 4), 4);
    const ProcessResult result = RunProcess(
        {"/usr/bin/timeout", "-s", signal, "1", Korvel(), "encode",
         "--model=" + lite_model_, "--output_file=" + dir.File("out.txt"),
         dir.File("input.fifo")},
        dir);
    ::close(fifo);
    EXPECT_EQ(result.exit_code, 124) << signal;
    EXPECT_THAT(Files(dir.path()), ElementsAre("input.fifo")) << signal;
  }
}

INSTANTIATE_TEST_SUITE_P(ModelTypes, KorvelCliTest,
                         ::testing::Values(TrainerSpec::UNIGRAM,
                                           TrainerSpec::BPE),
                         [](const auto& info) {
                           return info.param == TrainerSpec::BPE ? "Bpe"
                                                                 : "Unigram";
                         });

class KorvelCliErrorTest : public KorvelCliTest {};

TEST_P(KorvelCliErrorTest, BadModelFilesAreNamed) {
  const std::string lite = ReadFileOrEmpty(lite_model_);
  const std::string truncated =
      WriteInput("truncated.lite", lite.substr(0, lite.size() / 2));
  const std::string empty = WriteInput("empty.lite", "");
  const std::string text = WriteInput("text.lite", "hello world\n");
  const std::string missing = dir_.File("missing.lite");
  const std::string input = WriteInput("input.txt", "abc\n");
  struct Case {
    std::string model;
    std::string err;
  };
  const Case cases[] = {
      {missing, missing + ": No such file or directory\n"},
      {truncated,
       truncated + ": not a korvel lite model (verification failed)\n"},
      {full_model_, full_model_ + ": a korvel full model, not a lite model; "
                                  "convert it first with `korvel convert`\n"},
      {text, text + ": not a korvel lite model (verification failed)\n"},
      {empty, empty + ": not a korvel lite model (empty file)\n"},
      {dir_.path(), dir_.path() + ": not a regular file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    for (const char* command : {"encode", "decode", "normalize", "info"}) {
      std::vector<std::string> args = {command, "--model=" + c.model};
      if (command != std::string("info")) args.push_back(input);
      const ProcessResult result = Run(args);
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_EQ(result.err, c.err);
      EXPECT_THAT(result.out, IsEmpty());
    }
  }
}

TEST_P(KorvelCliErrorTest, BadFullModelsAreNamed) {
  const std::string garbage = WriteInput("garbage.model", "\xff\xff\xff\xff");
  const std::string empty = WriteInput("empty.model", "");
  const std::string missing = dir_.File("missing.model");
  const std::string output = dir_.File("out.lite");
  struct Case {
    std::string model;
    std::string err;
  };
  const Case cases[] = {
      {missing, missing + ": No such file or directory\n"},
      {garbage, garbage + ": not a korvel full model (parsing failed)\n"},
      {empty, empty + ": not a korvel full model (no pieces)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    const ProcessResult result =
        Run({"convert", "--output_file=" + output, c.model});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.err);
  }
  // A model the converter refuses: its message names the file.
  ModelProto model = TestModel(GetParam());
  model.add_pieces()->set_piece("a");
  const std::string duplicate =
      WriteInput("duplicate.model", model.SerializeAsString());
  const ProcessResult result =
      Run({"convert", "--output_file=" + output, duplicate});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, duplicate + ": Duplicate key for trie building: a\n");
  EXPECT_FALSE(FileExists(output));
}

TEST_P(KorvelCliErrorTest, FailuresLeaveNoPartialOutput) {
  const std::string output = dir_.File("out.txt");
  WriteFileOrDie(output, "previous contents\n");
  // Lines 3000 and 3900 (in different slices of the first batch) and 19000
  // (in the second, read while the first is decoded) of 20000 hold ids
  // outside the vocabulary; the first one in input order is reported.
  std::string ids;
  for (int line = 1; line <= 20000; ++line) {
    absl::StrAppend(&ids,
                    line == 3000   ? "3 99999 4"
                    : line == 3900 || line == 19000 ? "3 88888 4"
                                   : "3 4 5 6 7 8 9 10 11 12",
                    " 3 4 5 6 7 8 9 10 11 12 3 4 5 6 7 8 9 10 11 12\n");
  }
  const std::string input = WriteInput("ids.txt", ids);
  const std::vector<std::string> before = Files(dir_.path());
  const ProcessResult result =
      Run({"decode", "--model=" + lite_model_, "--threads=3",
           "--output_file=" + output, input});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(
      result.err,
      input + ":3000: id 99999 is outside the vocabulary (ids 0 to 13)\n");
  EXPECT_EQ(ReadFileOrEmpty(output), "previous contents\n");
  EXPECT_EQ(Files(dir_.path()), before);

  const std::string full = dir_.File("out.lite");
  WriteFileOrDie(full, "previous model");
  const ProcessResult convert = Run(
      {"convert", "--output_file=" + full, WriteInput("bad.model", "\xff")});
  EXPECT_EQ(convert.exit_code, 1);
  EXPECT_EQ(ReadFileOrEmpty(full), "previous model");

  // Success replaces the file whole.
  const ProcessResult encode =
      Run({"encode", "--model=" + lite_model_, "--output_file=" + output,
           WriteInput("text.txt", "ab\n")});
  EXPECT_EQ(encode.exit_code, 0) << encode.err;
  EXPECT_THAT(encode.out, IsEmpty());
  EXPECT_EQ(ReadFileOrEmpty(output), ExpectedEncoding({"ab"}, false));
}

// Under a 128 MiB address space limit, a 512 MiB input (sparse, one line)
// runs every command out of memory: one line says so, and no temporary file
// stays.
TEST_P(KorvelCliErrorTest, OutOfMemoryIsOneLineAndLeavesNoFile) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit the limit";
#endif
  const std::string huge = WriteInput("huge.txt", "");
  ASSERT_EQ(::truncate(huge.c_str(), off_t{1} << 29), 0);
  const std::vector<std::string> before = Files(dir_.path());
  const std::string model = "--model=" + lite_model_;
  for (const std::string& command : std::vector<std::string>{
           "encode " + model, "normalize --offsets " + model, "import",
           "convert"}) {
    SCOPED_TRACE(command);
    const ProcessResult result =
        RunProcess({"/bin/sh", "-c",
                    "ulimit -v 131072 && exec \"$0\" " + command +
                        " --output_file=\"$1\" \"$2\"",
                    Korvel(), dir_.File("out"), huge},
                   dir_);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err,
              absl::StrCat("korvel ", command.substr(0, command.find(' ')),
                           ": out of memory\n"));
    EXPECT_EQ(Files(dir_.path()), before);
  }
}

// What --output_file does with what stands at its path. Nothing or a
// regular file: replaced whole through a temporary file, keeping a replaced
// file's permission bits. A symbolic link: its target is replaced, the link
// stays. A character device or a FIFO: written straight, never replaced (as
// root, a rename over /dev/null broke the machine). A directory: refused.
TEST_P(KorvelCliErrorTest, OutputFileFollowsWhatStandsAtThePath) {
  const std::string input = WriteInput("input.txt", "ab\n");
  const std::string expected = ExpectedEncoding({"ab"}, false);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat dev_null;
  ASSERT_EQ(::stat("/dev/null", &dev_null), 0);
  ASSERT_TRUE(S_ISCHR(dev_null.st_mode));
  const auto mode = [](const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode : mode_t{0};
  };
  const auto regular = [](const std::string& path, mode_t bits) {
    WriteFileOrDie(path, "old\n");
    ::chmod(path.c_str(), bits);
  };
  const auto written = [&](const std::string& path, mode_t bits) {
    return ReadFileOrEmpty(path) == expected && mode(path) == (S_IFREG | bits);
  };
  int fifo = -1;
  struct Row {
    const char* what;
    std::function<std::string(const std::string& d)> prepare;  // the path
    std::function<bool(const std::string& d)> holds;           // after the run
  };
  const Row rows[] = {
      {"missing path", [](const std::string& d) { return d + "/out"; },
       [&](const std::string& d) { return written(d + "/out", 0666 & ~mask); }},
      {"regular file of mode 0600",
       [&](const std::string& d) {
         regular(d + "/out", 0600);
         return d + "/out";
       },
       [&](const std::string& d) { return written(d + "/out", 0600); }},
      {"symbolic link to a file",
       [&](const std::string& d) {
         regular(d + "/target", 0640);
         ::symlink("target", (d + "/link").c_str());
         return d + "/link";
       },
       [&](const std::string& d) {
         return S_ISLNK(mode(d + "/link")) && written(d + "/target", 0640);
       }},
      {"symbolic link to a missing file",
       [](const std::string& d) {
         ::symlink("new", (d + "/link").c_str());
         return d + "/link";
       },
       [&](const std::string& d) {
         return S_ISLNK(mode(d + "/link")) &&
                ReadFileOrEmpty(d + "/new") == expected;
       }},
      {"character device /dev/null",
       [](const std::string&) { return std::string("/dev/null"); },
       [&](const std::string&) {
         struct stat after;
         const bool kept = ::stat("/dev/null", &after) == 0 &&
                           S_ISCHR(after.st_mode) &&
                           after.st_rdev == dev_null.st_rdev;
         if (!kept && ::geteuid() == 0) {  // put it back before failing
           ::unlink("/dev/null");
           ::mknod("/dev/null", S_IFCHR | 0666, dev_null.st_rdev);
           ::chmod("/dev/null", 0666);
         }
         return kept;
       }},
      {"FIFO with a reader",
       [&](const std::string& d) {
         ::mkfifo((d + "/out").c_str(), 0600);
         fifo = ::open((d + "/out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         return d + "/out";
       },
       [&](const std::string& d) {
         char buffer[4096];
         const ssize_t count = ::read(fifo, buffer, sizeof(buffer));
         ::close(fifo);
         return std::string(buffer, std::max<ssize_t>(count, 0)) == expected &&
                S_ISFIFO(mode(d + "/out"));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir d;
    const ProcessResult run =
        Run({"encode", "--model=" + lite_model_,
             "--output_file=" + row.prepare(d.path()), input});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(row.holds(d.path()));
    for (const std::string& dir : {d.path(), std::string("/dev")}) {
      for (const std::string& name : Files(dir)) {
        EXPECT_THAT(name, Not(HasSubstr(".tmp.")))
            << "a temporary file is left";
      }
    }
  }
  const ProcessResult run = Run({"encode", "--model=" + lite_model_,
                                 "--output_file=" + dir_.path(), input});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, dir_.path() + ": cannot write (Is a directory)\n");
}

TEST_P(KorvelCliErrorTest, OutputThatCannotBeWrittenFails) {
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string input = WriteInput("input.txt", "abc\n");
  for (const char* command : {"encode", "normalize", "info"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {Korvel(), command,
                                     "--model=" + lite_model_};
    if (command != std::string("info")) args.push_back(input);
    const ProcessResult result =
        RunProcess(args, dir_, "", /*capture=*/true, "/dev/full");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "standard output: write failed\n");
  }
  const ProcessResult result =
      Run({"convert", "--output_file=" + dir_.File("missing/out.lite"),
           full_model_});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, dir_.File("missing/out.lite") +
                            ": cannot write (No such file or directory)\n");
}

TEST_P(KorvelCliErrorTest, CommandLineMistakes) {
  const std::string input = WriteInput("input.txt", "abc\n");
  const std::string model = "--model=" + lite_model_;
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, "korvel: missing command (see 'korvel --help')\n"},
      {{"tokenize"},
       "korvel: unknown command 'tokenize' (see 'korvel --help')\n"},
      {{"decode", model, "--sample", input},
       "korvel decode: unknown flag --sample (see 'korvel decode --help')\n"},
      {{"encode", input}, "korvel encode: --model is required\n"},
      {{"encode", model, "--output=words", input},
       "korvel encode: --output must be 'ids', 'pieces' or 'json', not "
       "'words'\n"},
      {{"encode", model, "--alpha=0.2", input},
       "korvel encode: --alpha and --seed need --sample\n"},
      {{"encode", model, "--sample", "--alpha=-1", input},
       "korvel encode: --alpha must be finite and not negative\n"},
      {{"encode", model, "--sample", "--alpha=nan", input},
       "korvel encode: --alpha must be finite and not negative\n"},
      {{"encode", model, "--sample", "--output=json", input},
       "korvel encode: --sample gives neither --parse_special nor offsets "
       "(--output=json)\n"},
      {{"decode", model, "--output=ids", input},
       "korvel decode: --output must be 'text' or 'pieces', not 'ids'\n"},
      {{"encode", model, "--threads=abc", input},
       "korvel encode: bad value 'abc' for --threads (see 'korvel encode "
       "--help')\n"},
      {{"encode", model, "--sample", "--seed=-5", input},
       "korvel encode: bad value '-5' for --seed (see 'korvel encode "
       "--help')\n"},
      {{"encode", model, "--threads=-1", input},
       "korvel encode: --threads must be 0 (all cores) or from 1 to 256\n"},
      {{"encode", model, "--threads=257", input},
       "korvel encode: --threads must be 0 (all cores) or from 1 to 256\n"},
      {{"encode", model, input, input},
       "korvel encode: expects at most one input file\n"},
      {{"encode", model, dir_.File("missing.txt")},
       dir_.File("missing.txt") + ": No such file or directory\n"},
      {{"convert", "--output_file=" + dir_.File("x.lite")},
       "korvel convert: expects exactly one input file\n"},
      {{"decode", model, WriteInput("words.txt", "1 two\n")},
       dir_.File("words.txt") + ":1: not a piece id: 'two'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(absl::StrJoin(c.args, " "));
    const ProcessResult result = Run(c.args);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, c.err);
  }
}

INSTANTIATE_TEST_SUITE_P(Unigram, KorvelCliErrorTest,
                         ::testing::Values(TrainerSpec::UNIGRAM));

// A tokenizer.json imports, converts and encodes like the model it describes.
TEST(KorvelCliImportTest, ImportsConvertsAndEncodes) {
  ScratchDir dir;
  const std::string json = dir.File("tokenizer.json");
  WriteFileOrDie(json, R"({
    "model": {"type": "Unigram", "unk_id": 0,
              "vocab": [["<unk>", 0.0], ["\u2581ab", -1.0], ["\u2581", -3.0],
                        ["a", -2.0], ["b", -2.0], ["\t", -2.0], ["\\", -2.0]]},
    "normalizer": null,
    "pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581",
                      "prepend_scheme": "always", "split": false},
    "added_tokens": []
  })");
  const std::string full = dir.File("imported.model");
  const std::string lite = dir.File("imported.lite");
  const std::string input = dir.File("input.txt");
  WriteFileOrDie(input, "ab ba\n\t\\\n");
  const std::string korvel = Korvel();
  ProcessResult result =
      RunProcess({korvel, "import", "--output_file=" + full, json}, dir);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = RunProcess({korvel, "convert", "--output_file=" + lite, full}, dir);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // Without --output_file, or with "-", the model goes to standard output.
  EXPECT_EQ(RunProcess({korvel, "import", json}, dir).out,
            ReadFileOrEmpty(full));
  EXPECT_EQ(RunProcess({korvel, "convert", "--output_file=-", full}, dir).out,
            ReadFileOrEmpty(lite));
  result = RunProcess(
      {korvel, "encode", "--model=" + lite, "--output=pieces", input}, dir);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // Pieces of a tab and a backslash print escaped.
  EXPECT_EQ(result.out,
            "\xe2\x96\x81"
            "ab \xe2\x96\x81 b a\n"
            "\xe2\x96\x81 \\t \\\\\n");

  WriteFileOrDie(json, "{\"model\": 5}");
  result = RunProcess({korvel, "import", "--output_file=" + full, json}, dir);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr(json + ": "));
}

}  // namespace
}  // namespace korvel
