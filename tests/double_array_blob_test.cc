#include "korvel_model_converters/internal/double_array_blob.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "korvel_lite/double_array.h"

namespace korvel::lite {
namespace {

using Pairs = std::vector<std::pair<std::string_view, int>>;

std::vector<uint8_t> Build(const Pairs& pairs) {
  absl::StatusOr<std::vector<uint8_t>> blob = BuildDoubleArrayBlob(pairs);
  EXPECT_TRUE(blob.ok()) << blob.status();
  return blob.ok() ? *blob : std::vector<uint8_t>();
}

DoubleArray Bind(const std::vector<uint8_t>& blob, uint32_t max_value) {
  DoubleArray trie;
  EXPECT_EQ(
      InitializeTrie(blob.data(), blob.size(), max_value, false, false, &trie),
      absl::StatusCode::kOk);
  return trie;
}

TEST(DoubleArrayBlobTest, EmptyListGivesEmptyBlob) {
  EXPECT_TRUE(Build({}).empty());
}

TEST(DoubleArrayBlobTest, SingleShortKeyIsOneBlock) {
  const std::vector<uint8_t> blob = Build({{"a", 7}});
  EXPECT_EQ(blob.size(), 1024u);
  EXPECT_EQ(Bind(blob, 8).exact_lookup("a"), 7);
}

TEST(DoubleArrayBlobTest, HighBytesSortUnsignedAndKeepTheirValues) {
  const Pairs pairs = {{"a\xff", 0}, {"a\x80", 1},    {"a\x7f", 2},
                       {"a", 3},     {"\xc3\xa9", 4}, {"b", 5}};
  const std::vector<uint8_t> blob = Build(pairs);
  const DoubleArray trie = Bind(blob, 6);
  for (const auto& [key, value] : pairs) {
    EXPECT_EQ(trie.exact_lookup(key), value) << key;
  }
  EXPECT_EQ(trie.exact_lookup("a\x81"), -1);
}

TEST(DoubleArrayBlobTest, ResultDoesNotDependOnInputOrder) {
  const Pairs forward = {{"ab", 0}, {"abc", 1}, {"b\xe2", 2}, {"\x01", 3}};
  const Pairs backward(forward.rbegin(), forward.rend());
  EXPECT_EQ(Build(forward), Build(backward));
}

TEST(DoubleArrayBlobTest, KeyFailures) {
  const std::string nul_key("a\0b", 3);
  struct Case {
    Pairs pairs;
    std::string message;
  };
  const Case cases[] = {
      {{{"x", 0}, {"x", 1}}, "Duplicate key for trie building: x"},
      {{{"b", 0}, {nul_key, 1}, {"a", 2}},
       "Key contains invalid embedded null byte: " + nul_key},
      // The NUL check of a key comes before its comparison with the previous
      // key.
      {{{nul_key, 0}, {nul_key, 1}},
       "Key contains invalid embedded null byte: " + nul_key},
  };
  for (const Case& c : cases) {
    const absl::StatusOr<std::vector<uint8_t>> blob =
        BuildDoubleArrayBlob(c.pairs);
    ASSERT_FALSE(blob.ok());
    EXPECT_EQ(blob.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(blob.status().message(), c.message);
  }
}

}  // namespace
}  // namespace korvel::lite
