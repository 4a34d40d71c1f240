#include "libkorvel/flags.h"

#include <cstdint>

#include "absl/flags/flag.h"
#include "gtest/gtest.h"

ABSL_FLAG(int32_t, libkorvel_test_number, 0, "A flag for the parser test.");

namespace korvel {
namespace {

TEST(ParseCommandLineFlagsTest, KeepsPositionalArguments) {
  char program[] = "program";
  char flag[] = "--libkorvel_test_number=7";
  char first[] = "first";
  char separator[] = "--";
  char second[] = "--second";
  {
    char* args[] = {program, flag, first, separator, second, nullptr};
    int argc = 5;
    char** argv = args;
    ParseCommandLineFlags("usage", &argc, &argv, true);
    EXPECT_EQ(absl::GetFlag(FLAGS_libkorvel_test_number), 7);
    ASSERT_EQ(argc, 3);
    EXPECT_STREQ(argv[0], "program");
    EXPECT_STREQ(argv[1], "first");
    EXPECT_STREQ(argv[2], "--second");
    EXPECT_EQ(argv[3], nullptr);
  }
  {
    char* args[] = {program, flag, first, nullptr};
    int argc = 3;
    char** argv = args;
    ParseCommandLineFlags("usage", &argc, &argv, false);
    EXPECT_EQ(argc, 3);
    EXPECT_EQ(argv[1], flag);
  }
}

// An unknown flag names itself; --help prints the usage. Both exit with 1.
TEST(ParseCommandLineFlagsDeathTest, UnknownFlagAndHelpExit) {
  struct Case {
    std::string flag;
    const char* message;
  };
  for (Case c : {Case{"--no_such_flag_anywhere=1", "no_such_flag_anywhere"},
                 Case{"--help", ""}}) {
    char program[] = "program";
    char* args[] = {program, c.flag.data(), nullptr};
    int argc = 2;
    char** argv = args;
    EXPECT_EXIT(ParseCommandLineFlags("usage", &argc, &argv, true),
                ::testing::ExitedWithCode(1), c.message);
  }
}

}  // namespace
}  // namespace korvel
