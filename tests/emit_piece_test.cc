#include "korvel_lite/internal/emit_piece.h"

#include <string_view>
#include <vector>

#include "encoding_test_util.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace korvel::lite::testing {
namespace {

using ::testing::ElementsAre;

constexpr int kUnk = 0;
constexpr int kA = 1;

// <unk>, a, and with `byte_pieces` the 256 byte pieces from id 2.
ModelProtoT EmitModel(bool byte_pieces) {
  std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN},
                                   {"a", -1.0f}};
  if (byte_pieces) {
    for (const TestPiece& piece : BytePieces()) pieces.push_back(piece);
  }
  return MakeModel(pieces);
}

int Byte(unsigned char b) { return 2 + b; }

// Views must be compared by position, not only by content.
void ExpectView(std::string_view view, const char* data, size_t size) {
  EXPECT_EQ(static_cast<const void*>(view.data()),
            static_cast<const void*>(data));
  EXPECT_EQ(view.size(), size);
}

// Forward emission puts the whole surface on the last byte piece; reverse
// emission emits the last byte first, so the whole surface again comes last.
TEST(EmitPieceTest, ByteFallbackPutsWholeSurfaceOnTheLastBytePieceEmitted) {
  LoadedModel model(EmitModel(true));
  ASSERT_EQ(model->status(), absl::StatusCode::kOk);
  const std::string_view text = "\xc3\xa9";
  Encoded forward, reverse;
  model->EmitPiece<false>(kUnk, text, &forward.ids, &forward.surfaces);
  model->EmitPiece<true>(kUnk, text, &reverse.ids, &reverse.surfaces);
  EXPECT_THAT(forward.ids, ElementsAre(Byte(0xc3), Byte(0xa9)));
  EXPECT_THAT(reverse.ids, ElementsAre(Byte(0xa9), Byte(0xc3)));
  for (const Encoded* out : {&forward, &reverse}) {
    ASSERT_EQ(out->surfaces.size(), 2u);
    ExpectView(out->surfaces[0], text.data(), 0);
    ExpectView(out->surfaces[1], text.data(), 2);
  }
}

TEST(EmitPieceTest, ByteFallbackNeverMergesAndSkipsEmptySurfaces) {
  LoadedModel model(EmitModel(true));
  const std::string_view text = "\xc3\xa9z";
  Encoded out;
  model->EmitPiece<false>(kUnk, text.substr(0, 2), &out.ids, &out.surfaces);
  model->EmitPiece<false>(kUnk, text.substr(2, 1), &out.ids, &out.surfaces);
  model->EmitPiece<false>(kUnk, text.substr(3, 0), &out.ids, &out.surfaces);
  EXPECT_THAT(out.ids, ElementsAre(Byte(0xc3), Byte(0xa9), Byte('z')));
  ASSERT_EQ(out.surfaces.size(), 3u);
  ExpectView(out.surfaces[1], text.data(), 2);
  ExpectView(out.surfaces[2], text.data() + 2, 1);
}

TEST(EmitPieceTest, ByteFallbackWithoutUnknownPiece) {
  std::vector<TestPiece> pieces = BytePieces();
  pieces.push_back({"a", -1.0f});
  LoadedModel model(MakeModel(pieces));
  ASSERT_EQ(model->unk_id, -1);
  std::vector<int> ids;
  model->EmitPiece<false>(-1, "xy", &ids, nullptr);
  model->EmitPiece<false>(256, "a", &ids, nullptr);
  EXPECT_THAT(ids, ElementsAre('x', 'y', 256));
}

TEST(EmitPieceTest, AdjacentUnknownsMergeInBothDirections) {
  LoadedModel model(EmitModel(false));
  const std::string_view text = "xyz";
  Encoded forward, reverse;
  Encoded* f = &forward;
  Encoded* r = &reverse;
  model->EmitPiece<false>(kUnk, text.substr(0, 1), &f->ids, &f->surfaces);
  model->EmitPiece<false>(kUnk, text.substr(1, 2), &f->ids, &f->surfaces);
  model->EmitPiece<true>(kUnk, text.substr(2, 1), &r->ids, &r->surfaces);
  model->EmitPiece<true>(kUnk, text.substr(0, 2), &r->ids, &r->surfaces);
  for (const Encoded* out : {f, r}) {
    EXPECT_THAT(out->ids, ElementsAre(kUnk));
    ASSERT_EQ(out->surfaces.size(), 1u);
    ExpectView(out->surfaces[0], text.data(), 3);
  }
}

TEST(EmitPieceTest, KnownPieceSeparatesUnknowns) {
  LoadedModel model(EmitModel(false));
  const std::string_view text = "xay";
  Encoded out;
  model->EmitPiece<false>(kUnk, text.substr(0, 1), &out.ids, &out.surfaces);
  model->EmitPiece<false>(kA, text.substr(1, 1), &out.ids, &out.surfaces);
  model->EmitPiece<false>(kUnk, text.substr(2, 1), &out.ids, &out.surfaces);
  EXPECT_THAT(out.ids, ElementsAre(kUnk, kA, kUnk));
  EXPECT_THAT(out.surfaces, ElementsAre("x", "a", "y"));
}

TEST(EmitPieceTest, UnknownsMergeWithoutSurfaces) {
  LoadedModel model(EmitModel(false));
  std::vector<int> ids;
  model->EmitPiece<false>(kUnk, "x", &ids, nullptr);
  model->EmitPiece<false>(kUnk, "y", &ids, nullptr);
  model->EmitPiece<true>(kUnk, "w", &ids, nullptr);
  EXPECT_THAT(ids, ElementsAre(kUnk));
}

}  // namespace
}  // namespace korvel::lite::testing
