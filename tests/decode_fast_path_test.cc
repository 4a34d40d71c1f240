// Decode over random vocabularies whose pieces straddle the limits of the
// fixed-block copy (lengths around 16 bytes, whitespace symbols and look-alike
// bytes anywhere, texts at the very end of the model buffer), compared with a
// plain reference; outputs long enough to make the text grow several times.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_lite/korvel_lite_processor.h"
#include "korvel_lite/utf8.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::BytePieces;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::Pack;
using testing::TestPiece;

constexpr std::string_view kSymbol = "\xe2\x96\x81";

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
      "a", "b", "q", "\xc3\xa9", "\xe2\x96", "\xe2", "\xe2\x96\x82", "\xe2\x80\x94"};
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

std::string PlainDecode(const KorvelLiteProcessor& processor,
                        const std::vector<int>& ids, bool strip,
                        bool remove_extra) {
  const Model& model = *processor.model();
  std::string text, pending;
  bool at_start = true, consumed = false;
  auto flush = [&] {
    for (size_t p = 0; p < pending.size();) {
      const int length = WellFormedCharLength(std::string_view(pending).substr(p));
      text += length > 0 ? pending.substr(p, length)
                         : std::string(kReplacementCharacter);
      p += length > 0 ? length : 1;
    }
    pending.clear();
  };
  for (int id : ids) {
    const int type = processor.piece_type(id);
    const int first = model.first_byte_piece_id;
    if (type == PieceType_BYTE && first >= 0 && id >= first && id < first + 256) {
      pending.push_back(static_cast<char>(id - first));
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
    if (at_start && strip && piece.rfind(kSymbol, 0) == 0) {
      piece.erase(0, kSymbol.size());
      if (!remove_extra) consumed = true;
    }
    for (size_t at; (at = piece.find(kSymbol)) != std::string::npos;) {
      piece.replace(at, kSymbol.size(), " ");
    }
    text += piece;
  }
  flush();
  return text;
}

TEST(DecodeFastPathTest, RandomVocabulariesMatchThePlainRules) {
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
            static const int kBytes[] = {'a', 'z', ' ', 0xc3, 0xa9, 0xe3, 0x81,
                                         0x82, 0xf0, 0x9f, 0x98, 0x80, 0xff};
            const int first = processor.model()->first_byte_piece_id;
            ids.push_back(first + kBytes[rng() % std::size(kBytes)]);
          } else {
            ids.push_back(static_cast<int>(rng() % vocab_size));
          }
        }
        const std::string expected = PlainDecode(processor, ids, true, remove_extra);
        std::string text = "stale";
        ASSERT_EQ(processor.Decode(ids, &text, nullptr), absl::StatusCode::kOk);
        ASSERT_EQ(text, expected) << "round " << round;
        std::string with_views;
        std::vector<std::string_view> surfaces;
        ASSERT_EQ(processor.Decode(ids, &with_views, &surfaces),
                  absl::StatusCode::kOk);
        ASSERT_EQ(with_views, expected);
        ASSERT_EQ(surfaces.size(), ids.size());
        size_t end = 0;
        for (std::string_view view : surfaces) {
          ASSERT_EQ(view.data(), with_views.data() + end);
          end += view.size();
        }
        EXPECT_EQ(end, with_views.size());
        // The capacity of an earlier, longer output does not leak into the
        // result.
        ASSERT_EQ(processor.Decode(std::vector<int>(ids.begin(),
                                                    ids.begin() + ids.size() / 2),
                                   &text, nullptr),
                  absl::StatusCode::kOk);
        ASSERT_EQ(text, PlainDecode(processor,
                                    std::vector<int>(ids.begin(),
                                                     ids.begin() + ids.size() / 2),
                                    true, remove_extra));
      }
    }
  }
}

// An out-of-range id after a long stretch, in the middle of a byte run and
// on the fast loop, empties both outputs.
TEST(DecodeFastPathTest, OutOfRangeAfterGrowth) {
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
  EXPECT_EQ(processor.Decode(ids, &text, &surfaces), absl::StatusCode::kOutOfRange);
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(surfaces.empty());
  text = "x";
  EXPECT_EQ(processor.Decode(ids, &text, nullptr), absl::StatusCode::kOutOfRange);
  EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace korvel::lite
