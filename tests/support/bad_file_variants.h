#ifndef KORVEL_TESTS_SUPPORT_BAD_FILE_VARIANTS_H_
#define KORVEL_TESTS_SUPPORT_BAD_FILE_VARIANTS_H_

// For the tests that hand bad files to the programs: full models to damage,
// damaged and foreign file contents, a runner that kills a hanging program,
// and the checks every such run must pass: an exit status of 0 or 1, no
// signal, no sanitizer report, and on failure one line on standard error.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_proto/korvel_model.pb.h"
#include "run_process.h"
#include "test_models.h"

namespace korvel::testing {

// A character map taking "Å" to "A", fullwidth "ｂ" to "b", and dropping "x".
inline std::string CharsMap() {
  const std::vector<uint8_t> blob = lite::testing::BuildCharsMap(
      {{"\xc3\x85", "A"}, {"\xef\xbd\x82", "b"}, {"x", ""}});
  return std::string(blob.begin(), blob.end());
}

// A full model with control and user-defined pieces and a character map; the
// unigram one also has byte fallback. Converted, the two fill every part of a
// lite model.
inline ModelProto FullModelToDamage(TrainerSpec::ModelType type) {
  using lite::testing::FullPiece;
  const std::string s = "\xe2\x96\x81";
  ModelProto model = lite::testing::FullModelWithUnknown(
      {{"<s>", 0, FullPiece::CONTROL},
       {"</s>", 0, FullPiece::CONTROL},
       {"<sep>", 0, FullPiece::USER_DEFINED},
       {s, -5},
       {"a", -2},
       {"b", -2},
       {"c", -3},
       {"A", -3},
       {s + "a", -4},
       {"ab", -3},
       {"bc", -4},
       {s + "ab", -6},
       {"abc", -7},
       {s + "c", -6},
       {s + "b", -7},
       {"Ab", -5}},
      type);
  if (type == TrainerSpec::UNIGRAM) {
    lite::testing::AddBytePieces(&model);
    model.mutable_trainer_spec()->set_byte_fallback(true);
  }
  NormalizerSpec* normalizer = model.mutable_normalizer_spec();
  normalizer->set_name("test");
  normalizer->set_precompiled_charsmap(CharsMap());
  return model;
}

struct FileVariant {
  std::string name;  // says how the file was made, for failure traces
  std::string bytes;
};

// `bytes` cut to 0, 1, 4, 7, 8, 16 bytes, a quarter, a half, three quarters,
// and size - 16, size - 8, size - 1 bytes.
inline std::vector<FileVariant> Truncations(const std::string& bytes) {
  const size_t n = bytes.size();
  std::vector<size_t> lengths = {0, 1, 4, 7, 8, 16, n / 4, n / 2, 3 * n / 4};
  for (size_t from_end : {16, 8, 1}) {
    if (n > from_end) lengths.push_back(n - from_end);
  }
  std::sort(lengths.begin(), lengths.end());
  lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
  std::vector<FileVariant> variants;
  for (size_t length : lengths) {
    if (length >= n) continue;
    variants.push_back({absl::StrCat("first ", length, " of ", n, " bytes"),
                        bytes.substr(0, length)});
  }
  return variants;
}

// `count` copies of `bytes`, each with one bit flipped at a position drawn
// from a PRNG seeded with `seed`.
inline std::vector<FileVariant> BitFlips(const std::string& bytes, int count,
                                         uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<FileVariant> variants;
  for (int i = 0; i < count; ++i) {
    const size_t offset = random() % bytes.size();
    const int bit = static_cast<int>(random() % 8);
    FileVariant variant = {absl::StrCat("bit ", bit, " of byte ", offset),
                           bytes};
    variant.bytes[offset] =
        static_cast<char>(variant.bytes[offset] ^ (1 << bit));
    variants.push_back(std::move(variant));
  }
  return variants;
}

// Files of other kinds, by the start of their contents.
inline std::vector<FileVariant> ForeignContents() {
  return {
      {"empty file", ""},
      {"PNG header", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)},
      {"gzip header", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10)},
      {"text", "hello world\nsecond line\n"},
      {"JSON",
       "{\"vocab\": [[\"a\", -1.0]], \"model\": {\"type\": \"BPE\"}}\n"},
      {"zeros", std::string(4096, '\0')},
  };
}

// Sorted names in `dir`, hidden files excluded.
inline std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return names;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name[0] != '.') names.push_back(name);
  }
  ::closedir(handle);
  std::sort(names.begin(), names.end());
  return names;
}

// Runs `argv` like RunProcess, killed after `seconds` so that a hang fails
// the variant instead of the whole test run.
inline ProcessResult RunWithDeadline(std::vector<std::string> argv,
                                     const ScratchDir& scratch,
                                     int seconds = 30) {
  const char* timeout = "/usr/bin/timeout";
  if (FileExists(timeout)) {
    argv.insert(argv.begin(),
                {timeout, "--signal=KILL", absl::StrCat(seconds)});
  }
  return RunProcess(argv, scratch);
}

// A file that cannot be read, or "" when this process can read it anyway
// (as root does).
inline std::string UnreadableFile(const ScratchDir& dir,
                                  const std::string& bytes) {
  const std::string path = dir.File("unreadable");
  WriteFileOrDie(path, bytes);
  ::chmod(path.c_str(), 0);
  return ::access(path.c_str(), R_OK) == 0 ? "" : path;
}

// Checks what every run over a bad file must give: exit status 0 or 1, and
// no sanitizer report. Returns true when the program failed.
inline bool CheckExit(const ProcessResult& result) {
  EXPECT_THAT(result.exit_code, ::testing::AnyOf(0, 1))
      << "killed, crashed or timed out; stderr:\n"
      << result.err;
  EXPECT_THAT(result.err, ::testing::Not(::testing::HasSubstr("Sanitizer")));
  EXPECT_THAT(result.err,
              ::testing::Not(::testing::HasSubstr("runtime error")));
  return result.exit_code != 0;
}

// A failure: exit status 1 and one line on standard error naming `path`.
inline void CheckNamedFailure(const ProcessResult& result,
                              const std::string& path) {
  CheckExit(result);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, ::testing::StartsWith(path + ": "));
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1)
      << result.err;
}

}  // namespace korvel::testing

#endif  // KORVEL_TESTS_SUPPORT_BAD_FILE_VARIANTS_H_
