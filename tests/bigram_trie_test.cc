#include "korvel_model_converters/bigram_trie.h"

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/double_array.h"

namespace korvel::lite {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A bound view over a bigram blob, checked the way the runtime loads it.
DoubleArray BindBigramTrie(const std::vector<uint8_t>& blob) {
  DoubleArray trie;
  EXPECT_EQ(InitializeTrie(blob.data(), blob.size(), 0xffffffffu,
                           /*values_are_unit_positions=*/true,
                           /*optional=*/false, &trie),
            absl::StatusCode::kOk);
  return trie;
}

// The node reached from the root over `bytes`, or 0.
int32_t NodeOf(const DoubleArray& trie, const std::string& bytes) {
  int32_t node = 0;
  for (unsigned char ch : bytes) {
    node = trie.child_index(node, ch);
    if (node < 0) return 0;
  }
  return node;
}

// Every key stored in `trie`, found by visiting all children of every node.
void CollectKeys(const DoubleArray& trie, uint32_t node, std::string* prefix,
                 std::set<std::string>* keys) {
  if (node != 0 && DoubleArray::has_leaf(trie.units[node])) {
    keys->insert(*prefix);
  }
  for (int ch = 1; ch < 256; ++ch) {
    const int32_t child =
        trie.child_index(node, static_cast<unsigned char>(ch));
    if (child < 0) continue;
    prefix->push_back(static_cast<char>(ch));
    CollectKeys(trie, child, prefix, keys);
    prefix->pop_back();
  }
}

std::set<std::string> AllKeys(const DoubleArray& trie) {
  std::set<std::string> keys;
  std::string prefix;
  CollectKeys(trie, 0, &prefix, &keys);
  return keys;
}

std::vector<uint8_t> Build(const std::vector<std::string>& pieces) {
  absl::StatusOr<std::vector<uint8_t>> blob = BuildBigramTrieBlob(pieces);
  EXPECT_TRUE(blob.ok()) << blob.status();
  return blob.ok() ? *blob : std::vector<uint8_t>();
}

TEST(BigramTrieTest, SingleCharacterPiecesGiveNoTrie) {
  EXPECT_THAT(Build({}), IsEmpty());
  EXPECT_THAT(Build({"a", "b", "\xe2\x96\x81", "\xf0\x9f\x98\x80", "\xe2"}),
              IsEmpty());
}

TEST(BigramTrieTest, ValueIsTheNodeOfTheSecondCharacter) {
  const std::vector<uint8_t> blob = Build({"ab", "bc"});
  const DoubleArray trie = BindBigramTrie(blob);
  EXPECT_THAT(AllKeys(trie), ElementsAre("ab", "bc"));
  const int32_t b_node = trie.child_index(0, 'b');
  ASSERT_GT(b_node, 0);
  EXPECT_EQ(trie.exact_lookup("ab"), b_node);
  EXPECT_EQ(trie.exact_lookup("bc"), 0);
}

TEST(BigramTrieTest, RepeatedPairsAreStoredOnce) {
  const std::vector<uint8_t> blob = Build({"abc", "zab", "abab"});
  EXPECT_THAT(AllKeys(BindBigramTrie(blob)),
              ElementsAre("ab", "ba", "bc", "za"));
  EXPECT_EQ(blob, Build({"za", "ba", "bc", "ab"}));
}

TEST(BigramTrieTest, KeysFollowCharacterBoundaries) {
  struct Case {
    std::string piece;
    std::vector<std::string> keys;
  };
  const Case cases[] = {
      {"\xe2\x96\x81"
       "a",
       {"\xe2\x96\x81"
        "a"}},
      {"a\xf0\x9f\x98\x80\xc3\xa9",
       {"a\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80\xc3\xa9"}},
      // The last lead byte announces three bytes; two remain.
      {"a\xe2\x96", {"a\xe2\x96"}},
      // Stray continuation bytes are characters of one byte.
      {"\x80\x81z", {"\x80\x81", "\x81z"}},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> blob = Build({c.piece});
    EXPECT_THAT(AllKeys(BindBigramTrie(blob)),
                ::testing::ElementsAreArray(c.keys))
        << c.piece;
  }
}

TEST(BigramTrieTest, MultiByteContinuation) {
  // After "a▁" the walk continues from the node of the three bytes of "▁".
  const std::vector<uint8_t> blob = Build({"a\xe2\x96\x81",
                                           "\xe2\x96\x81"
                                           "b"});
  const DoubleArray trie = BindBigramTrie(blob);
  const int32_t node = NodeOf(trie, "\xe2\x96\x81");
  ASSERT_GT(node, 0);
  EXPECT_EQ(trie.exact_lookup("a\xe2\x96\x81"), node);
  EXPECT_GE(trie.child_index(node, 'b'), 0);
  EXPECT_EQ(trie.exact_lookup("\xe2\x96\x81"
                              "b"),
            0);
}

TEST(BigramTrieTest, NullByteInKeyIsRejected) {
  const absl::StatusOr<std::vector<uint8_t>> blob =
      BuildBigramTrieBlob({"ab", std::string("a\0", 2)});
  ASSERT_FALSE(blob.ok());
  EXPECT_EQ(blob.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(blob.status().message(),
            "Bigram key contains invalid embedded null byte: " +
                std::string("a\0", 2));
  // A lone NUL character forms no pair.
  EXPECT_TRUE(BuildBigramTrieBlob({std::string("\0", 1)}).ok());
}

// Splits `text` into characters by the lead byte's length, cut at the end.
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> characters;
  for (size_t pos = 0; pos < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    size_t length = lead < 0xc0 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (length > text.size() - pos) length = text.size() - pos;
    characters.push_back(text.substr(pos, length));
    pos += length;
  }
  return characters;
}

TEST(BigramTrieTest, RandomVocabulariesHoldEveryAdjacentPair) {
  const std::vector<std::string> alphabet = {"a",
                                             "b",
                                             "c",
                                             "z",
                                             " ",
                                             "\xc3\xa9",
                                             "\xd0\x96",
                                             "\xe2\x96\x81",
                                             "\xe6\x97\xa5",
                                             "\xef\xbf\xbd",
                                             "\xf0\x9f\x98\x80",
                                             "\xf4\x8f\xbf\xbf",
                                             "\x80",
                                             "\xc3",
                                             "\xf0\x9f"};
  std::mt19937 rng(20240611);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> pieces;
    const int vocab_size = 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < vocab_size; ++i) {
      std::string piece;
      const int length = 1 + static_cast<int>(rng() % 6);
      for (int k = 0; k < length; ++k)
        piece += alphabet[rng() % alphabet.size()];
      pieces.push_back(piece);
    }
    std::set<std::string> expected;
    for (const std::string& piece : pieces) {
      const std::vector<std::string> characters = Characters(piece);
      for (size_t k = 1; k < characters.size(); ++k) {
        expected.insert(characters[k - 1] + characters[k]);
      }
    }
    const std::vector<uint8_t> blob = Build(pieces);
    if (expected.empty()) {
      EXPECT_THAT(blob, IsEmpty());
      continue;
    }
    const DoubleArray trie = BindBigramTrie(blob);
    EXPECT_EQ(AllKeys(trie), expected) << "round " << round;
    for (const std::string& piece : pieces) {
      const std::vector<std::string> characters = Characters(piece);
      for (size_t k = 1; k < characters.size(); ++k) {
        EXPECT_EQ(trie.exact_lookup(characters[k - 1] + characters[k]),
                  NodeOf(trie, characters[k]))
            << "round " << round << " piece " << piece;
      }
    }
  }
}

}  // namespace
}  // namespace korvel::lite
