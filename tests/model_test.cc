#include "korvel_lite/model.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "full_model_builder.h"
#include "gtest/gtest.h"
#include "korvel_lite/load_diagnostic.h"
#include "korvel_model_converters/model_converter.h"
#include "test_models.h"

namespace korvel::lite {
namespace {

using testing::BuildCharsMap;
using testing::BuildTrieBlob;
using testing::BytePieces;
using testing::MakeModel;
using testing::MakeNormalizerSpec;
using testing::Pack;
using testing::TestPiece;
using R = LoadRule;

constexpr auto kOk = absl::StatusCode::kOk;
constexpr auto kInvalid = absl::StatusCode::kInvalidArgument;
constexpr auto kInternal = absl::StatusCode::kInternal;

ModelProtoT BaseModel() {
  return MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                    {"<s>", 0.0f, PieceType_CONTROL},
                    {"a", -1.0f},
                    {"b", -5.0f},
                    {"ab", -2.0f}});
}

// A mutation of the lite form of a small byte-level model.
std::function<void(ModelProtoT*)> ByteLevel(void (*edit)(ModelProtoT*)) {
  return [edit](ModelProtoT* m) {
    *m = ModelProtoT();
    GetModelProto(
        ToFlatbuffer(testing::ByteLevelFullModel({"ab"}, {{1, ""}}), {})
            ->data())
        ->UnPackTo(m);
    edit(m);
  };
}

absl::StatusCode LoadStatus(const ModelProtoT& object) {
  const std::string bytes = Pack(object);
  return Model(bytes).status();
}

// Rebuilds the piece trie after the test changed the piece texts.
void RebuildPieceTrie(ModelProtoT* model) {
  std::vector<std::pair<std::string, int>> pairs;
  for (size_t i = 0; i < model->pieces.size(); ++i) {
    pairs.emplace_back(model->pieces[i], static_cast<int>(i));
  }
  model->piece_trie = BuildTrieBlob(pairs);
}

TEST(ModelLoadTest, BufferFraming) {
  EXPECT_EQ(Model(std::string_view()).status(), kInvalid);
  const std::string eleven(11, '\0');
  EXPECT_EQ(Model(eleven).status(), kInvalid);
  EXPECT_EQ(Model(std::string_view()).broken_rule(), LoadRule::kBufferFraming);
  EXPECT_EQ(Model(eleven).broken_rule(), LoadRule::kFlatbuffer);
  for (int rule = 1; rule <= static_cast<int>(LoadRule::kByteLevelBytes);
       ++rule) {
    EXPECT_NE(*DescribeLoadRule(static_cast<LoadRule>(rule)), '\0') << rule;
  }

  const std::string good = Pack(BaseModel());
  EXPECT_EQ(Model(good).status(), kOk);
  // The same bytes one byte off a 4-byte boundary.
  std::string shifted(good.size() + 1, '\0');
  std::memcpy(&shifted[1], good.data(), good.size());
  EXPECT_EQ(Model(std::string_view(shifted.data() + 1, good.size())).status(),
            kInvalid);

  // Any identifier bytes are ignored.
  std::string identified = good;
  std::memcpy(&identified[4], "ZZZZ", 4);
  EXPECT_EQ(Model(identified).status(), kOk);

  // A root offset that is zero, negative or past the end.
  for (int32_t root : {0, -4, static_cast<int32_t>(good.size())}) {
    std::string bad = good;
    std::memcpy(&bad[0], &root, 4);
    EXPECT_EQ(Model(bad).status(), kInvalid) << root;
  }
  // Truncated buffers fail verification.
  for (size_t cut : {size_t{12}, good.size() / 2, good.size() - 4}) {
    const std::string truncated = good.substr(0, cut);
    EXPECT_EQ(Model(truncated).status(), kInvalid) << cut;
  }
}

TEST(ModelLoadTest, MissingTerminatorOrOverlongVectorFailsVerification) {
  ModelProtoT object = BaseModel();
  object.unk_surface = "QQQQ";
  std::string bytes = Pack(object);
  const size_t at = bytes.find("QQQQ");
  ASSERT_NE(at, std::string::npos);
  std::string unterminated = bytes;
  unterminated[at + 4] = 'x';
  EXPECT_EQ(Model(unterminated).status(), kInvalid);

  std::string overlong = bytes;
  const uint32_t huge = 0x10000;
  std::memcpy(&overlong[at - 4], &huge, 4);
  EXPECT_EQ(Model(overlong).status(), kInvalid);
}

TEST(ModelLoadTest, Defaults) {
  ModelProtoT object = BaseModel();
  object.unk_id = 0;
  const std::string bytes = Pack(object);
  Model model(bytes);
  ASSERT_EQ(model.status(), kOk);
  EXPECT_EQ(model.unk_id, 0);
  EXPECT_EQ(model.bos_id, -1);
  EXPECT_EQ(model.eos_id, -1);
  EXPECT_EQ(model.pad_id, -1);
  EXPECT_EQ(model.model_type, ModelType_UNIGRAM);
  EXPECT_EQ(model.unk_surface(), " \xe2\x81\x87 ");
  EXPECT_EQ(model.normalizer.spec, nullptr);
  EXPECT_TRUE(model.add_dummy_prefix);
  EXPECT_FLOAT_EQ(model.unk_score, -15.0f);
  EXPECT_EQ(model.first_byte_piece_id, -1);
  EXPECT_EQ(model.PieceToId(""), 0);
  EXPECT_EQ(model.PieceToId("ab"), 4);
  EXPECT_EQ(model.PieceToId("abc"), 0);
  EXPECT_EQ(model.IdToPiece(3), "b");
  EXPECT_EQ(model.bigram_root_children['a'], -1);

  object.normalizer_spec = std::make_unique<NormalizerSpecT>();
  const std::string with_spec = Pack(object);
  Model normalized(with_spec);
  ASSERT_EQ(normalized.status(), kOk);
  EXPECT_TRUE(normalized.normalizer.add_dummy_prefix);
  EXPECT_TRUE(normalized.normalizer.remove_extra_whitespaces);
  EXPECT_TRUE(normalized.normalizer.escape_whitespaces);
  EXPECT_FALSE(normalized.normalizer.treat_whitespace_as_suffix);
  EXPECT_FALSE(normalized.normalizer.charsmap_trie.bound());
  EXPECT_EQ(normalized.normalizer.user_defined_trie,
            &normalized.user_defined_trie);
}

struct Mutation {
  const char* name;
  std::function<void(ModelProtoT*)> apply;
  absl::StatusCode expected;
  LoadRule rule;  // The rule the diagnostic names.
};

// Checks the status and that the diagnostic names the broken rule.
void ExpectLoad(const Mutation& mutation, const ModelProtoT& object) {
  const std::string bytes = Pack(object);
  const Model model(bytes);
  EXPECT_EQ(model.status(), mutation.expected) << mutation.name;
  EXPECT_EQ(model.broken_rule(), mutation.rule) << mutation.name;
  EXPECT_EQ(ExplainLoadFailure(bytes), DescribeLoadRule(mutation.rule))
      << mutation.name;
}

TEST(ModelLoadTest, ContentRules) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Mutation mutations[] = {
      {"no pieces", [](ModelProtoT* m) { *m = ModelProtoT(); }, kInvalid,
       R::kPieceList},
      {"unk_id at n", [](ModelProtoT* m) { m->unk_id = 5; }, kInternal,
       R::kSpecialIds},
      {"unk_id -2", [](ModelProtoT* m) { m->unk_id = -2; }, kInternal,
       R::kSpecialIds},
      {"bos_id at n", [](ModelProtoT* m) { m->bos_id = 5; }, kInternal,
       R::kSpecialIds},
      {"eos_id -2", [](ModelProtoT* m) { m->eos_id = -2; }, kInternal,
       R::kSpecialIds},
      {"pad_id -1", [](ModelProtoT* m) { m->pad_id = -1; }, kOk, R::kNone},
      {"bos_id last", [](ModelProtoT* m) { m->bos_id = 4; }, kOk, R::kNone},
      {"no piece trie", [](ModelProtoT* m) { m->piece_trie.clear(); },
       kInternal, R::kPieceTrie},
      {"short piece trie", [](ModelProtoT* m) { m->piece_trie.resize(1020); },
       kInternal, R::kPieceTrie},
      {"no scores", [](ModelProtoT* m) { m->scores.clear(); }, kInternal,
       R::kScoreCount},
      {"short scores", [](ModelProtoT* m) { m->scores.pop_back(); }, kInternal,
       R::kScoreCount},
      {"no types", [](ModelProtoT* m) { m->types.clear(); }, kInternal,
       R::kTypeCount},
      {"long types",
       [](ModelProtoT* m) { m->types.push_back(PieceType_NORMAL); }, kInternal,
       R::kTypeCount},
      {"bpe without bpe_scores",
       [](ModelProtoT* m) { m->model_type = ModelType_BPE; }, kInternal,
       R::kScoreCount},
      {"bpe ignores NaN scores",
       [nan](ModelProtoT* m) {
         m->model_type = ModelType_BPE;
         m->bpe_scores = {0, 0, 0, 0, 0};
         m->scores[2] = nan;
       },
       kOk, R::kNone},
      {"model type 3 is unigram",
       [](ModelProtoT* m) { m->model_type = static_cast<ModelType>(3); }, kOk,
       R::kNone},
      {"NaN score", [nan](ModelProtoT* m) { m->scores[2] = nan; }, kInternal,
       R::kFiniteScores},
      {"infinite score", [inf](ModelProtoT* m) { m->scores[1] = -inf; },
       kInternal, R::kFiniteScores},
      {"direct mapping flags of wrong length",
       [](ModelProtoT* m) {
         m->direct_mapping_flags = {1, 1};
       },
       kInternal, R::kDirectMappingFlagCount},
      {"direct mapping flags of length n",
       [](ModelProtoT* m) {
         m->direct_mapping_flags = {1, 1, 0, 1, 1};
       },
       kOk, R::kNone},
      {"duplicate piece",
       [](ModelProtoT* m) {
         m->pieces[3] = "a";
         m->piece_trie =
             BuildTrieBlob({{"<unk>", 0}, {"<s>", 1}, {"a", 2}, {"ab", 4}});
       },
       kInternal, R::kPieceInTrie},
      {"piece trie maps to another id",
       [](ModelProtoT* m) {
         m->piece_trie = BuildTrieBlob(
             {{"<unk>", 0}, {"<s>", 1}, {"a", 3}, {"b", 2}, {"ab", 4}});
       },
       kInternal, R::kPieceInTrie},
      {"empty piece",
       [](ModelProtoT* m) {
         m->pieces[3] = "";
         m->piece_trie =
             BuildTrieBlob({{"<unk>", 0}, {"<s>", 1}, {"a", 2}, {"ab", 4}});
       },
       kInternal, R::kPieceInTrie},
      {"piece of 4096 bytes",
       [](ModelProtoT* m) {
         m->pieces[3] = std::string(4096, 'z');
         RebuildPieceTrie(m);
       },
       kOk, R::kNone},
      {"piece of 4097 bytes",
       [](ModelProtoT* m) {
         m->pieces[3] = std::string(4097, 'z');
         RebuildPieceTrie(m);
       },
       kInternal, R::kPieceLength},
      {"unk_surface of 4097 bytes",
       [](ModelProtoT* m) { m->unk_surface = std::string(4097, 'u'); },
       kInternal, R::kUnknownSurfaceLength},
      {"no unknown piece and no bytes", [](ModelProtoT* m) { m->unk_id = -1; },
       kInternal, R::kUnknownOrBytePieces},
      {"user-defined trie value out of range",
       [](ModelProtoT* m) {
         m->user_defined_trie = BuildTrieBlob({{"q", 5}});
       },
       kInternal, R::kUserDefinedTrie},
      {"bad bigram trie position",
       [](ModelProtoT* m) {
         m->bigram_trie = BuildTrieBlob({{"ab", 100000}});
       },
       kInternal, R::kBigramTrie},
      // Byte-level models; the second row is what a runtime without
      // byte-level support sees.
      {"byte-level", ByteLevel([](auto*) {}), kOk, R::kNone},
      {"byte-level seen without byte_level",
       ByteLevel([](auto* m) { m->byte_level.reset(); }), kInternal,
       R::kScoreCount},
      {"byte-level with scores",
       ByteLevel([](auto* m) { m->scores.assign(m->pieces.size(), 0.0f); }),
       kInternal, R::kByteLevelLayout},
      {"byte-level without bpe_scores",
       ByteLevel([](auto* m) { m->bpe_scores.clear(); }), kInternal,
       R::kByteLevelLayout},
      {"byte-level of type BPE",
       ByteLevel([](auto* m) { m->model_type = ModelType_BPE; }), kInternal,
       R::kByteLevelLayout},
      {"byte-level without byte 0xff", ByteLevel([](auto* m) {
         m->pieces[255] = "zz";
         RebuildPieceTrie(m);
       }),
       kInternal, R::kByteLevelBytes},
      {"byte-level with a second BYTE piece",
       ByteLevel([](auto* m) { m->types[256] = PieceType_BYTE; }), kInternal,
       R::kByteLevelBytes},
      {"byte-level with a pattern step", ByteLevel([](auto* m) {
         m->byte_level->pretokenizer[0]->family = 0;
         m->byte_level->pretokenizer[0]->pattern = "\\s+";
       }),
       pretokenizer::HasRegexEngine() ? kOk : absl::StatusCode::kUnimplemented,
       pretokenizer::HasRegexEngine() ? R::kNone : R::kRegexEngine},
  };
  for (const Mutation& mutation : mutations) {
    ModelProtoT object = BaseModel();
    object.unk_id = 0;
    mutation.apply(&object);
    ExpectLoad(mutation, object);
  }
}

// Tries of 2^18 units and more are checked by walks in lockstep; faults are
// reported as for small tries, the first broken piece first.
TEST(ModelLoadTest, PieceRulesOfLargeTries) {
  const std::string too_long(4097, 'z');
  const Mutation mutations[] = {
      {"sound", [](ModelProtoT*) {}, kOk, R::kNone},
      {"inner whitespace symbol",
       [](ModelProtoT* m) {
         m->pieces[38] = "x\xe2\x96\x81y";
         RebuildPieceTrie(m);
       },
       kOk, R::kNone},
      {"swapped", [](ModelProtoT* m) { std::swap(m->pieces[8], m->pieces[9]); },
       kInternal, R::kPieceInTrie},
      {"empty", [](ModelProtoT* m) { m->pieces[20] = ""; }, kInternal,
       R::kPieceInTrie},
      {"too long then swapped",
       [&](ModelProtoT* m) {
         m->pieces[30] = too_long;
         std::swap(m->pieces[35], m->pieces[36]);
       },
       kInternal, R::kPieceLength},
      {"swapped then too long",
       [&](ModelProtoT* m) {
         std::swap(m->pieces[25], m->pieces[26]);
         m->pieces[30] = too_long;
       },
       kInternal, R::kPieceInTrie},
      {"last not in trie", [](ModelProtoT* m) { m->pieces[39] = "zz"; },
       kInternal, R::kPieceInTrie},
  };
  for (const Mutation& mutation : mutations) {
    std::vector<TestPiece> pieces = {{"<unk>", 0.0f, PieceType_UNKNOWN}};
    for (int i = 1; i < 40; ++i) {
      pieces.push_back({(i % 2 ? "\xe2\x96\x81p" : "p") + std::to_string(i)});
    }
    ModelProtoT object = MakeModel(pieces);
    mutation.apply(&object);
    object.piece_trie.resize(size_t{1} << 20);
    ExpectLoad(mutation, object);
    if (mutation.expected == kOk) {
      EXPECT_EQ(Model(Pack(object)).has_inner_whitespace_symbol,
                mutation.name == std::string("inner whitespace symbol"));
    }
  }
}

TEST(ModelLoadTest, CharacterMapRules) {
  const std::vector<uint8_t> good = BuildCharsMap({{"A", "a"}, {"x", ""}});
  auto with_map = [](std::vector<uint8_t> charsmap) {
    ModelProtoT object = BaseModel();
    object.unk_id = 0;
    object.normalizer_spec =
        MakeNormalizerSpec(true, true, true, false, std::move(charsmap));
    return LoadStatus(object);
  };
  EXPECT_EQ(with_map(good), kOk);
  EXPECT_EQ(with_map({}), kOk);
  EXPECT_EQ(with_map({1, 0, 0, 0}), kInternal);

  std::vector<uint8_t> no_pool = good;
  const uint32_t all = static_cast<uint32_t>(good.size() - 4);
  std::memcpy(no_pool.data(), &all, 4);
  EXPECT_EQ(with_map(no_pool), kInternal);

  std::vector<uint8_t> unterminated = good;
  unterminated.pop_back();
  unterminated.push_back('z');
  EXPECT_EQ(with_map(unterminated), kInternal);

  std::vector<uint8_t> short_trie = good;
  const uint32_t thousand = 1000;
  std::memcpy(short_trie.data(), &thousand, 4);
  EXPECT_EQ(with_map(short_trie), kInternal);

  // A trie value equal to the pool size: the pool is "a\0\0" (3 bytes).
  std::vector<uint8_t> past_pool = BuildCharsMap({{"A", "a"}, {"x", ""}});
  std::vector<uint8_t> trie = BuildTrieBlob({{"A", 0}, {"x", 3}});
  std::memcpy(past_pool.data() + 4, trie.data(), trie.size());
  EXPECT_EQ(with_map(past_pool), kInternal);

  // Replacements are capped like piece texts, so a small map cannot turn a
  // line into gigabytes.
  EXPECT_EQ(with_map(BuildCharsMap({{"a", std::string(4096, 'b')}})), kOk);
  EXPECT_EQ(with_map(BuildCharsMap({{"a", std::string(4097, 'b')}})),
            kInternal);
}

TEST(ModelLoadTest, UnknownScoreIgnoresNonNormalPieces) {
  ModelProtoT object = MakeModel({{"<unk>", 0.0f, PieceType_UNKNOWN},
                                  {"<c>", -20.0f, PieceType_CONTROL},
                                  {"a", -1.0f},
                                  {"b", -5.0f}});
  const std::string bytes = Pack(object);
  Model model(bytes);
  ASSERT_EQ(model.status(), kOk);
  EXPECT_FLOAT_EQ(model.unk_score, -15.0f);
}

TEST(ModelLoadTest, BytePieces) {
  auto byte_model =
      [](const std::function<void(std::vector<TestPiece>*)>& edit) {
        std::vector<TestPiece> pieces = {{"a", -1.0f}};
        for (const TestPiece& piece : BytePieces()) pieces.push_back(piece);
        edit(&pieces);
        return MakeModel(pieces);  // no UNKNOWN piece: unk_id -1
      };
  {
    const std::string bytes = Pack(byte_model([](auto*) {}));
    Model model(bytes);
    ASSERT_EQ(model.status(), kOk);
    EXPECT_EQ(model.first_byte_piece_id, 1);
    EXPECT_EQ(model.byte_piece_ids[0], 1);
    EXPECT_EQ(model.byte_piece_ids[0xff], 256);
  }
  const Mutation broken[] = {
      {"missing byte",
       [](ModelProtoT* m) {
         m->pieces.pop_back();
         m->types.pop_back();
         m->scores.pop_back();
         RebuildPieceTrie(m);
       },
       kInternal, R::kBytePieceRange},
      {"swapped order",
       [](ModelProtoT* m) {
         std::swap(m->pieces[5], m->pieces[6]);
         RebuildPieceTrie(m);
       },
       kInternal, R::kBytePieceRange},
      {"wrong type", [](ModelProtoT* m) { m->types[100] = PieceType_NORMAL; },
       kInternal, R::kBytePieceRange},
      {"lowercase hex",
       [](ModelProtoT* m) {
         m->pieces[0xab + 1] = "<0xab>";
         RebuildPieceTrie(m);
       },
       kInternal, R::kBytePieceRange},
      {"first byte piece NORMAL",
       [](ModelProtoT* m) { m->types[1] = PieceType_NORMAL; }, kInternal,
       R::kUnknownOrBytePieces},
  };
  for (const Mutation& mutation : broken) {
    ModelProtoT object = byte_model([](auto*) {});
    mutation.apply(&object);
    ExpectLoad(mutation, object);
  }
  // Without the complete range a model needs an unknown piece.
  ModelProtoT object = byte_model([](auto*) {});
  object.types[1] = PieceType_NORMAL;
  object.pieces.push_back("<unk>");
  object.types.push_back(PieceType_UNKNOWN);
  object.scores.push_back(0.0f);
  RebuildPieceTrie(&object);
  object.unk_id = static_cast<int>(object.pieces.size() - 1);
  const std::string bytes = Pack(object);
  Model model(bytes);
  EXPECT_EQ(model.status(), kOk);
  EXPECT_EQ(model.first_byte_piece_id, -1);
}

TEST(ModelLoadTest, InnerWhitespaceSymbol) {
  const std::string ws = "\xe2\x96\x81";
  struct Case {
    std::string piece;
    PieceType type;
    bool expected;
  };
  const Case cases[] = {
      {"a" + ws + "b", PieceType_NORMAL, true},
      {ws + "ab", PieceType_NORMAL, false},
      {ws + ws, PieceType_NORMAL, true},
      {"a" + ws + "b", PieceType_CONTROL, false},
      {"a" + ws, PieceType_USER_DEFINED, true},
  };
  for (const Case& c : cases) {
    ModelProtoT object = MakeModel(
        {{"<unk>", 0.0f, PieceType_UNKNOWN}, {c.piece, -1.0f, c.type}});
    const std::string bytes = Pack(object);
    Model model(bytes);
    ASSERT_EQ(model.status(), kOk);
    EXPECT_EQ(model.has_inner_whitespace_symbol, c.expected) << c.piece;
  }
}

TEST(ModelLoadTest, ZeroPiecesNeverLoad) {
  ModelProtoT object;
  object.pieces = {};
  flatbuffers::FlatBufferBuilder builder;
  auto pieces = builder.CreateVectorOfStrings(std::vector<std::string>{});
  ModelProtoBuilder root(builder);
  root.add_pieces(pieces);
  builder.Finish(root.Finish());
  const std::string bytes(
      reinterpret_cast<const char*>(builder.GetBufferPointer()),
      builder.GetSize());
  EXPECT_EQ(Model(bytes).status(), kInternal);
}

}  // namespace
}  // namespace korvel::lite
