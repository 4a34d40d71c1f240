// Hands truncated, bit-flipped and foreign files to every korvel command that
// reads a model or a tokenizer.json. Each run must end with exit status 0 or
// 1 and no signal or sanitizer report; a failure prints one line naming the
// file and leaves nothing in the output directory. A damaged lite model that
// still loads must give exactly what the runtime gives for the same bytes.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "absl/strings/escaping.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"
#include "bad_file_variants.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_model_converters/model_converter.h"
#include "korvel_proto/korvel_model.pb.h"
#include "run_process.h"

namespace korvel {
namespace {

using ::korvel::lite::KorvelLiteProcessor;
using ::korvel::testing::BitFlips;
using ::korvel::testing::CharsMap;
using ::korvel::testing::CheckExit;
using ::korvel::testing::CheckNamedFailure;
using ::korvel::testing::FilesIn;
using ::korvel::testing::FileVariant;
using ::korvel::testing::ForeignContents;
using ::korvel::testing::FullModelToDamage;
using ::korvel::testing::ProcessResult;
using ::korvel::testing::ReadFileOrEmpty;
using ::korvel::testing::RunWithDeadline;
using ::korvel::testing::ScratchDir;
using ::korvel::testing::Truncations;
using ::korvel::testing::UnreadableFile;
using ::korvel::testing::WriteFileOrDie;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string Korvel() { return testing::BuiltProgram("src/korvel_cli/korvel"); }

// A BPE tokenizer.json with merges, special tokens and a normalizer sequence,
// and a unigram one with a precompiled character map.
std::vector<FileVariant> TokenizerJsons() {
  const std::string bpe = R"({
  "version": "1.0",
  "added_tokens": [{"id": 0, "content": "<unk>", "special": true},
                   {"id": 1, "content": "<s>", "special": true}],
  "normalizer": {"type": "Sequence", "normalizers": [
      {"type": "Prepend", "prepend": "\u2581"},
      {"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]},
  "pre_tokenizer": null,
  "model": {"type": "BPE", "dropout": null, "unk_token": "<unk>",
            "fuse_unk": true, "byte_fallback": false,
            "vocab": {"<unk>": 0, "<s>": 1, "\u2581": 2, "a": 3, "b": 4,
                      "c": 5, "ab": 6, "bc": 7, "\u2581a": 8, "abc": 9},
            "merges": ["b c", "a b", "\u2581 a", "a bc", "ab c"]}
})";
  const std::string unigram = absl::StrCat(R"({
  "model": {"type": "Unigram", "unk_id": 0,
            "vocab": [["<unk>", 0.0], ["\u2581ab", -1.0], ["\u2581", -3.0],
                      ["a", -2.0], ["b", -2.0], ["A", -2.5]]},
  "normalizer": {"type": "Precompiled", "precompiled_charsmap": ")",
                                           absl::Base64Escape(CharsMap()),
                                           R"("},
  "pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581",
                    "prepend_scheme": "always", "split": false},
  "added_tokens": []
})");
  return {{"BPE tokenizer.json", bpe}, {"unigram tokenizer.json", unigram}};
}

// The lines of `text` without their newlines.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines = absl::StrSplit(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

constexpr char kText[] =
    "abc ab\n\xc3\x85"
    "bc x \xef\xbd\x82\n<sep>a \xe2\x82\xac!\n";
constexpr char kIds[] =
    "0 1 2 3 4 5 6 7 8 9\n10 11 12 13 14 15 16 17\n3 4 30 200\n";

enum class Reads { kLiteModel, kFullModel, kTokenizerJson };

struct Command {
  const char* name;
  Reads reads;
};

constexpr Command kLiteCommands[] = {{"encode", Reads::kLiteModel},
                                     {"decode", Reads::kLiteModel},
                                     {"normalize", Reads::kLiteModel},
                                     {"info", Reads::kLiteModel}};

class KorvelBadFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::IsBuilt(Korvel(), "korvel_cli"));
    for (const auto type : {TrainerSpec::UNIGRAM, TrainerSpec::BPE}) {
      const ModelProto model = FullModelToDamage(type);
      const char* name = type == TrainerSpec::BPE ? "BPE" : "unigram";
      full_models_.push_back(
          {absl::StrCat(name, " full model"), model.SerializeAsString()});
      absl::StatusOr<std::string> lite =
          lite::ToFlatbuffer(model, lite::ConverterOptions());
      ASSERT_TRUE(lite.ok()) << lite.status();
      lite_models_.push_back({absl::StrCat(name, " lite model"), *lite});
    }
    text_ = dir_.File("text.txt");
    ids_ = dir_.File("ids.txt");
    WriteFileOrDie(text_, kText);
    WriteFileOrDie(ids_, kIds);
    ASSERT_EQ(::mkdir(out_dir_.c_str(), 0755), 0);
  }

  // Runs `command` over the model or tokenizer at `path`, writing to a file
  // in the output directory where the command writes files.
  ProcessResult Run(const Command& command, const std::string& path) {
    std::vector<std::string> args = {Korvel(), command.name};
    const std::string name = command.name;
    if (command.reads == Reads::kLiteModel) {
      args.push_back("--model=" + path);
      if (name == "encode" || name == "normalize") args.push_back(text_);
      if (name == "decode") args.push_back(ids_);
    } else {
      args.push_back(path);
    }
    if (name != "info") args.push_back("--output_file=" + output_);
    return RunWithDeadline(args, dir_);
  }

  // What the runtime gives for `line` under `command`, or nullopt when it
  // fails.
  static std::optional<std::string> LibraryLine(
      const KorvelLiteProcessor& processor, const std::string& command,
      const std::string& line) {
    std::string text;
    std::vector<int> ids;
    if (command == "encode") {
      if (processor.Encode(line, &ids) != absl::StatusCode::kOk) {
        return std::nullopt;
      }
      return absl::StrJoin(ids, " ");
    }
    if (command == "decode") {
      for (absl::string_view id : absl::StrSplit(line, ' ')) {
        ids.push_back(std::stoi(std::string(id)));
      }
      if (processor.Decode(ids, &text, nullptr) != absl::StatusCode::kOk) {
        return std::nullopt;
      }
      return text;
    }
    if (processor.Normalize(line, &text, nullptr) != absl::StatusCode::kOk) {
      return std::nullopt;
    }
    return text;
  }

  // Checks a lite-model command against the runtime loading `bytes`.
  void CheckLiteRun(const Command& command, const std::string& path,
                    const std::string& bytes, const ProcessResult& result) {
    const KorvelLiteProcessor processor(std::make_shared<std::string>(bytes));
    if (processor.status() != absl::StatusCode::kOk) {
      CheckFailure(result, path);
      return;
    }
    const std::string name = command.name;
    if (name == "info") {
      CheckExit(result);
      EXPECT_EQ(result.exit_code, 0) << result.err;
      EXPECT_THAT(result.out,
                  HasSubstr(absl::StrCat("vocabulary size:            ",
                                         processor.vocab_size(), "\n")));
      return;
    }
    std::string expected;
    bool ok = true;
    for (const std::string& line :
         Lines(name == "decode" ? std::string(kIds) : std::string(kText))) {
      const std::optional<std::string> out = LibraryLine(processor, name, line);
      ok = ok && out.has_value();
      if (ok) absl::StrAppend(&expected, *out, "\n");
    }
    if (!ok) {
      // The message names the input line that failed.
      CheckExit(result);
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1)
          << result.err;
      EXPECT_THAT(FilesIn(out_dir_), IsEmpty());
      return;
    }
    CheckSuccess(result);
    EXPECT_EQ(ReadFileOrEmpty(output_), expected);
    ::unlink(output_.c_str());
  }

  // A failure naming `path`, with nothing left in the output directory.
  void CheckFailure(const ProcessResult& result, const std::string& path) {
    CheckNamedFailure(result, path);
    EXPECT_THAT(result.out, IsEmpty());
    EXPECT_THAT(FilesIn(out_dir_), IsEmpty());
  }

  void CheckSuccess(const ProcessResult& result) {
    CheckExit(result);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(FilesIn(out_dir_), ::testing::ElementsAre("result"));
  }

  // Runs `command` over every variant: a run may succeed only where
  // `may_load`, and then must produce a model that loads.
  void CheckVariants(const Command& command,
                     const std::vector<FileVariant>& variants, bool may_load) {
    const std::string path = dir_.File("variant");
    for (const FileVariant& variant : variants) {
      SCOPED_TRACE(absl::StrCat(command.name, ", ", variant.name));
      WriteFileOrDie(path, variant.bytes);
      const ProcessResult result = Run(command, path);
      if (!may_load || CheckExit(result)) {
        CheckFailure(result, path);
        continue;
      }
      CheckSuccess(result);
      const std::string output = ReadFileOrEmpty(output_);
      if (command.reads == Reads::kFullModel) {
        EXPECT_EQ(KorvelLiteProcessor(output).status(), absl::StatusCode::kOk);
      } else {
        ModelProto model;
        EXPECT_TRUE(model.ParseFromString(output));
        EXPECT_GT(model.pieces_size(), 0);
      }
      ::unlink(output_.c_str());
    }
  }

  // Every lite-model command over every variant when the runtime loads it;
  // otherwise one command in turn, since they share the loading code.
  void CheckLiteVariants(const std::vector<FileVariant>& variants) {
    const std::string path = dir_.File("variant.lite");
    int turn = 0;
    for (const FileVariant& variant : variants) {
      WriteFileOrDie(path, variant.bytes);
      const bool loads =
          KorvelLiteProcessor(std::make_shared<std::string>(variant.bytes))
              .status() == absl::StatusCode::kOk;
      for (const Command& command : kLiteCommands) {
        if (!loads && &command != &kLiteCommands[turn % 4]) continue;
        SCOPED_TRACE(absl::StrCat(command.name, ", ", variant.name));
        CheckLiteRun(command, path, variant.bytes, Run(command, path));
      }
      ++turn;
    }
  }

  // The full model, tokenizer.json or lite model files to damage.
  std::vector<FileVariant> Originals(Reads reads) const {
    switch (reads) {
      case Reads::kLiteModel:
        return lite_models_;
      case Reads::kFullModel:
        return full_models_;
      case Reads::kTokenizerJson:
        return TokenizerJsons();
    }
    return {};
  }

  ScratchDir dir_;
  std::string out_dir_ = dir_.File("out");
  std::string output_ = out_dir_ + "/result";
  std::string text_;
  std::string ids_;
  std::vector<FileVariant> full_models_;
  std::vector<FileVariant> lite_models_;
};

constexpr Command kConvert = {"convert", Reads::kFullModel};
constexpr Command kImport = {"import", Reads::kTokenizerJson};

TEST_F(KorvelBadFilesTest, TruncatedFiles) {
  for (const FileVariant& original : Originals(Reads::kLiteModel)) {
    SCOPED_TRACE(original.name);
    CheckLiteVariants(Truncations(original.bytes));
  }
  // A protobuf cut between two fields parses as a smaller model.
  for (const FileVariant& original : Originals(Reads::kFullModel)) {
    SCOPED_TRACE(original.name);
    CheckVariants(kConvert, Truncations(original.bytes), /*may_load=*/true);
  }
  for (const FileVariant& original : Originals(Reads::kTokenizerJson)) {
    SCOPED_TRACE(original.name);
    CheckVariants(kImport, Truncations(original.bytes), /*may_load=*/false);
  }
}

TEST_F(KorvelBadFilesTest, BitFlippedFiles) {
  // The undamaged files work.
  CheckLiteVariants(Originals(Reads::kLiteModel));
  for (const Command& command : {kConvert, kImport}) {
    for (const FileVariant& original : Originals(command.reads)) {
      SCOPED_TRACE(original.name);
      const std::string path = dir_.File("original");
      WriteFileOrDie(path, original.bytes);
      CheckSuccess(Run(command, path));
      ::unlink(output_.c_str());
    }
  }
  uint32_t seed = 1;
  for (const FileVariant& original : Originals(Reads::kLiteModel)) {
    SCOPED_TRACE(original.name);
    CheckLiteVariants(BitFlips(original.bytes, 150, seed++));
  }
  for (const FileVariant& original : Originals(Reads::kFullModel)) {
    SCOPED_TRACE(original.name);
    CheckVariants(kConvert, BitFlips(original.bytes, 100, seed++),
                  /*may_load=*/true);
  }
  for (const FileVariant& original : Originals(Reads::kTokenizerJson)) {
    SCOPED_TRACE(original.name);
    CheckVariants(kImport, BitFlips(original.bytes, 60, seed++),
                  /*may_load=*/true);
  }
}

TEST_F(KorvelBadFilesTest, ForeignFiles) {
  std::vector<FileVariant> contents = ForeignContents();
  const std::string lite = lite_models_[0].bytes;
  const std::string full = full_models_[0].bytes;
  const std::string json = TokenizerJsons()[0].bytes;
  const std::string deep_json = absl::StrCat(
      "{\"model\": ", std::string(100000, '['), std::string(100000, ']'), "}");
  struct Case {
    Command command;
    std::vector<FileVariant> contents;
  };
  const Case cases[] = {
      {kLiteCommands[0], {{"full model", full}, {"tokenizer.json", json}}},
      {kLiteCommands[1], {{"full model", full}}},
      {kLiteCommands[2], {{"full model", full}}},
      {kLiteCommands[3], {{"full model", full}, {"tokenizer.json", json}}},
      {kConvert, {{"lite model", lite}, {"tokenizer.json", json}}},
      {kImport,
       {{"lite model", lite},
        {"full model", full},
        {"JSON array", "[1, 2]"},
        {"deeply nested JSON", deep_json}}},
  };
  for (const Case& c : cases) {
    std::vector<FileVariant> variants = contents;
    variants.insert(variants.end(), c.contents.begin(), c.contents.end());
    CheckVariants(c.command, variants, /*may_load=*/false);

    // Paths that are not regular files, or not there, and a sparse file of
    // 2 GiB, more than the runtime or the protobuf parser accept.
    const std::string fifo = dir_.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string huge = dir_.File("huge");
    WriteFileOrDie(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), off_t{1} << 31), 0);
    std::vector<std::string> paths = {dir_.path(), fifo, "/dev/null",
                                      dir_.File("missing"), huge};
    const std::string unreadable = UnreadableFile(dir_, lite);
    if (!unreadable.empty()) paths.push_back(unreadable);
    for (const std::string& path : paths) {
      SCOPED_TRACE(absl::StrCat(c.command.name, ", ", path));
      CheckFailure(Run(c.command, path), path);
    }
    ::unlink(fifo.c_str());
    ::unlink(huge.c_str());
    ::unlink(dir_.File("unreadable").c_str());
  }
}

}  // namespace
}  // namespace korvel
