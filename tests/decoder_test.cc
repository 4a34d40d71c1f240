// KorvelLiteProcessor::Decode: whitespace and dummy-prefix rules, control and
// unknown pieces, byte runs, views, and agreement of the fast paths with each
// other and with the reference over random ids and random vocabularies.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "reference_text.h"
#include "test_models.h"

namespace korvel::lite::testing {
namespace {

constexpr char kFffd[] = "\xef\xbf\xbd";
constexpr std::string_view kSymbol = "\xe2\x96\x81";

// Pieces without a whitespace symbol after their first character.
std::vector<TestPiece> BasePieces() {
  std::vector<TestPiece> pieces = {
      {"<unk>", 0.0f, PieceType_UNKNOWN},
      {"<s>", 0.0f, PieceType_CONTROL},
      {"\xe2\x96\x81Hello", -1.0f},
      {"\xe2\x96\x81world", -1.0f},
      {"\xe2\x96\x81Hi", -1.0f},
      {"\xe2\x96\x81", -1.0f},
      {"\xe2\x96\x81"
       "a",
       -1.0f},
      {"a", -1.0f},
      {" x", -1.0f},
      {"\xe2\x96", -1.0f},
      {"<sep>", 0.0f, PieceType_USER_DEFINED},
      {"zz", 0.0f, PieceType_UNUSED},
  };
  for (const TestPiece& byte_piece : BytePieces()) pieces.push_back(byte_piece);
  return pieces;
}

// Pieces that hold the whitespace symbol further in, or bytes that resemble it.
std::vector<TestPiece> InnerPieces() {
  return {{"a\xe2\x96\x81", -1.0f},
          {"\xe2\x96\x81\xe2\x96\x81x", -1.0f},
          {"\xe2\x96\x82x\xe2\x96\x81", -1.0f},
          {"x\xe2\x96y\xe2\xe2\x96\x81\xe2", -1.0f},
          {"<b\xe2\x96\x81>", 0.0f, PieceType_CONTROL}};
}

struct ModelOptions {
  ModelOptions(bool add_dummy_prefix = true,
               bool remove_extra_whitespaces = true, bool inner_pieces = false,
               bool byte_pieces = true, bool spec = true,
               std::string unk_surface = "")
      : add_dummy_prefix(add_dummy_prefix),
        remove_extra_whitespaces(remove_extra_whitespaces),
        inner_pieces(inner_pieces),
        byte_pieces(byte_pieces),
        spec(spec),
        unk_surface(std::move(unk_surface)) {}

  bool add_dummy_prefix;
  bool remove_extra_whitespaces;
  bool inner_pieces;
  bool byte_pieces;
  bool spec;
  std::string unk_surface;
};

std::unique_ptr<KorvelLiteProcessor> MakeProcessor(
    const ModelOptions& options) {
  std::vector<TestPiece> pieces = BasePieces();
  if (!options.byte_pieces) {
    pieces.resize(pieces.size() - 256);
    pieces.push_back({"<0x41>", 0.0f, PieceType_BYTE});
  }
  if (options.inner_pieces) {
    for (const TestPiece& piece : InnerPieces()) pieces.push_back(piece);
  }
  ModelProtoT model = MakeModel(pieces);
  if (options.spec) {
    model.normalizer_spec = MakeNormalizerSpec(
        options.add_dummy_prefix, options.remove_extra_whitespaces);
  }
  model.unk_surface = options.unk_surface;
  auto processor = std::make_unique<KorvelLiteProcessor>(PackShared(model));
  EXPECT_EQ(processor->status(), absl::StatusCode::kOk);
  EXPECT_EQ(processor->model()->has_inner_whitespace_symbol,
            options.inner_pieces);
  return processor;
}

std::vector<int> Ids(const KorvelLiteProcessor& processor,
                     const std::vector<std::string>& pieces) {
  std::vector<int> ids;
  for (const std::string& piece : pieces) {
    const int id = processor.PieceToId(piece);
    EXPECT_TRUE(id != processor.unk_id() || piece == "<unk>") << piece;
    ids.push_back(id);
  }
  return ids;
}

std::string Byte(int value) {
  return ByteToPiece(static_cast<unsigned char>(value));
}

using Views = std::vector<std::pair<size_t, size_t>>;

// The views as (offset, length) pairs into `text`; (npos, npos) for a view
// that does not lie inside it.
Views ViewOffsets(const std::string& text,
                  const std::vector<std::string_view>& surfaces) {
  Views views;
  for (std::string_view view : surfaces) {
    const bool inside = view.data() >= text.data() &&
                        view.data() + view.size() <= text.data() + text.size();
    views.emplace_back(inside ? static_cast<size_t>(view.data() - text.data())
                              : std::string::npos,
                       inside ? view.size() : std::string::npos);
  }
  return views;
}

struct DecodeCase {
  const char* name;
  ModelOptions options;
  std::vector<std::string> pieces;
  std::string expected;
  Views views;
};

TEST(DecodeTest, TextAndViews) {
  const ModelOptions kDefault;
  const ModelOptions kNoPrefixNoRemove{false, false};
  const ModelOptions kPrefixOnly{true, false};
  const ModelOptions kInner{true, true, true};
  const std::vector<DecodeCase> cases = {
      {"empty", kDefault, {}, "", {}},
      {"dummy prefix dropped",
       kDefault,
       {"\xe2\x96\x81Hello", "\xe2\x96\x81world"},
       "Hello world",
       {{0, 5}, {5, 6}}},
      {"no prefix, no removal",
       kNoPrefixNoRemove,
       {"\xe2\x96\x81Hello", "\xe2\x96\x81world"},
       " Hello world",
       {{0, 6}, {6, 6}}},
      {"no spec strips",
       {true, true, false, true, false},
       {"\xe2\x96\x81Hi"},
       "Hi",
       {{0, 2}}},
      {"leading control",
       kDefault,
       {"<s>", "\xe2\x96\x81Hi"},
       "Hi",
       {{0, 0}, {0, 2}}},
      {"leading unknown",
       kDefault,
       {"<unk>", "\xe2\x96\x81Hi"},
       " \xe2\x81\x87  Hi",
       {{0, 5}, {5, 3}}},
      {"custom unknown surface",
       {true, true, false, true, true, "[?]"},
       {"a", "<unk>"},
       "a[?]",
       {{0, 1}, {1, 3}}},
      {"removal drops every leading symbol",
       kDefault,
       {"\xe2\x96\x81", "\xe2\x96\x81",
        "\xe2\x96\x81"
        "a"},
       "a",
       {{0, 0}, {0, 0}, {0, 1}}},
      {"prefix only drops one symbol",
       kPrefixOnly,
       {"\xe2\x96\x81", "\xe2\x96\x81",
        "\xe2\x96\x81"
        "a"},
       "  a",
       {{0, 0}, {0, 1}, {1, 2}}},
      {"nothing dropped",
       kNoPrefixNoRemove,
       {"\xe2\x96\x81", "\xe2\x96\x81",
        "\xe2\x96\x81"
        "a"},
       "   a",
       {{0, 1}, {1, 1}, {2, 2}}},
      {"plain space never dropped",
       kDefault,
       {" x", "a"},
       " xa",
       {{0, 2}, {2, 1}}},
      {"partial symbol copied",
       kDefault,
       {"a", "\xe2\x96"},
       "a\xe2\x96",
       {{0, 1}, {1, 2}}},
      {"other piece types decode as text",
       kDefault,
       {"<sep>", "zz"},
       "<sep>zz",
       {{0, 5}, {5, 2}}},
      {"byte run",
       kDefault,
       {Byte(0xe3), Byte(0x81), Byte(0x82)},
       "\xe3\x81\x82",
       {{0, 0}, {0, 0}, {0, 3}}},
      {"truncated byte run",
       kDefault,
       {Byte(0xe3), Byte(0x81)},
       std::string(kFffd) + kFffd,
       {{0, 3}, {3, 3}}},
      {"overlong bytes",
       kDefault,
       {Byte(0xc0), Byte(0xaf)},
       std::string(kFffd) + kFffd,
       {{0, 3}, {3, 3}}},
      {"surrogate bytes",
       kDefault,
       {Byte(0xed), Byte(0xa0), Byte(0x80)},
       std::string(kFffd) + kFffd + kFffd,
       {{0, 3}, {3, 3}, {6, 3}}},
      {"control splits a byte run",
       kDefault,
       {Byte(0xe3), "<s>", Byte(0x81), Byte(0x82)},
       std::string(kFffd) + kFffd + kFffd,
       {{0, 3}, {3, 0}, {3, 3}, {6, 3}}},
      {"bytes around a character",
       kDefault,
       {Byte('A'), Byte(0xff), Byte(0xc3), Byte(0xa9), Byte('B')},
       std::string("A") + kFffd +
           "\xc3\xa9"
           "B",
       {{0, 1}, {1, 3}, {4, 0}, {4, 2}, {6, 1}}},
      {"byte run ends the text start",
       kDefault,
       {Byte('A'), "\xe2\x96\x81Hi"},
       "A Hi",
       {{0, 1}, {1, 3}}},
      {"byte-typed piece outside the byte range",
       {true, true, false, false},
       {"<0x41>"},
       "<0x41>",
       {{0, 6}}},
      {"inner symbols become spaces",
       kInner,
       {"a", "a\xe2\x96\x81", "a"},
       "aa a",
       {{0, 1}, {1, 2}, {3, 1}}},
      {"one leading symbol dropped, next kept",
       kInner,
       {"\xe2\x96\x81\xe2\x96\x81x"},
       " x",
       {{0, 2}}},
      {"look-alike bytes kept",
       kInner,
       {"\xe2\x96\x82x\xe2\x96\x81", "x\xe2\x96y\xe2\xe2\x96\x81\xe2"},
       "\xe2\x96\x82x x\xe2\x96y\xe2 \xe2",
       {{0, 5}, {5, 7}}},
      {"trailing symbol becomes a trailing space",
       kInner,
       {"\xe2\x96\x81Hi", "a\xe2\x96\x81"},
       "Hia ",
       {{0, 2}, {2, 2}}},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto processor = MakeProcessor(c.options);
    const std::vector<int> ids = Ids(*processor, c.pieces);
    std::string text = "stale";
    std::vector<std::string_view> surfaces = {"stale"};
    ASSERT_EQ(processor->Decode(ids, &text, &surfaces), absl::StatusCode::kOk);
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(ViewOffsets(text, surfaces), c.views);
    std::string plain(300, '#');  // longer than any output
    ASSERT_EQ(processor->Decode(ids, &plain, nullptr), absl::StatusCode::kOk);
    EXPECT_EQ(plain, c.expected);
  }
}

TEST(DecodeTest, OutOfRangeEmptiesBothOutputs) {
  const auto processor = MakeProcessor({});
  const int vocab_size = static_cast<int>(processor->vocab_size());
  const int hi = processor->PieceToId("\xe2\x96\x81Hi");
  for (const std::vector<int>& ids :
       {std::vector<int>{hi, vocab_size}, std::vector<int>{-1},
        std::vector<int>{hi, processor->PieceToId("<0xE3>"), vocab_size + 5}}) {
    std::string text = "stale";
    std::vector<std::string_view> surfaces = {"stale"};
    EXPECT_EQ(processor->Decode(ids, &text, &surfaces),
              absl::StatusCode::kOutOfRange);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(surfaces.empty());
  }
}

TEST(DecodeTest, GuardsLeaveOutputsUntouched) {
  KorvelLiteProcessor broken(std::string_view("not a model"));
  std::string text = "kept";
  std::vector<std::string_view> surfaces = {"kept"};
  const std::vector<int> ids = {0};
  EXPECT_EQ(broken.Decode(ids, &text, &surfaces),
            absl::StatusCode::kFailedPrecondition);
  EXPECT_EQ(text, "kept");
  ASSERT_EQ(surfaces.size(), 1u);

  const auto processor = MakeProcessor({});
  EXPECT_EQ(processor->Decode(ids, nullptr, &surfaces),
            absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(surfaces, std::vector<std::string_view>({"kept"}));
}

// A byte run longer than the inline room of the pending buffer, with a
// multi-byte character across the 64-byte mark and a broken one at the end.
TEST(DecodeTest, LongByteRun) {
  const auto processor = MakeProcessor({});
  std::string bytes(63, 'q');
  bytes += "\xe3\x81\x82";
  bytes += std::string(70, 'r');
  bytes += "\xf0\x9f\x98";
  std::vector<int> ids;
  for (unsigned char b : bytes) ids.push_back(processor->PieceToId(Byte(b)));
  std::string text;
  std::vector<std::string_view> surfaces;
  ASSERT_EQ(processor->Decode(ids, &text, &surfaces), absl::StatusCode::kOk);
  const std::string expected =
      bytes.substr(0, bytes.size() - 3) + kFffd + kFffd + kFffd;
  EXPECT_EQ(text, expected);
  ASSERT_EQ(surfaces.size(), ids.size());
  EXPECT_EQ(surfaces[65], "\xe3\x81\x82");
  EXPECT_TRUE(surfaces[64].empty());
  std::string plain;
  ASSERT_EQ(processor->Decode(ids, &plain, nullptr), absl::StatusCode::kOk);
  EXPECT_EQ(plain, expected);
}

// Decodes `ids` with and without views and compares both with the reference:
// the text, and each view's place in it.
void ExpectDecodeMatchesReference(const KorvelLiteProcessor& processor,
                                  const std::vector<int>& ids) {
  std::string expected;
  std::vector<std::pair<size_t, size_t>> expected_views;
  fuzzing::ReferenceDecode(*processor.model(), ids, &expected, &expected_views);
  std::string text = "stale";
  ASSERT_EQ(processor.Decode(ids, &text, nullptr), absl::StatusCode::kOk);
  ASSERT_EQ(text, expected);
  std::vector<std::string_view> views;
  ASSERT_EQ(processor.Decode(ids, &text, &views), absl::StatusCode::kOk);
  ASSERT_EQ(text, expected);
  ASSERT_EQ(views.size(), ids.size());
  for (size_t i = 0; i < views.size(); ++i) {
    EXPECT_EQ(views[i].data() - text.data(), expected_views[i].first);
    EXPECT_EQ(views[i].size(), expected_views[i].second);
  }
}

// Random id sequences: text and views, with and without views, on the cheap
// whitespace path and the searching one, equal the reference's.
TEST(DecodeTest, RandomIdsAgreeAcrossPaths) {
  std::mt19937 rng(99);
  for (bool add_dummy_prefix : {false, true}) {
    for (bool remove_extra : {false, true}) {
      const auto cheap = MakeProcessor({add_dummy_prefix, remove_extra, false});
      const auto searching =
          MakeProcessor({add_dummy_prefix, remove_extra, true});
      const int base_size = static_cast<int>(BasePieces().size());
      const int full_size = static_cast<int>(searching->vocab_size());
      for (int round = 0; round < 2000; ++round) {
        const bool base_only = round % 2 == 0;
        std::vector<int> ids(std::uniform_int_distribution<int>(0, 40)(rng));
        for (int& id : ids) {
          // Favour the named pieces and a few byte values that form
          // characters, so that runs hold both good and bad sequences.
          if (rng() % 3 == 0) {
            static const int kBytes[] = {'a',  ' ',  0xc3, 0xa9, 0xe3, 0x81,
                                         0x82, 0xf0, 0x9f, 0x98, 0x80, 0xff};
            id = cheap->PieceToId(Byte(kBytes[rng() % std::size(kBytes)]));
          } else {
            id = static_cast<int>(rng() % (base_only ? 12 : full_size));
            if (!base_only && rng() % 2 == 0) {
              id =
                  base_size + static_cast<int>(rng() % (full_size - base_size));
            }
          }
        }
        const KorvelLiteProcessor& processor = base_only ? *cheap : *searching;
        ExpectDecodeMatchesReference(processor, ids);
        if (base_only) {
          std::string cheap_text, searching_text;
          ASSERT_EQ(cheap->Decode(ids, &cheap_text, nullptr),
                    absl::StatusCode::kOk);
          ASSERT_EQ(searching->Decode(ids, &searching_text, nullptr),
                    absl::StatusCode::kOk);
          EXPECT_EQ(searching_text, cheap_text);
        }
      }
    }
  }
}

// A model held in a heap block of exactly its size, so that the address
// sanitizer sees any read past its end.
class ExactModel {
 public:
  explicit ExactModel(const ModelProtoT& model) {
    const std::string bytes = Pack(model);
    size_ = bytes.size();
    data_.reset(new char[size_]);
    std::memcpy(data_.get(), bytes.data(), size_);
    processor_ = std::make_unique<KorvelLiteProcessor>(
        std::string_view(data_.get(), size_));
  }
  const KorvelLiteProcessor& processor() const { return *processor_; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  std::unique_ptr<KorvelLiteProcessor> processor_;
};

// Random NORMAL pieces of 1 to 40 bytes from an alphabet of letters, the
// whitespace symbol and bytes that resemble it, first in the vocabulary so
// that their texts lie at the end of the buffer.
std::vector<TestPiece> RandomPieces(std::mt19937* rng, bool inner_symbols) {
  static const std::vector<std::string> kParts = {
      "a",           "b", "q", "\xc3\xa9", "\xe2\x96", "\xe2", "\xe2\x96\x82",
      "\xe2\x80\x94"};
  std::vector<TestPiece> pieces;
  std::vector<std::string> seen;
  while (pieces.size() < 300) {
    std::string text;
    if ((*rng)() % 2 == 0) text += kSymbol;
    const size_t target = 1 + (*rng)() % 40;
    while (text.size() < target) {
      if (inner_symbols && (*rng)() % 12 == 0) {
        text += kSymbol;
      } else {
        text += kParts[(*rng)() % kParts.size()];
      }
    }
    bool duplicate = false;
    for (const std::string& other : seen) duplicate |= other == text;
    if (duplicate) continue;
    seen.push_back(text);
    pieces.push_back({text, -1.0f});
  }
  pieces.push_back({"<unk>", 0.0f, PieceType_UNKNOWN});
  pieces.push_back({"<s>", 0.0f, PieceType_CONTROL});
  for (const TestPiece& piece : BytePieces()) pieces.push_back(piece);
  return pieces;
}

// Random vocabularies whose pieces straddle the limits of the fixed-block
// copy (lengths around 16 bytes, whitespace symbols and look-alike bytes
// anywhere, texts at the very end of the model buffer); outputs long enough to
// make the text grow several times.
TEST(DecodeTest, RandomVocabulariesMatchTheReference) {
  std::mt19937 rng(7);
  for (bool inner_symbols : {false, true}) {
    for (bool remove_extra : {false, true}) {
      ModelProtoT proto = MakeModel(RandomPieces(&rng, inner_symbols));
      proto.normalizer_spec = MakeNormalizerSpec(true, remove_extra);
      const ExactModel model(proto);
      const KorvelLiteProcessor& processor = model.processor();
      ASSERT_EQ(processor.status(), absl::StatusCode::kOk);
      const int vocab_size = static_cast<int>(processor.vocab_size());
      for (int round = 0; round < 300; ++round) {
        // Mostly NORMAL pieces, with byte runs (ASCII, characters and broken
        // sequences), control and unknown pieces between them; every tenth
        // sequence long enough to outgrow the first reservation.
        const int count = round % 10 == 0 ? 3000 : static_cast<int>(rng() % 60);
        std::vector<int> ids;
        for (int k = 0; k < count; ++k) {
          const int roll = static_cast<int>(rng() % 20);
          if (roll < 14) {
            ids.push_back(static_cast<int>(rng() % 300));
          } else if (roll < 19) {
            static const int kBytes[] = {'a',  'z',  ' ',  0xc3, 0xa9,
                                         0xe3, 0x81, 0x82, 0xf0, 0x9f,
                                         0x98, 0x80, 0xff};
            const int first = processor.model()->first_byte_piece_id;
            ids.push_back(first + kBytes[rng() % std::size(kBytes)]);
          } else {
            ids.push_back(static_cast<int>(rng() % vocab_size));
          }
        }
        ExpectDecodeMatchesReference(processor, ids);
        // The capacity of an earlier, longer output does not leak into the
        // result.
        ids.resize(ids.size() / 2);
        ExpectDecodeMatchesReference(processor, ids);
      }
    }
  }
}

// An out-of-range id after a long stretch, in the middle of a byte run and
// on the fast loop, empties both outputs.
TEST(DecodeTest, OutOfRangeAfterGrowth) {
  std::mt19937 rng(3);
  const ExactModel model(MakeModel(RandomPieces(&rng, true)));
  const KorvelLiteProcessor& processor = model.processor();
  const int first = processor.model()->first_byte_piece_id;
  std::vector<int> ids;
  for (int k = 0; k < 5000; ++k) ids.push_back(k % 300);
  ids.push_back(first + 0xe3);
  ids.push_back(static_cast<int>(processor.vocab_size()));
  std::string text;
  std::vector<std::string_view> surfaces;
  EXPECT_EQ(processor.Decode(ids, &text, &surfaces),
            absl::StatusCode::kOutOfRange);
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(surfaces.empty());
  text = "x";
  EXPECT_EQ(processor.Decode(ids, &text, nullptr),
            absl::StatusCode::kOutOfRange);
  EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace korvel::lite::testing
