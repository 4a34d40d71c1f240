// KorvelLiteProcessor::Decode: whitespace and dummy-prefix rules, control and
// unknown pieces, byte runs, views, and agreement of the fast paths with the
// plain ones.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::BytePieces;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::PackShared;
using testing::TestPiece;

constexpr char kFffd[] = "\xef\xbf\xbd";

// Pieces without a whitespace symbol after their first character.
std::vector<TestPiece> BasePieces() {
  std::vector<TestPiece> pieces = {
      {"<unk>", 0.0f, PieceType_UNKNOWN},
      {"<s>", 0.0f, PieceType_CONTROL},
      {"\xe2\x96\x81Hello", -1.0f},
      {"\xe2\x96\x81world", -1.0f},
      {"\xe2\x96\x81Hi", -1.0f},
      {"\xe2\x96\x81", -1.0f},
      {"\xe2\x96\x81" "a", -1.0f},
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
  ModelOptions(bool add_dummy_prefix = true, bool remove_extra_whitespaces = true,
               bool inner_pieces = false, bool byte_pieces = true,
               bool spec = true, std::string unk_surface = "")
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

std::unique_ptr<KorvelLiteProcessor> MakeProcessor(const ModelOptions& options) {
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
    model.normalizer_spec = MakeNormalizerSpec(options.add_dummy_prefix,
                                               options.remove_extra_whitespaces);
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

std::string Byte(int value) { return ByteToPiece(static_cast<unsigned char>(value)); }

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
      {"dummy prefix dropped", kDefault, {"\xe2\x96\x81Hello", "\xe2\x96\x81world"},
       "Hello world", {{0, 5}, {5, 6}}},
      {"no prefix, no removal", kNoPrefixNoRemove,
       {"\xe2\x96\x81Hello", "\xe2\x96\x81world"}, " Hello world", {{0, 6}, {6, 6}}},
      {"no spec strips", {true, true, false, true, false},
       {"\xe2\x96\x81Hi"}, "Hi", {{0, 2}}},
      {"leading control", kDefault, {"<s>", "\xe2\x96\x81Hi"}, "Hi",
       {{0, 0}, {0, 2}}},
      {"leading unknown", kDefault, {"<unk>", "\xe2\x96\x81Hi"},
       " \xe2\x81\x87  Hi", {{0, 5}, {5, 3}}},
      {"custom unknown surface", {true, true, false, true, true, "[?]"},
       {"a", "<unk>"}, "a[?]", {{0, 1}, {1, 3}}},
      {"removal drops every leading symbol", kDefault,
       {"\xe2\x96\x81", "\xe2\x96\x81", "\xe2\x96\x81" "a"}, "a",
       {{0, 0}, {0, 0}, {0, 1}}},
      {"prefix only drops one symbol", kPrefixOnly,
       {"\xe2\x96\x81", "\xe2\x96\x81", "\xe2\x96\x81" "a"}, "  a",
       {{0, 0}, {0, 1}, {1, 2}}},
      {"nothing dropped", kNoPrefixNoRemove,
       {"\xe2\x96\x81", "\xe2\x96\x81", "\xe2\x96\x81" "a"}, "   a",
       {{0, 1}, {1, 1}, {2, 2}}},
      {"plain space never dropped", kDefault, {" x", "a"}, " xa", {{0, 2}, {2, 1}}},
      {"partial symbol copied", kDefault, {"a", "\xe2\x96"}, "a\xe2\x96",
       {{0, 1}, {1, 2}}},
      {"other piece types decode as text", kDefault, {"<sep>", "zz"}, "<sep>zz",
       {{0, 5}, {5, 2}}},
      {"byte run", kDefault, {Byte(0xe3), Byte(0x81), Byte(0x82)},
       "\xe3\x81\x82", {{0, 0}, {0, 0}, {0, 3}}},
      {"truncated byte run", kDefault, {Byte(0xe3), Byte(0x81)},
       std::string(kFffd) + kFffd, {{0, 3}, {3, 3}}},
      {"overlong bytes", kDefault, {Byte(0xc0), Byte(0xaf)},
       std::string(kFffd) + kFffd, {{0, 3}, {3, 3}}},
      {"surrogate bytes", kDefault, {Byte(0xed), Byte(0xa0), Byte(0x80)},
       std::string(kFffd) + kFffd + kFffd, {{0, 3}, {3, 3}, {6, 3}}},
      {"control splits a byte run", kDefault,
       {Byte(0xe3), "<s>", Byte(0x81), Byte(0x82)},
       std::string(kFffd) + kFffd + kFffd, {{0, 3}, {3, 0}, {3, 3}, {6, 3}}},
      {"bytes around a character", kDefault,
       {Byte('A'), Byte(0xff), Byte(0xc3), Byte(0xa9), Byte('B')},
       std::string("A") + kFffd + "\xc3\xa9" "B",
       {{0, 1}, {1, 3}, {4, 0}, {4, 2}, {6, 1}}},
      {"byte run ends the text start", kDefault,
       {Byte('A'), "\xe2\x96\x81Hi"}, "A Hi", {{0, 1}, {1, 3}}},
      {"byte-typed piece outside the byte range", {true, true, false, false},
       {"<0x41>"}, "<0x41>", {{0, 6}}},
      {"inner symbols become spaces", kInner, {"a", "a\xe2\x96\x81", "a"}, "aa a",
       {{0, 1}, {1, 2}, {3, 1}}},
      {"one leading symbol dropped, next kept", kInner,
       {"\xe2\x96\x81\xe2\x96\x81x"}, " x", {{0, 2}}},
      {"look-alike bytes kept", kInner,
       {"\xe2\x96\x82x\xe2\x96\x81", "x\xe2\x96y\xe2\xe2\x96\x81\xe2"},
       "\xe2\x96\x82x x\xe2\x96y\xe2 \xe2", {{0, 5}, {5, 7}}},
      {"trailing symbol becomes a trailing space", kInner,
       {"\xe2\x96\x81Hi", "a\xe2\x96\x81"}, "Hia ", {{0, 2}, {2, 2}}},
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
    std::string plain = "stale";
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
  const std::string expected = bytes.substr(0, bytes.size() - 3) + kFffd +
                               kFffd + kFffd;
  EXPECT_EQ(text, expected);
  ASSERT_EQ(surfaces.size(), ids.size());
  EXPECT_EQ(surfaces[65], "\xe3\x81\x82");
  EXPECT_TRUE(surfaces[64].empty());
  std::string plain;
  ASSERT_EQ(processor->Decode(ids, &plain, nullptr), absl::StatusCode::kOk);
  EXPECT_EQ(plain, expected);
}

// What decoding must produce, written as plainly as possible.
std::string ReferenceDecode(const KorvelLiteProcessor& processor,
                            const std::vector<int>& ids, bool strip,
                            bool remove_extra) {
  const Model& model = *processor.model();
  std::string text, pending;
  bool at_start = true, consumed = false;
  auto flush = [&] {
    for (size_t p = 0; p < pending.size();) {
      const int length = WellFormedCharLength(std::string_view(pending).substr(p));
      text += length > 0 ? pending.substr(p, length) : std::string(kFffd);
      p += length > 0 ? length : 1;
    }
    pending.clear();
  };
  for (int id : ids) {
    const int type = processor.piece_type(id);
    if (type == PieceType_BYTE && model.first_byte_piece_id >= 0 &&
        id >= model.first_byte_piece_id && id < model.first_byte_piece_id + 256) {
      pending.push_back(static_cast<char>(id - model.first_byte_piece_id));
      continue;
    }
    flush();
    if (type == PieceType_UNKNOWN) {
      text += model.unk_surface();
      at_start = false;
      continue;
    }
    if (type == PieceType_CONTROL) continue;
    if (consumed || !text.empty()) at_start = false;
    std::string piece(processor.IdToPiece(id));
    if (at_start && strip && piece.rfind("\xe2\x96\x81", 0) == 0) {
      piece.erase(0, 3);
      if (!remove_extra) consumed = true;
    }
    for (size_t at; (at = piece.find("\xe2\x96\x81")) != std::string::npos;) {
      piece.replace(at, 3, " ");
    }
    text += piece;
  }
  flush();
  return text;
}

// Random id sequences: the text must be the same with and without views, on
// the cheap whitespace path and the searching one, and equal the reference;
// the views must tile the text in order.
TEST(DecodeTest, RandomIdsAgreeAcrossPaths) {
  std::mt19937 rng(99);
  for (bool add_dummy_prefix : {false, true}) {
    for (bool remove_extra : {false, true}) {
      const auto cheap = MakeProcessor({add_dummy_prefix, remove_extra, false});
      const auto searching = MakeProcessor({add_dummy_prefix, remove_extra, true});
      const int base_size = static_cast<int>(BasePieces().size());
      const int full_size = static_cast<int>(searching->vocab_size());
      for (int round = 0; round < 2000; ++round) {
        const bool base_only = round % 2 == 0;
        std::vector<int> ids(std::uniform_int_distribution<int>(0, 40)(rng));
        for (int& id : ids) {
          // Favour the named pieces and a few byte values that form
          // characters, so that runs hold both good and bad sequences.
          if (rng() % 3 == 0) {
            static const int kBytes[] = {'a', ' ', 0xc3, 0xa9, 0xe3, 0x81, 0x82,
                                         0xf0, 0x9f, 0x98, 0x80, 0xff};
            id = cheap->PieceToId(Byte(kBytes[rng() % std::size(kBytes)]));
          } else {
            id = static_cast<int>(rng() % (base_only ? 12 : full_size));
            if (!base_only && rng() % 2 == 0) {
              id = base_size + static_cast<int>(rng() % (full_size - base_size));
            }
          }
        }
        const KorvelLiteProcessor& processor = base_only ? *cheap : *searching;
        std::string with_views, without_views;
        std::vector<std::string_view> surfaces;
        ASSERT_EQ(processor.Decode(ids, &with_views, &surfaces),
                  absl::StatusCode::kOk);
        ASSERT_EQ(processor.Decode(ids, &without_views, nullptr),
                  absl::StatusCode::kOk);
        EXPECT_EQ(with_views, without_views);
        EXPECT_EQ(with_views,
                  ReferenceDecode(processor, ids,
                                  add_dummy_prefix || remove_extra, remove_extra));
        if (base_only) {
          std::string other;
          ASSERT_EQ(searching->Decode(ids, &other, nullptr), absl::StatusCode::kOk);
          EXPECT_EQ(other, with_views);
        }
        ASSERT_EQ(surfaces.size(), ids.size());
        size_t end = 0;
        for (std::string_view view : surfaces) {
          ASSERT_EQ(view.data(), with_views.data() + end);
          end += view.size();
        }
        EXPECT_EQ(end, with_views.size());
      }
    }
  }
}

}  // namespace
}  // namespace korvel::lite
