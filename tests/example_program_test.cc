// Runs the README's example program on a model written by the test.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

std::string RunAndCapture(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[256];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  return output;
}

TEST(ExampleProgramTest, EncodesAndDecodes) {
  const char* binary_dir = std::getenv("KORVEL_BINARY_DIR");
  ASSERT_NE(binary_dir, nullptr) << "run through ctest";
  ModelProtoT model = testing::MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                                          {"\xe2\x96\x81"
                                           "hello",
                                           -1.0f},
                                          {"\xe2\x96\x81"
                                           "world",
                                           -1.0f}});
  model.unk_id = 0;
  model.normalizer_spec = testing::MakeNormalizerSpec();
  const std::string path = ::testing::TempDir() + "/example_model.lite";
  {
    std::ofstream file(path, std::ios::binary);
    file << testing::Pack(model);
  }
  const std::string output =
      RunAndCapture(std::string(binary_dir) + "/examples/encode_example " +
                    path + " 'hello  world'");
  EXPECT_THAT(output, ::testing::HasSubstr("vocab_size=3"));
  EXPECT_THAT(output,
              ::testing::HasSubstr("hello  world -> 1 2 -> hello world"));
}

}  // namespace
}  // namespace korvel::lite
