#ifndef KORVEL_TESTS_SUPPORT_RUN_PROCESS_H_
#define KORVEL_TESTS_SUPPORT_RUN_PROCESS_H_

// Helpers for tests that run the project's programs as separate processes.

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"

extern char** environ;

namespace korvel::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
};

inline std::string ReadFileOrEmpty(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

inline long long FileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

inline void WriteFileOrDie(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) std::abort();
}

inline bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// A fresh directory for one test, removed with its files at destruction.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
        "/korvel_test_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
      // Leftovers in the temporary directory are harmless.
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs `argv` (argv[0] is the program's path) with `stdin_path` (empty: the
// null device) as standard input and collects its outputs through the files
// ".stdout" and ".stderr" in `scratch`; with `capture` false they stay there
// unread. A non-empty `stdout_path` replaces the ".stdout" file.
inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const ScratchDir& scratch,
                                const std::string& stdin_path = "",
                                bool capture = true,
                                const std::string& stdout_path = "") {
  const std::string out_path =
      stdout_path.empty() ? scratch.File(".stdout") : stdout_path;
  const std::string err_path = scratch.File(".stderr");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(),
      O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ProcessResult result;
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) ==
      0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (capture) {
    if (stdout_path.empty()) result.out = ReadFileOrEmpty(out_path);
    result.err = ReadFileOrEmpty(err_path);
  }
  return result;
}

// The path of a program built in this tree, from the KORVEL_BINARY_DIR that
// the test runner sets.
inline std::string BuiltProgram(const std::string& relative_path) {
  const char* binary_dir = std::getenv("KORVEL_BINARY_DIR");
  return std::string(binary_dir == nullptr ? "." : binary_dir) + "/" +
         relative_path;
}

// Passes when the program at `path` exists; otherwise fails naming the CMake
// target to build.
inline ::testing::AssertionResult IsBuilt(const std::string& path,
                                          const std::string& target) {
  if (FileExists(path)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << path << " is missing; build " << target
         << " and run through ctest, which sets KORVEL_BINARY_DIR";
}

// The path of a file in the source tree, from the KORVEL_SOURCE_DIR that the
// test runner sets.
inline std::string SourceFile(const std::string& relative_path) {
  const char* source_dir = std::getenv("KORVEL_SOURCE_DIR");
  return std::string(source_dir == nullptr ? "." : source_dir) + "/" +
         relative_path;
}

}  // namespace korvel::testing

#endif  // KORVEL_TESTS_SUPPORT_RUN_PROCESS_H_
