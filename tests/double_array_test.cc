#include "korvel_lite/double_array.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::BuildTrieBlob;

// A heap copy of exactly `units`, so that AddressSanitizer flags any read past
// its end.
std::vector<uint32_t> Units(const std::vector<uint8_t>& blob) {
  std::vector<uint32_t> units(blob.size() / 4);
  std::memcpy(units.data(), blob.data(), blob.size());
  return units;
}

absl::StatusCode Bind(const std::vector<uint32_t>& units, uint32_t max_value,
                      bool positions, DoubleArray* trie) {
  return InitializeTrie(units.data(), units.size() * 4, max_value, positions,
                        /*optional=*/false, trie);
}

TEST(InitializeTrieTest, RejectsBadSizesAndAlignment) {
  std::vector<uint32_t> units = Units(BuildTrieBlob({{"a", 0}}));
  units.resize(512);
  const auto* bytes = reinterpret_cast<const uint8_t*>(units.data());
  struct Case {
    const void* data;
    size_t size;
  };
  for (const Case& c : {Case{bytes, 1020}, Case{bytes, 1028},
                        Case{bytes + 2, 1024}, Case{bytes + 4, 1000}}) {
    DoubleArray trie;
    EXPECT_EQ(InitializeTrie(c.data, c.size, 10, false, false, &trie),
              absl::StatusCode::kInternal)
        << c.size;
  }
  DoubleArray trie;
  EXPECT_EQ(InitializeTrie(bytes, 1024, 10, false, false, &trie),
            absl::StatusCode::kOk);
  EXPECT_EQ(InitializeTrie(bytes, 2048, 10, false, false, &trie),
            absl::StatusCode::kOk);
}

TEST(InitializeTrieTest, AbsentBlobIsAnErrorOnlyWhenRequired) {
  for (size_t size : {size_t{0}, size_t{1024}}) {
    DoubleArray required;
    EXPECT_EQ(InitializeTrie(nullptr, size, 10, false, false, &required),
              absl::StatusCode::kInternal);
    DoubleArray optional;
    EXPECT_EQ(InitializeTrie(nullptr, size, 10, false, true, &optional),
              absl::StatusCode::kOk);
    EXPECT_FALSE(optional.bound());
    EXPECT_EQ(optional.exact_lookup("a"), -1);
    EXPECT_EQ(optional.longest_prefix_lookup("a").length, 0);
    int reports = 0;
    optional.common_prefix_lookup("a", [&](int32_t, int32_t) { ++reports; });
    EXPECT_EQ(reports, 0);
  }
}

TEST(InitializeTrieTest, RejectsMalformedUnits) {
  const std::vector<uint32_t> good =
      Units(BuildTrieBlob({{"ab", 3}, {"b", 5}}));
  DoubleArray trie;
  ASSERT_EQ(Bind(good, 6, false, &trie), absl::StatusCode::kOk);
  const uint32_t b_node = trie.child_index(0, 'b');
  ASSERT_GE(static_cast<int32_t>(b_node), 0);
  const uint32_t b_value = b_node ^ DoubleArray::offset(good[b_node]);
  const uint32_t a_node = trie.child_index(0, 'a');
  ASSERT_GE(static_cast<int32_t>(a_node), 0);

  struct Case {
    const char* name;
    size_t index;
    uint32_t unit;
  };
  const Case cases[] = {
      {"root with leaf", 0, good[0] | 0x100u},
      {"root with label", 0, good[0] | 'x'},
      {"root as value", 0, 0x80000000u},
      {"root without offset", 0, 0},
      {"root block past the end", 0, (4096u << 10)},
      {"inner block past the end", b_node,
       (good[b_node] & 0x3ffu) | (4096u << 10)},
      {"leaf without value unit", a_node, good[a_node] | 0x100u},
      {"value equal to the bound", b_value, 0x80000000u | 6u},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> units = good;
    units[c.index] = c.unit;
    DoubleArray bad;
    EXPECT_EQ(Bind(units, 6, false, &bad), absl::StatusCode::kInternal)
        << c.name;
  }
  std::vector<uint32_t> units = good;
  units[b_value] = 0x80000000u | 5u;
  EXPECT_EQ(Bind(units, 6, false, &trie), absl::StatusCode::kOk);
}

TEST(InitializeTrieTest, UnitPositionValuesMustNameInnerUnits) {
  std::vector<uint32_t> units = Units(BuildTrieBlob({{"ab", 0}, {"b", 1}}));
  DoubleArray trie;
  ASSERT_EQ(Bind(units, UINT32_MAX, true, &trie), absl::StatusCode::kOk);
  const uint32_t b_node = trie.child_index(0, 'b');
  const uint32_t b_value = b_node ^ DoubleArray::offset(units[b_node]);
  const uint32_t a_node = trie.child_index(0, 'a');
  const uint32_t ab_node = trie.child_index(a_node, 'b');
  const uint32_t ab_value = ab_node ^ DoubleArray::offset(units[ab_node]);

  units[ab_value] = 0x80000000u | b_node;
  EXPECT_EQ(Bind(units, UINT32_MAX, true, &trie), absl::StatusCode::kOk);
  units[ab_value] = 0x80000000u | b_value;  // names a value unit
  EXPECT_EQ(Bind(units, UINT32_MAX, true, &trie), absl::StatusCode::kInternal);
  units[ab_value] = 0x80000000u | static_cast<uint32_t>(units.size());
  EXPECT_EQ(Bind(units, UINT32_MAX, true, &trie), absl::StatusCode::kInternal);
}

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    units_ = Units(BuildTrieBlob({{"a", 1},
                                  {"abc", 2},
                                  {"b", 3},
                                  {"\xe2\x96\x81", 4},
                                  {"\xff\x01", 5}}));
    ASSERT_EQ(Bind(units_, 6, false, &trie_), absl::StatusCode::kOk);
  }
  std::vector<uint32_t> units_;
  DoubleArray trie_;
};

TEST_F(LookupTest, ExactLookup) {
  const std::pair<std::string, int32_t> cases[] = {
      {"a", 1},        {"abc", 2},
      {"b", 3},        {"\xe2\x96\x81", 4},
      {"\xff\x01", 5}, {"", -1},
      {"ab", -1},      {"abcd", -1},
      {"c", -1},       {"\xe2\x96", -1},
      {"\xff", -1},    {std::string("a\0", 2), -1},
  };
  for (const auto& [key, value] : cases) {
    EXPECT_EQ(trie_.exact_lookup(key), value) << key;
  }
}

TEST_F(LookupTest, PrefixLookups) {
  std::vector<std::pair<int32_t, int32_t>> reports;
  trie_.common_prefix_lookup("abcd", [&](int32_t value, int32_t length) {
    reports.emplace_back(value, length);
  });
  EXPECT_EQ(reports,
            (std::vector<std::pair<int32_t, int32_t>>{{1, 1}, {2, 3}}));

  const DoubleArray::Match abx = trie_.longest_prefix_lookup("abx");
  EXPECT_EQ(abx.value, 1);
  EXPECT_EQ(abx.length, 1);
  const DoubleArray::Match none = trie_.longest_prefix_lookup("xyz");
  EXPECT_EQ(none.value, -1);
  EXPECT_EQ(none.length, 0);
  EXPECT_EQ(trie_.longest_prefix_lookup("").length, 0);
}

TEST_F(LookupTest, ChildSteps) {
  const int32_t a = trie_.child_index(0, 'a');
  ASSERT_GE(a, 0);
  EXPECT_TRUE(DoubleArray::has_leaf(units_[a]));
  EXPECT_EQ(trie_.leaf_value(a), 1);
  const int32_t ab = trie_.child_index(a, 'b');
  ASSERT_GE(ab, 0);
  EXPECT_FALSE(DoubleArray::has_leaf(units_[ab]));
  EXPECT_EQ(trie_.child_index(ab, 'x'), -1);
  EXPECT_EQ(trie_.child_index(0, 'z'), -1);
  // A value unit never matches a byte, not even 0.
  EXPECT_EQ(trie_.child_index(a, 0), -1);
}

// Mutated blobs that still pass validation must never let a walk leave the
// blob; AddressSanitizer turns any such read into a failure.
TEST(HostileTrieTest, AcceptedMutationsKeepWalksInside) {
  std::mt19937 random(7);
  std::vector<std::pair<std::string, int>> pairs;
  for (int i = 0; i < 300; ++i) {
    std::string key;
    const int length = 1 + static_cast<int>(random() % 5);
    for (int j = 0; j < length; ++j)
      key.push_back("abc\xe2\x96\x81\xff"[random() % 7]);
    pairs.emplace_back(key, i);
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end(),
                          [](const auto& x, const auto& y) {
                            return x.first == y.first;
                          }),
              pairs.end());
  const std::vector<uint32_t> base = Units(BuildTrieBlob(pairs));
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint32_t> units = base;
    for (int m = 0, count = 1 + static_cast<int>(random() % 2); m < count;
         ++m) {
      uint32_t& unit = units[random() % units.size()];
      switch (random() % 4) {
        case 0:
          unit = static_cast<uint32_t>(random());
          break;
        case 1:
          unit ^= 1u << (random() % 32);
          break;
        case 2:
          unit =
              (unit & 0x3ffu) | (static_cast<uint32_t>(random() % 4096) << 10);
          break;
        default:
          unit = 0x80000000u | static_cast<uint32_t>(random() % 400);
          break;
      }
    }
    DoubleArray trie;
    if (Bind(units, 400, false, &trie) != absl::StatusCode::kOk) continue;
    ++accepted;
    for (int probe = 0; probe < 50; ++probe) {
      std::string text;
      for (int j = 0; j < 8; ++j) text.push_back(static_cast<char>(random()));
      trie.exact_lookup(text);
      trie.longest_prefix_lookup(text);
      trie.common_prefix_lookup(
          text, [](int32_t value, int32_t) { EXPECT_LT(value, 400); });
      int32_t node = 0;
      for (char ch : text) {
        node = trie.child_index(static_cast<uint32_t>(node),
                                static_cast<unsigned char>(ch));
        if (node < 0) break;
        EXPECT_LT(static_cast<size_t>(node), units.size());
      }
    }
  }
  EXPECT_GT(accepted, 100);
}

}  // namespace
}  // namespace korvel::lite
