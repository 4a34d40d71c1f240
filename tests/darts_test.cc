#include "darts/darts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_models.h"

namespace {

using Units = std::vector<uint32_t>;
// std::string orders its chars as unsigned bytes, as the builder expects.
using KeyValues = std::map<std::string, int>;

// Walks units the way the runtime does, without the library's helpers.
class Walker {
 public:
  explicit Walker(const Units& units) : units_(units) {}

  static uint32_t Offset(uint32_t unit) {
    const uint32_t field = unit >> 10;
    return (unit & 0x200u) != 0 ? field * 256 : field;
  }
  static bool IsValue(uint32_t unit) { return (unit & 0x80000000u) != 0; }
  static bool HasLeaf(uint32_t unit) { return (unit & 0x100u) != 0; }

  std::optional<uint32_t> Child(uint32_t node, unsigned char ch) const {
    const uint32_t child = node ^ Offset(units_.at(node)) ^ ch;
    if ((units_.at(child) & 0x800000ffu) != ch) return std::nullopt;
    return child;
  }

  std::optional<uint32_t> Find(const std::string& key) const {
    uint32_t node = 0;
    for (const char c : key) {
      const auto child = Child(node, static_cast<unsigned char>(c));
      if (!child) return std::nullopt;
      node = *child;
    }
    return node;
  }

  // Index of the value unit of `key`, if it is a key.
  std::optional<uint32_t> LeafIndex(const std::string& key) const {
    const auto node = Find(key);
    if (!node || !HasLeaf(units_.at(*node))) return std::nullopt;
    return *node ^ Offset(units_.at(*node));
  }

  std::optional<int> Lookup(const std::string& key) const {
    const auto leaf = LeafIndex(key);
    if (!leaf) return std::nullopt;
    const uint32_t unit = units_.at(*leaf);
    if (!IsValue(unit)) return std::nullopt;
    return static_cast<int>(unit & 0x7fffffffu);
  }

 private:
  const Units& units_;
};

Units UnitsOf(const Darts::DoubleArray& trie) {
  const auto* begin = static_cast<const uint32_t*>(trie.array());
  return Units(begin, begin + trie.size());
}

Units Build(const KeyValues& key_values) {
  const std::vector<uint8_t> blob = korvel::lite::testing::BuildTrieBlob(
      {key_values.begin(), key_values.end()});
  Units units(blob.size() / sizeof(uint32_t));
  std::memcpy(units.data(), blob.data(), blob.size());
  return units;
}

// The properties every array must have, whatever its keys.
void ExpectValidLayout(const Units& units) {
  const std::size_t n = units.size();
  ASSERT_GT(n, 0u);
  ASSERT_EQ(n % 256, 0u);

  const uint32_t root = units[0];
  EXPECT_FALSE(Walker::IsValue(root));
  EXPECT_EQ(root & 0xffu, 0u);
  EXPECT_FALSE(Walker::HasLeaf(root));
  EXPECT_NE(Walker::Offset(root), 0u);
  EXPECT_LT(Walker::Offset(root) | 0xffu, n);

  std::size_t outside_array = 0;
  std::size_t leaf_not_value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const uint32_t unit = units[i];
    if (Walker::IsValue(unit)) continue;
    const std::size_t base = i ^ Walker::Offset(unit);
    if ((base | 0xffu) >= n) {
      ++outside_array;
      continue;
    }
    if (Walker::HasLeaf(unit) && !Walker::IsValue(units[base])) {
      ++leaf_not_value;
    }
  }
  EXPECT_EQ(outside_array, 0u) << "units whose children leave the array";
  EXPECT_EQ(leaf_not_value, 0u) << "has-leaf units without a value unit";
}

bool IsPrefixOfSomeKey(const KeyValues& key_values, const std::string& s) {
  const auto it = key_values.lower_bound(s);
  return it != key_values.end() && it->first.compare(0, s.size(), s) == 0;
}

// Visits every node reachable from the root by any byte and checks that the
// reachable paths are exactly the prefixes of the keys, that leaves are
// exactly the keys with their values, and that each key has its own value
// unit.
void ExpectExactlyTheKeys(const Units& units, const KeyValues& key_values) {
  const Walker walker(units);
  std::size_t spurious_children = 0;
  std::size_t wrong_leaves = 0;
  std::set<uint32_t> leaf_units;
  std::vector<std::pair<uint32_t, std::string>> stack = {{0, ""}};
  while (!stack.empty()) {
    const auto [node, path] = stack.back();
    stack.pop_back();
    const uint32_t unit = units[node];
    if (Walker::HasLeaf(unit)) {
      const uint32_t leaf = node ^ Walker::Offset(unit);
      const auto it = key_values.find(path);
      if (it == key_values.end() ||
          units[leaf] != (0x80000000u | static_cast<uint32_t>(it->second))) {
        ++wrong_leaves;
      }
      leaf_units.insert(leaf);
    }
    for (int ch = 0; ch < 256; ++ch) {
      const auto child = walker.Child(node, static_cast<unsigned char>(ch));
      if (!child) continue;
      std::string child_path = path;
      child_path.push_back(static_cast<char>(ch));
      if (ch == 0 || !IsPrefixOfSomeKey(key_values, child_path)) {
        ++spurious_children;
        continue;
      }
      stack.emplace_back(*child, std::move(child_path));
    }
  }
  EXPECT_EQ(spurious_children, 0u);
  EXPECT_EQ(wrong_leaves, 0u);
  EXPECT_EQ(leaf_units.size(), key_values.size());
  const auto value_units =
      std::count_if(units.begin(), units.end(), Walker::IsValue);
  EXPECT_EQ(static_cast<std::size_t>(value_units), key_values.size());
}

std::string RandomKey(std::mt19937& rng) {
  static const char* const kPieces[] = {
      "a",
      "b",
      "th",
      "ing",
      "\xe2\x96\x81",  // U+2581
      "\xc3\xa9",      // U+00E9
      "\xe6\x97\xa5",
      "\xe6\x9c\xac",  // U+65E5, U+672C
      "\xf0\x9f\x98\x80",
      "\xf4\x8f\xbf\xbf",  // U+1F600, U+10FFFF
  };
  constexpr int kNumPieces = sizeof(kPieces) / sizeof(kPieces[0]);
  std::uniform_int_distribution<int> num_parts(1, 5);
  std::uniform_int_distribution<int> kind(0, 3);
  std::uniform_int_distribution<int> piece(0, kNumPieces - 1);
  std::uniform_int_distribution<int> byte(1, 255);
  std::string key;
  for (int n = num_parts(rng); n > 0; --n) {
    if (kind(rng) == 0) {
      key.push_back(static_cast<char>(byte(rng)));
    } else {
      key += kPieces[piece(rng)];
    }
  }
  return key;
}

KeyValues RandomKeyValues(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> value(0, INT_MAX);
  KeyValues key_values;
  while (key_values.size() < count) {
    key_values.emplace(RandomKey(rng), value(rng));
  }
  return key_values;
}

TEST(DartsBuilderTest, SingleShortKeyFillsOneBlock) {
  const char* keys[] = {"a"};
  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(1, keys), 0);
  EXPECT_EQ(trie.size(), 256u);
  EXPECT_EQ(trie.unit_size(), 4u);
  EXPECT_EQ(trie.total_size(), 1024u);
  const Units units = UnitsOf(trie);
  ExpectValidLayout(units);
  EXPECT_EQ(Walker(units).Lookup("a"), 0);
}

struct LayoutCase {
  const char* name;
  std::vector<std::string> keys;
};

std::vector<std::string> AllSingleBytes(const std::string& prefix) {
  std::vector<std::string> keys;
  for (int ch = 1; ch < 256; ++ch) {
    keys.push_back(prefix + static_cast<char>(ch));
  }
  return keys;
}

std::vector<std::string> WithKey(std::vector<std::string> keys,
                                 const std::string& key) {
  keys.push_back(key);
  return keys;
}

void PrintTo(const LayoutCase& layout_case, std::ostream* os) {
  *os << layout_case.name;
}

class DartsLayoutTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(DartsLayoutTest, HoldsExactlyTheKeys) {
  KeyValues key_values;
  int value = 7;
  for (const std::string& key : GetParam().keys) {
    key_values[key] = value;
    value = value * 31 % 1000003;
  }
  const Units units = Build(key_values);
  ExpectValidLayout(units);
  ExpectExactlyTheKeys(units, key_values);
  const Walker walker(units);
  for (const auto& [key, expected] : key_values) {
    EXPECT_EQ(walker.Lookup(key), expected) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DartsLayoutTest,
    testing::Values(
        LayoutCase{"HighByte", {"\xff"}},
        LayoutCase{"PrefixChain", {"a", "ab", "abc", "abcd"}},
        LayoutCase{"SiblingsWithLeaves", {"ab", "abc", "abd", "b", "ba"}},
        LayoutCase{"UnsignedOrder", {"\x7f", "\x80", "\x80\x7f", "\x80\x80"}},
        LayoutCase{"Utf8",
                   {"\xc3\xa9",
                    "\xc3\xa9"
                    "a",
                    "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80",
                    "\xf0\x9f\x98\x80\xf0\x9f\x98\x80"}},
        LayoutCase{"EveryByteAtRoot", AllSingleBytes("")},
        // A leaf plus 255 children: the node needs a whole block.
        LayoutCase{"FullBlockOfChildren", WithKey(AllSingleBytes("x"), "x")},
        LayoutCase{"LongKeys",
                   {std::string(5000, 'q'), std::string(4999, 'q') + "r"}}),
    [](const testing::TestParamInfo<LayoutCase>& param_info) {
      return param_info.param.name;
    });

TEST(DartsBuilderTest, RandomKeysMapToTheirValuesAndNothingElse) {
  const KeyValues key_values = RandomKeyValues(20000, 1);
  const Units units = Build(key_values);
  ExpectValidLayout(units);
  ExpectExactlyTheKeys(units, key_values);

  const Walker walker(units);
  std::size_t wrong = 0;
  for (const auto& [key, value] : key_values) {
    if (walker.Lookup(key) != value) ++wrong;
    const std::string prefix = key.substr(0, key.size() - 1);
    if (!prefix.empty() && key_values.count(prefix) == 0 &&
        walker.Lookup(prefix)) {
      ++wrong;
    }
    for (const char* suffix : {"a", "\xff", "\x80"}) {
      const std::string extension = key + suffix;
      if (key_values.count(extension) == 0 && walker.Lookup(extension)) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(DartsBuilderTest, ValuesUpToIntMaxRoundTrip) {
  const std::vector<int> values = {0,       1,       255,         256,
                                   1 << 21, 1 << 30, INT_MAX - 1, INT_MAX};
  KeyValues key_values;
  for (std::size_t i = 0; i < values.size(); ++i) {
    key_values["k" + std::to_string(i)] = values[i];
  }
  const Units units = Build(key_values);
  const Walker walker(units);
  for (const auto& [key, value] : key_values) {
    EXPECT_EQ(walker.Lookup(key), value) << key;
    EXPECT_EQ(units[*walker.LeafIndex(key)],
              0x80000000u | static_cast<uint32_t>(value));
  }
}

TEST(DartsBuilderTest, NullValuesGiveKeyIndexAndLeavePatchableUnits) {
  const KeyValues key_values = RandomKeyValues(3000, 2);
  std::vector<std::string> strings;
  std::vector<const char*> keys;
  for (const auto& entry : key_values) strings.push_back(entry.first);
  for (const std::string& key : strings) keys.push_back(key.c_str());

  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(keys.size(), keys.data()), 0);
  Units units = UnitsOf(trie);
  const Walker walker(units);
  for (std::size_t i = 0; i < strings.size(); ++i) {
    ASSERT_EQ(walker.Lookup(strings[i]), static_cast<int>(i)) << strings[i];
  }

  // Rewrite every value in place, as a later stage does.
  for (std::size_t i = 0; i < strings.size(); ++i) {
    units[*walker.LeafIndex(strings[i])] =
        0x80000000u | static_cast<uint32_t>(1000000 + i);
  }
  for (std::size_t i = 0; i < strings.size(); ++i) {
    EXPECT_EQ(walker.Lookup(strings[i]), static_cast<int>(1000000 + i));
  }
}

TEST(DartsBuilderTest, NullLengthsMeanNulTerminatedKeys) {
  const KeyValues key_values = RandomKeyValues(2000, 3);
  std::vector<const char*> keys;
  std::vector<std::size_t> lengths;
  for (const auto& entry : key_values) {
    keys.push_back(entry.first.c_str());
    lengths.push_back(entry.first.size());
  }
  Darts::DoubleArray with_lengths;
  Darts::DoubleArray without_lengths;
  ASSERT_EQ(with_lengths.build(keys.size(), keys.data(), lengths.data()), 0);
  ASSERT_EQ(without_lengths.build(keys.size(), keys.data()), 0);
  EXPECT_EQ(UnitsOf(with_lengths), UnitsOf(without_lengths));
}

TEST(DartsBuilderTest, LengthsLimitKeysWithinLongerBuffers) {
  const char* keys[] = {"abcXYZ", "abdXYZ"};
  const std::size_t lengths[] = {3, 3};
  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(2, keys, lengths), 0);
  const Units units = UnitsOf(trie);
  const Walker walker(units);
  EXPECT_EQ(walker.Lookup("abc"), 0);
  EXPECT_EQ(walker.Lookup("abd"), 1);
  EXPECT_FALSE(walker.Lookup("abcXYZ"));
}

struct BadInput {
  const char* name;
  std::vector<std::string> keys;
  std::vector<int> values;
};

void PrintTo(const BadInput& input, std::ostream* os) { *os << input.name; }

class DartsBadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(DartsBadInputTest, ThrowsAndKeepsThePreviousArray) {
  const char* good_keys[] = {"kept"};
  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(1, good_keys), 0);
  const Units before = UnitsOf(trie);

  const BadInput& input = GetParam();
  std::vector<const char*> keys;
  std::vector<std::size_t> lengths;
  for (const std::string& key : input.keys) {
    keys.push_back(key.data());
    lengths.push_back(key.size());
  }
  EXPECT_THROW(trie.build(keys.size(), keys.data(), lengths.data(),
                          input.values.empty() ? nullptr : input.values.data()),
               Darts::Details::Exception);
  EXPECT_EQ(UnitsOf(trie), before);
}

INSTANTIATE_TEST_SUITE_P(
    Refused, DartsBadInputTest,
    testing::Values(BadInput{"EmptyKey", {"", "a"}, {}},
                    BadInput{"NegativeValue", {"a", "b"}, {0, -1}},
                    BadInput{"Unsorted", {"b", "a"}, {}},
                    BadInput{"Duplicate", {"a", "a"}, {}},
                    BadInput{"LongerBeforeItsPrefix", {"ab", "a"}, {}},
                    BadInput{"SignedOrder", {"\x80", "\x7f"}, {}},
                    BadInput{"NulInsideKey", {std::string("a\0b", 3)}, {}}),
    [](const testing::TestParamInfo<BadInput>& param_info) {
      return param_info.param.name;
    });

TEST(DartsBuilderTest, EmptyNulTerminatedKeyThrows) {
  const char* keys[] = {""};
  Darts::DoubleArray trie;
  EXPECT_THROW(trie.build(1, keys), Darts::Details::Exception);
}

std::vector<std::pair<std::size_t, std::size_t>>* progress_calls = nullptr;

int RecordProgress(std::size_t done, std::size_t total) {
  progress_calls->emplace_back(done, total);
  return 0;
}

TEST(DartsBuilderTest, ReportsProgressUpToTheTotal) {
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  progress_calls = &calls;
  const char* keys[] = {"a", "ab", "b"};
  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(3, keys, nullptr, nullptr, RecordProgress), 0);
  progress_calls = nullptr;
  ASSERT_FALSE(calls.empty());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_LE(calls[i].first, calls[i].second);
    if (i > 0) {
      EXPECT_GE(calls[i].first, calls[i - 1].first);
    }
  }
  EXPECT_EQ(calls.back().first, calls.back().second);
}

// Keys far apart in the array: once a subtree of more than 2^21 units has
// been laid out, the children of its later siblings need offsets that only
// the extension bit can hold.
TEST(DartsBuilderTest, FarChildrenUseTheExtensionBit) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> byte(1, 255);
  std::vector<std::string> strings;
  for (int i = 0; i < 16000; ++i) {
    std::string key = "a";
    for (int j = 0; j < 150; ++j) key.push_back(static_cast<char>(byte(rng)));
    strings.push_back(std::move(key));
  }
  strings.push_back("b");
  strings.push_back("bc");
  strings.push_back("bd");
  std::sort(strings.begin(), strings.end());
  strings.erase(std::unique(strings.begin(), strings.end()), strings.end());
  std::vector<const char*> keys;
  for (const std::string& key : strings) keys.push_back(key.c_str());

  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(keys.size(), keys.data()), 0);
  const Units units = UnitsOf(trie);
  ASSERT_GT(units.size(), std::size_t{1} << 21);
  ExpectValidLayout(units);

  const Walker walker(units);
  const auto node_b = walker.Find("b");
  ASSERT_TRUE(node_b);
  EXPECT_NE(units[*node_b] & 0x200u, 0u);
  EXPECT_GE(Walker::Offset(units[*node_b]), 1u << 21);

  // Along every key, probe all bytes from nodes with far children.
  const std::set<std::string> key_set(strings.begin(), strings.end());
  std::size_t wrong = 0;
  std::size_t extended_nodes = 0;
  for (std::size_t i = 0; i < strings.size(); ++i) {
    if (walker.Lookup(strings[i]) != static_cast<int>(i)) ++wrong;
    uint32_t node = 0;
    std::string path;
    for (const char c : strings[i]) {
      if ((units[node] & 0x200u) != 0) {
        ++extended_nodes;
        for (int ch = 0; ch < 256; ++ch) {
          if (!walker.Child(node, static_cast<unsigned char>(ch))) continue;
          const std::string next = path + static_cast<char>(ch);
          const auto it = key_set.lower_bound(next);
          if (ch == 0 || it == key_set.end() ||
              it->compare(0, next.size(), next) != 0) {
            ++wrong;
          }
        }
      }
      node = *walker.Child(node, static_cast<unsigned char>(c));
      path.push_back(c);
    }
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(extended_nodes, 0u);
}

TEST(DartsBuilderTest, SearchHelpersReadTheBuiltArray) {
  const char* keys[] = {"a", "abc", "abd", "b"};
  const int values[] = {10, 20, 30, 40};
  Darts::DoubleArray built;
  ASSERT_EQ(built.build(4, keys, nullptr, values), 0);
  const Units units = UnitsOf(built);
  Darts::DoubleArray trie;
  trie.set_array(units.data(), units.size());

  EXPECT_EQ(trie.exactMatchSearch<int>("abc"), 20);
  EXPECT_EQ(trie.exactMatchSearch<int>("ab"), -1);
  EXPECT_EQ(trie.exactMatchSearch<int>("abcd"), -1);
  EXPECT_EQ(trie.exactMatchSearch<int>("abdX", 3), 30);
  Darts::DoubleArray::result_pair_type pair;
  trie.exactMatchSearch("b", pair);
  EXPECT_EQ(pair.value, 40);
  EXPECT_EQ(pair.length, 1u);

  Darts::DoubleArray::result_pair_type results[4];
  ASSERT_EQ(trie.commonPrefixSearch("abcd", results, 4), 2u);
  EXPECT_EQ(results[0].value, 10);
  EXPECT_EQ(results[0].length, 1u);
  EXPECT_EQ(results[1].value, 20);
  EXPECT_EQ(results[1].length, 3u);
  EXPECT_EQ(trie.commonPrefixSearch("abcd", results, 1), 2u);
}

TEST(DartsBuilderTest, NoKeysStillGivesAValidRoot) {
  Darts::DoubleArray trie;
  ASSERT_EQ(trie.build(0, nullptr), 0);
  const Units units = UnitsOf(trie);
  ExpectValidLayout(units);
  ExpectExactlyTheKeys(units, {});
}

}  // namespace
