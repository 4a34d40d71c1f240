// The tokenizer layer: opening models, encode options, special texts,
// offsets, and streaming decode against whole-sequence decoding.

#include "korvel_tokenizer/tokenizer.h"

#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "full_model_builder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "korvel_lite/utf8.h"
#include "korvel_model_converters/model_converter.h"
#include "mixed_script_models.h"
#include "test_models.h"

namespace korvel::tokenizer {
namespace {

using ::korvel::lite::testing::AddBytePieces;
using ::korvel::lite::testing::FullModelWithUnknown;
using ::korvel::lite::testing::FullPiece;
using ::korvel::lite::testing::MixedScriptLiteModel;
using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// A unigram model with byte fallback and chat markup: "<s>", "</s>",
// "<start_of_turn>" and "<end_of_turn>" are CONTROL pieces, and so is "\x81y",
// which text can only hold inside a character.
korvel::ModelProto ChatFullModel(bool add_dummy_prefix = true,
                                 bool remove_extra_whitespaces = true) {
  korvel::ModelProto full =
      FullModelWithUnknown({{"<s>", 0, FullPiece::CONTROL},
                            {"</s>", 0, FullPiece::CONTROL},
                            {"<start_of_turn>", 0, FullPiece::CONTROL},
                            {"<start_of", 0, FullPiece::CONTROL},
                            {"<end_of_turn>", 0, FullPiece::CONTROL},
                            {"\xe2\x96\x81", -2},
                            {"\xe2\x96\x81user", -3},
                            {"\xe2\x96\x81Hi", -3},
                            {"user", -4},
                            {"Hi", -4},
                            {"\xe2\x96\x81x\xe2\x96\x81y", -3},
                            {"H", -5},
                            {"i", -5},
                            {"u", -5},
                            {"s", -5},
                            {"e", -5},
                            {"r", -5},
                            {"<", -6},
                            {">", -6},
                            {"x", -6},
                            {"y", -6},
                            {"\x81y", 0, FullPiece::CONTROL}},
                           korvel::TrainerSpec::UNIGRAM);
  AddBytePieces(&full);
  full.mutable_trainer_spec()->set_byte_fallback(true);
  full.mutable_normalizer_spec()->set_add_dummy_prefix(add_dummy_prefix);
  full.mutable_normalizer_spec()->set_remove_extra_whitespaces(
      remove_extra_whitespaces);
  return full;
}

std::unique_ptr<Tokenizer> Load(const korvel::ModelProto& full) {
  absl::StatusOr<std::string> lite =
      lite::ToFlatbuffer(full, lite::ConverterOptions());
  EXPECT_TRUE(lite.ok()) << lite.status();
  absl::StatusOr<std::unique_ptr<Tokenizer>> tokenizer =
      Tokenizer::FromBytes(lite.ok() ? *lite : std::string());
  EXPECT_TRUE(tokenizer.ok()) << tokenizer.status();
  return tokenizer.ok() ? *std::move(tokenizer) : nullptr;
}

std::vector<std::string> Pieces(const Tokenizer& tokenizer,
                                const std::vector<int>& ids) {
  std::vector<std::string> pieces;
  for (int id : ids) pieces.emplace_back(tokenizer.IdToPiece(id));
  return pieces;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

TEST(TokenizerTest, OpenNamesTheFileAndTheReason) {
  const korvel::ModelProto full = ChatFullModel();
  lite::ModelProtoT broken = lite::testing::MakeModel(
      {{"<unk>", 0, lite::PieceType_UNKNOWN}, {"a", -1}});
  broken.unk_id = 7;
  struct Case {
    std::string name;
    std::string bytes;  // no file when "missing"
    absl::StatusCode code;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"missing", "", absl::StatusCode::kNotFound, "No such file"},
      {"empty", "", absl::StatusCode::kInvalidArgument, "(empty file)"},
      {"text", "not a model at all", absl::StatusCode::kInvalidArgument,
       "not a korvel lite model"},
      {"full", full.SerializeAsString(), absl::StatusCode::kInvalidArgument,
       "convert it first with `korvel convert`"},
      {"broken", lite::testing::Pack(broken),
       absl::StatusCode::kInvalidArgument, "breaks a load rule: unk_id"},
      {"lite", *lite::ToFlatbuffer(full, {}), absl::StatusCode::kOk, ""},
  };
  for (const Case& c : cases) {
    const std::string path = ::testing::TempDir() + "tokenizer_test_" + c.name;
    std::remove(path.c_str());
    if (c.name != "missing") WriteFile(path, c.bytes);
    for (const bool mmap : {false, true}) {
      const auto tokenizer = Tokenizer::Open(path, {mmap});
      EXPECT_EQ(tokenizer.status().code(), c.code) << c.name;
      if (!tokenizer.ok()) {
        EXPECT_THAT(std::string(tokenizer.status().message()),
                    AllOf(HasSubstr(path), HasSubstr(c.reason)));
      }
    }
    std::remove(path.c_str());
  }
  const auto directory = Tokenizer::Open(::testing::TempDir());
  EXPECT_THAT(std::string(directory.status().message()),
              HasSubstr("not a regular file"));
}

TEST(TokenizerTest, EncodeOptionsAndSpecialTexts) {
  const std::unique_ptr<Tokenizer> tokenizer = Load(ChatFullModel());
  ASSERT_NE(tokenizer, nullptr);
  const std::string chat = "<start_of_turn>user Hi<end_of_turn>";
  struct Case {
    std::string text;
    EncodeOptions options;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"Hi", {}, {"\xe2\x96\x81Hi"}},
      {"Hi", {true, true, false}, {"<s>", "\xe2\x96\x81Hi", "</s>"}},
      {"", {true, true, false}, {"<s>", "</s>"}},
      {chat,
       {false, false, true},
       {"<start_of_turn>", "\xe2\x96\x81user", "\xe2\x96\x81Hi",
        "<end_of_turn>"}},
      {"<start_of<s>", {false, false, true}, {"<start_of", "<s>"}},
      {"<s></s>", {false, false, true}, {"<s>", "</s>"}},
      {"<unk>Hi", {false, false, true}, {"<unk>", "\xe2\x96\x81Hi"}},
      {"<s>", {}, {"\xe2\x96\x81", "<", "s", ">"}},
      // "\x81y" is a special text, but here it starts inside a character.
      {"\xe2\x96\x81y",
       {false, false, true},
       {"\xe2\x96\x81", "\xe2\x96\x81", "y"}},
  };
  for (const Case& c : cases) {
    std::vector<int> ids;
    ASSERT_TRUE(tokenizer->Encode(c.text, c.options, &ids).ok()) << c.text;
    EXPECT_THAT(Pieces(*tokenizer, ids), ElementsAreArray(c.pieces)) << c.text;
  }
  std::vector<int> ids;
  ASSERT_TRUE(tokenizer->Encode(chat, {}, &ids).ok());
  EXPECT_GT(ids.size(), 10u);  // the markup stays text when not parsed
}

// keep_special writes control pieces' texts where they stand; the text
// around them is what Decode gives without it.
TEST(TokenizerTest, DecodeKeepsSpecialPiecesOnRequest) {
  const std::unique_ptr<Tokenizer> tokenizer = Load(ChatFullModel());
  ASSERT_NE(tokenizer, nullptr);
  std::vector<int> ids;  // a control piece between the bytes of "é" too
  for (const char* piece : {"<start_of_turn>", "\xe2\x96\x81user", "<s>",
                            "\xe2\x96\x81Hi", "<0xC3>", "</s>", "<0xA9>"}) {
    ids.push_back(tokenizer->PieceToId(piece));
  }
  std::string plain, kept;
  ASSERT_TRUE(tokenizer->Decode(ids, &plain).ok());
  EXPECT_EQ(plain, "user Hi\xef\xbf\xbd\xef\xbf\xbd");
  ASSERT_TRUE(tokenizer->Decode(ids, {/*keep_special=*/true}, &kept).ok());
  EXPECT_EQ(kept, "<start_of_turn>user<s> Hi\xef\xbf\xbd</s>\xef\xbf\xbd");
  EXPECT_EQ(tokenizer->Decode({1, 9999}, {true}, &kept).code(),
            absl::StatusCode::kOutOfRange);
}

TEST(TokenizerTest, Offsets) {
  const std::unique_ptr<Tokenizer> tokenizer = Load(ChatFullModel());
  ASSERT_NE(tokenizer, nullptr);
  struct Case {
    std::string text;
    std::vector<Offset> offsets;  // with BOS, EOS and special texts
  };
  const std::vector<Case> cases = {
      // Removed whitespace goes with the piece that follows it.
      {"Hi  user", {{0, 0}, {0, 2}, {2, 8}, {8, 8}}},
      // One byte piece covers the whole character, the others are empty.
      {" Hi\xc3\xa9x", {{0, 0}, {1, 3}, {3, 5}, {5, 5}, {5, 6}, {6, 6}}},
      {"\xe4\xb8\x80", {{0, 0}, {0, 0}, {0, 3}, {3, 3}, {3, 3}, {3, 3}}},
      {"<start_of_turn>Hi<end_of_turn>  ",
       {{0, 0}, {0, 15}, {15, 17}, {17, 30}, {32, 32}}},
  };
  for (const Case& c : cases) {
    std::vector<int> ids;
    std::vector<int> ids_with_offsets;
    std::vector<Offset> offsets;
    const EncodeOptions options = {true, true, true};
    ASSERT_TRUE(tokenizer->Encode(c.text, options, &ids).ok());
    ASSERT_TRUE(
        tokenizer->Encode(c.text, options, &ids_with_offsets, &offsets).ok());
    EXPECT_EQ(ids_with_offsets, ids) << c.text;
    ASSERT_EQ(offsets.size(), c.offsets.size()) << c.text;
    for (size_t i = 0; i < offsets.size(); ++i) {
      EXPECT_EQ(offsets[i], c.offsets[i]) << c.text << " id " << i;
    }
  }
}

// Texts with unknown characters, byte fallback, broken UTF-8, characters
// that normalization changes and whitespace runs.
std::vector<std::string> Texts() {
  return {"Hi user", "  Hi\xc3\xa9 x y\xe2\x82\xac",
          "\xf0\x9f\x98\x80Hi \xe4\xb8\x80\xe4\xb8\x81",
          "\xff\xfe broken \x80 \xe2\x96 \xf0\x9f\x98 end",
          "\xd0\xb0\xd0\xb1 \xce\xb1 x\xef\xac\x81\xe2\x80\xa6 \xef\xbc\xa8 "};
}

// Offsets lie within the text, in order, and encoding with them gives the
// ids of encoding without them.
void CheckOffsets(const Tokenizer& tokenizer) {
  for (const std::string& text : Texts()) {
    std::vector<int> ids;
    std::vector<int> ids_with_offsets;
    std::vector<Offset> offsets;
    ASSERT_TRUE(tokenizer.Encode(text, {}, &ids).ok());
    ASSERT_TRUE(tokenizer.Encode(text, {}, &ids_with_offsets, &offsets).ok());
    EXPECT_EQ(ids_with_offsets, ids);
    ASSERT_EQ(offsets.size(), ids.size());
    size_t last_end = 0;
    for (const Offset& offset : offsets) {
      EXPECT_TRUE(last_end <= offset.begin && offset.begin <= offset.end &&
                  offset.end <= text.size());
      last_end = offset.end;
    }
  }
}

// Id sequences of every kind: cuts of real encodings (with byte fallback and
// broken UTF-8), mixed with random byte pieces, control, unknown and
// whitespace pieces, and ids outside the vocabulary.
std::vector<std::vector<int>> IdSequences(const Tokenizer& tokenizer,
                                          std::mt19937& rng) {
  std::vector<int> real;
  for (const std::string& text : Texts()) {
    std::vector<int> ids;
    EXPECT_TRUE(
        tokenizer.Encode(text, {tokenizer.bos_id() >= 0, false, false}, &ids)
            .ok());
    real.insert(real.end(), ids.begin(), ids.end());
  }
  const int first_byte = tokenizer.PieceToId("<0x00>");
  const int vocab = tokenizer.vocab_size();
  const std::vector<int> specials = {tokenizer.unk_id(), tokenizer.bos_id(),
                                     tokenizer.PieceToId("\xe2\x96\x81"), -1,
                                     vocab};
  std::vector<std::vector<int>> sequences;
  for (int n = 0; n < 400; ++n) {
    std::vector<int> ids;
    const size_t parts = 1 + rng() % 4;
    for (size_t p = 0; p < parts; ++p) {
      const size_t begin = rng() % real.size();
      const size_t end = std::min(real.size(), begin + rng() % 12);
      ids.insert(ids.end(), real.begin() + begin, real.begin() + end);
      for (size_t k = rng() % 4; k > 0; --k) {
        const unsigned choice = rng() % 8;
        if (choice < 4 && first_byte >= 0) {
          const int byte = choice < 2 ? 0x80 + rng() % 0x80 : rng() % 0x100;
          ids.push_back(first_byte + byte);
        } else if (choice < 7) {
          ids.push_back(specials[rng() % (specials.size() - 2)]);
        } else if (rng() % 8 == 0) {
          ids.push_back(specials[specials.size() - 1 - rng() % 2]);
        } else {
          ids.push_back(static_cast<int>(rng() % vocab));
        }
      }
    }
    sequences.push_back(std::move(ids));
  }
  return sequences;
}

// Streams every sequence through one DecodeStream and compares the pieces
// with whole-sequence decoding.
void CheckStreamingDecode(const Tokenizer& tokenizer) {
  std::mt19937 rng(17);
  DecodeStream stream = tokenizer.NewDecodeStream();
  for (const std::vector<int>& ids : IdSequences(tokenizer, rng)) {
    std::string whole;
    const absl::Status whole_status = tokenizer.Decode(ids, &whole);
    absl::Status first_failure;
    std::vector<int> accepted;
    std::string streamed;
    for (int id : ids) {
      const size_t before = streamed.size();
      const absl::Status status = stream.Step(id, &streamed);
      if (status.ok()) {
        accepted.push_back(id);
        EXPECT_TRUE(
            lite::IsWellFormedUtf8(std::string_view(streamed).substr(before)));
      } else if (first_failure.ok()) {
        first_failure = status;
      }
    }
    ASSERT_TRUE(stream.Finish(&streamed).ok());
    EXPECT_EQ(first_failure, whole_status);
    std::string expected;
    ASSERT_TRUE(tokenizer.Decode(accepted, &expected).ok());
    EXPECT_EQ(streamed, expected) << ::testing::PrintToString(ids);
  }
}

TEST(TokenizerTest, StreamingDecodeAndOffsetsOverModels) {
  for (bool prefix : {true, false}) {
    for (bool remove_extra : {true, false}) {
      SCOPED_TRACE(absl::StrCat(prefix, remove_extra));
      CheckStreamingDecode(*Load(ChatFullModel(prefix, remove_extra)));
    }
  }
  for (auto type : {korvel::TrainerSpec::BPE, korvel::TrainerSpec::UNIGRAM}) {
    absl::StatusOr<std::unique_ptr<Tokenizer>> tokenizer =
        Tokenizer::FromBytes(MixedScriptLiteModel(type, 1500));
    ASSERT_TRUE(tokenizer.ok()) << tokenizer.status();
    CheckStreamingDecode(**tokenizer);
    CheckOffsets(**tokenizer);
    std::vector<int> ids;
    EXPECT_EQ((*tokenizer)->Encode("a", {false, true, false}, &ids).code(),
              absl::StatusCode::kFailedPrecondition);  // the model has no EOS
  }
}

}  // namespace
}  // namespace korvel::tokenizer
