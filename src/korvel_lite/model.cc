#include "korvel_lite/model.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "absl/base/attributes.h"
#include "flatbuffers/flatbuffers.h"
#include "korvel_lite/utf8.h"

namespace korvel::lite {
namespace {

constexpr size_t kMaxModelSize = 0x7ffffffe;
constexpr std::string_view kDefaultUnkSurface = " \xe2\x81\x87 ";
// Pre-tokenizer steps past this many are refused: files ship one to four.
constexpr uint32_t kMaxPretokenizerSteps = 16;
// Walks of a trie larger than this many units mostly miss the core's caches;
// smaller tries are walked one piece at a time, where keeping many walks
// apart would cost more than it saves.
constexpr size_t kLockstepMinUnits = size_t{1} << 18;
// The number of walks kept in lockstep.
constexpr int kLanes = 16;

// Serial numbers start at 1, so that a zeroed cache slot matches no model.
uint64_t NextModelSerial() {
  static std::atomic<uint64_t> last_serial{0};
  return last_serial.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool InIdRange(int32_t id, size_t vocab_size) {
  return id >= -1 && (id < 0 || static_cast<size_t>(id) < vocab_size);
}

bool VerifyModelBuffer(const uint8_t* data, size_t size) {
  if (size < 12) return false;
  int32_t root_offset;
  std::memcpy(&root_offset, data, sizeof(root_offset));
  if (root_offset <= 0 || static_cast<size_t>(root_offset) > size - 1) {
    return false;
  }
  flatbuffers::Verifier::Options options;
  options.max_depth = 64;
  options.max_tables = 1000000;
  options.check_alignment = true;
  options.check_nested_flatbuffers = true;
  flatbuffers::Verifier verifier(data, size, options);
  return verifier.VerifyBuffer<ModelProto>(nullptr);
}

// True when the piece holds the whitespace symbol anywhere after one optional
// leading whitespace symbol.
bool HasInnerWhitespaceSymbol(std::string_view piece) {
  if (piece.size() >= kWhitespaceSymbol.size() &&
      piece.substr(0, kWhitespaceSymbol.size()) == kWhitespaceSymbol) {
    piece.remove_prefix(kWhitespaceSymbol.size());
  }
  return piece.find(kWhitespaceSymbol) != std::string_view::npos;
}

// The state of one piece's lookup in the piece trie: the bytes still to walk
// and the node reached so far.
struct PieceWalk {
  const unsigned char* next;
  const unsigned char* end;
  uint32_t node;
  uint32_t unit;
  uint32_t id;
};

// Takes the walk's next step; false when the trie has no such child.
bool StepPieceWalk(const uint32_t* units, PieceWalk* walk) {
  return trie_unit::Step(units, &walk->node, &walk->unit, *walk->next++);
}

// Whether a walk that has taken all its steps ends at a key whose value is
// the walk's piece id.
bool PieceWalkEndsAtId(const uint32_t* units, const PieceWalk& walk) {
  return trie_unit::HasLeaf(walk.unit) &&
         trie_unit::LeafValue(units, walk.node, walk.unit) ==
             static_cast<int32_t>(walk.id);
}

// Takes the walk's remaining steps and checks where it ends.
bool FinishPieceWalk(const uint32_t* units, PieceWalk walk) {
  while (walk.next != walk.end) {
    if (!StepPieceWalk(units, &walk)) return false;
  }
  return PieceWalkEndsAtId(units, walk);
}

std::string_view AsView(const flatbuffers::String* text) {
  return std::string_view(text->data(), text->size());
}

// Checks the length of piece `id`, notes in `*inner_whitespace` whether it
// holds the whitespace symbol inside (unless already noted), and starts its
// walk below the root by the model's root tables. False when the piece is
// empty or too long or has no first step. Always inlined: a call per piece
// costs about as much as a short piece's walk.
ABSL_ATTRIBUTE_ALWAYS_INLINE inline bool StartPieceWalk(const Model& model,
                                                        uint32_t id,
                                                        bool* inner_whitespace,
                                                        PieceWalk* walk) {
  const std::string_view piece = AsView(model.root->pieces()->Get(id));
  if (piece.empty() || piece.size() > kMaxPieceLength) return false;
  if (!*inner_whitespace && model.types[id] != PieceType_UNKNOWN &&
      model.types[id] != PieceType_CONTROL) {
    *inner_whitespace = HasInnerWhitespaceSymbol(piece);
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(piece.data());
  walk->end = bytes + piece.size();
  walk->id = id;
  if (model.piece_whitespace_node != trie_unit::kNoNode &&
      piece.substr(0, kWhitespaceSymbol.size()) == kWhitespaceSymbol) {
    walk->node = model.piece_whitespace_node;
    walk->next = bytes + kWhitespaceSymbol.size();
  } else {
    walk->node = model.piece_root_children[bytes[0]];
    walk->next = bytes + 1;
    if (walk->node == trie_unit::kNoNode) return false;
  }
  walk->unit = model.piece_trie.units[walk->node];
  return true;
}

}  // namespace

std::string ByteToPiece(unsigned char byte) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string piece = "<0x00>";
  piece[3] = kHexDigits[byte >> 4];
  piece[4] = kHexDigits[byte & 0xf];
  return piece;
}

Model::Model(std::string_view model_bytes) : serial_(NextModelSerial()) {
  for (int b = 0; b < 256; ++b) {
    byte_piece_ids[b] = -1;
    bigram_root_children[b] = -1;
    piece_root_children[b] = trie_unit::kNoNode;
    single_byte_piece_ids[b] = -1;
    user_defined_lead_bytes[b] = false;
  }
  status_ = Initialize(model_bytes);
}

absl::StatusCode Model::Initialize(std::string_view model_bytes) {
  broken_rule_ = FirstBrokenRule(model_bytes);
  return LoadRuleStatusCode(broken_rule_);
}

LoadRule Model::FirstBrokenRule(std::string_view model_bytes) {
  if (const LoadRule rule = VerifyBuffer(model_bytes);
      rule != LoadRule::kNone) {
    return rule;
  }
  using Step = LoadRule (Model::*)();
  static constexpr Step kSteps[] = {
      &Model::BindByteLevel,   &Model::CheckSpecialIds,
      &Model::BindNormalizer,  &Model::BindTries,
      &Model::BindPieceTables, &Model::DeriveRootTables,
      &Model::CheckPieces,     &Model::DeriveUnknownScore,
      &Model::CheckBytePieces, &Model::BindByteTable,
  };
  for (const Step step : kSteps) {
    if (const LoadRule rule = (this->*step)(); rule != LoadRule::kNone) {
      return rule;
    }
  }
  return LoadRule::kNone;
}

LoadRule Model::VerifyBuffer(std::string_view model_bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(model_bytes.data());
  const size_t size = model_bytes.size();
  if (size < 1 || size > kMaxModelSize ||
      reinterpret_cast<uintptr_t>(data) % 4 != 0) {
    return LoadRule::kBufferFraming;
  }
  if (!VerifyModelBuffer(data, size)) return LoadRule::kFlatbuffer;
  root = flatbuffers::GetRoot<ModelProto>(data);
  bytes_end = model_bytes.data() + size;
  if (root->pieces() == nullptr) return LoadRule::kPieceList;
  return LoadRule::kNone;
}

// A byte-level model keeps the layout that runtimes without byte-level
// support refuse (see the schema), and its pre-tokenizer steps are built.
LoadRule Model::BindByteLevel() {
  const ByteLevelSpec* spec = root->byte_level();
  if (spec == nullptr) return LoadRule::kNone;
  if (root->model_type() != ModelType_BYTE_LEVEL_BPE ||
      root->bpe_scores() == nullptr || root->scores() != nullptr) {
    return LoadRule::kByteLevelLayout;
  }
  byte_level = true;
  ignore_merges = spec->ignore_merges();
  return BuildPretokenizer();
}

// Family steps are matched by hand-written code; a step whose family this
// runtime does not know (0 included) runs its pattern through the regex
// engine.
LoadRule Model::BuildPretokenizer() {
  const auto* steps = root->byte_level()->pretokenizer();
  if (steps == nullptr) return LoadRule::kNone;
  if (steps->size() > kMaxPretokenizerSteps) {
    return LoadRule::kPretokenizerStep;
  }
  pretokenizer_steps.resize(steps->size());
  for (uint32_t i = 0; i < steps->size(); ++i) {
    const PretokenizerStep* step = steps->Get(i);
    pretokenizer::SplitStep* built = &pretokenizer_steps[i];
    if (step->family() != 0 && step->family() <= pretokenizer::kLastFamily) {
      if (pretokenizer::SplitStep::ForFamily(
              static_cast<pretokenizer::Family>(step->family()), built) !=
          absl::StatusCode::kOk) {
        return LoadRule::kPretokenizerStep;
      }
      continue;
    }
    const std::string_view pattern = step->pattern() == nullptr
                                         ? std::string_view()
                                         : AsView(step->pattern());
    switch (pretokenizer::SplitStep::ForPattern(pattern, built)) {
      case absl::StatusCode::kOk:
        break;
      case absl::StatusCode::kFailedPrecondition:
        return LoadRule::kRegexEngine;
      default:
        return LoadRule::kPretokenizerStep;
    }
  }
  return LoadRule::kNone;
}

LoadRule Model::CheckSpecialIds() {
  const size_t n = root->pieces()->size();
  unk_id = root->unk_id();
  bos_id = root->bos_id();
  eos_id = root->eos_id();
  pad_id = root->pad_id();
  for (const int32_t id : {unk_id, bos_id, eos_id, pad_id}) {
    if (!InIdRange(id, n)) return LoadRule::kSpecialIds;
  }
  return LoadRule::kNone;
}

LoadRule Model::BindNormalizer() {
  if (const NormalizerSpec* spec = root->normalizer_spec(); spec != nullptr) {
    add_dummy_prefix = spec->add_dummy_prefix();
    if (absl::StatusCode code = normalizer.Initialize(spec);
        code != absl::StatusCode::kOk) {
      return LoadRule::kCharacterMap;
    }
  }
  model_type = root->model_type();
  return LoadRule::kNone;
}

// Binds the three tries: piece values must be piece ids, bigram values must
// be positions of inner units; the user-defined and bigram tries are optional.
LoadRule Model::BindTries() {
  auto bind = [](const flatbuffers::Vector<uint8_t>* blob, uint32_t max_value,
                 bool positions, bool optional, DoubleArray* trie) {
    return InitializeTrie(blob == nullptr ? nullptr : blob->data(),
                          blob == nullptr ? 0 : blob->size(), max_value,
                          positions, optional, trie) == absl::StatusCode::kOk;
  };
  const auto vocab_bound = static_cast<uint32_t>(root->pieces()->size());
  if (!bind(root->piece_trie(), vocab_bound, false, false, &piece_trie)) {
    return LoadRule::kPieceTrie;
  }
  if (!bind(root->user_defined_trie(), vocab_bound, false, true,
            &user_defined_trie)) {
    return LoadRule::kUserDefinedTrie;
  }
  if (normalizer.charsmap_trie.bound() || normalizer.remove_extra_whitespaces) {
    normalizer.AttachUserDefinedTrie(&user_defined_trie);
  }
  if (!bind(root->bigram_trie(), UINT32_MAX, true, true, &bigram_trie)) {
    return LoadRule::kBigramTrie;
  }
  if (bigram_trie.bound()) {
    for (int b = 0; b < 256; ++b) {
      bigram_root_children[b] =
          bigram_trie.child_index(0, static_cast<unsigned char>(b));
    }
  }
  return LoadRule::kNone;
}

// Binds the vectors that hold one entry per piece.
LoadRule Model::BindPieceTables() {
  const size_t n = root->pieces()->size();
  if (is_bpe()) {
    const auto* values = root->bpe_scores();
    if (values == nullptr || values->size() != n) return LoadRule::kScoreCount;
    bpe_scores = values->data();
  } else {
    const auto* values = root->scores();
    if (values == nullptr || values->size() != n) return LoadRule::kScoreCount;
    scores = values->data();
  }

  const auto* type_vector = root->types();
  if (type_vector == nullptr || type_vector->size() != n) {
    return LoadRule::kTypeCount;
  }
  types = reinterpret_cast<const PieceType*>(type_vector->data());

  if (const auto* flags = root->direct_mapping_flags(); flags != nullptr) {
    if (flags->size() != n) return LoadRule::kDirectMappingFlagCount;
    direct_mapping_flags = flags->data();
  }
  direct_mapping_enabled = root->enable_direct_mapping();
  return LoadRule::kNone;
}

// The tables that let the encoders take their first trie steps by lookup.
LoadRule Model::DeriveRootTables() {
  piece_whitespace_node =
      trie_unit::Walk(piece_trie.units, 0, kWhitespaceSymbol);
  if (bigram_trie.bound()) {
    bigram_whitespace_node = static_cast<int32_t>(
        trie_unit::Walk(bigram_trie.units, 0, kWhitespaceSymbol));
  }
  for (int b = 0; b < 256; ++b) {
    const int32_t child =
        piece_trie.child_index(0, static_cast<unsigned char>(b));
    single_byte_piece_ids[b] = unk_id;
    user_defined_lead_bytes[b] =
        user_defined_trie.bound() &&
        user_defined_trie.child_index(0, static_cast<unsigned char>(b)) >= 0;
    if (child < 0) continue;
    piece_root_children[b] = static_cast<uint32_t>(child);
    if (trie_unit::HasLeaf(piece_trie.units[child])) {
      const int32_t id = piece_trie.leaf_value(static_cast<uint32_t>(child));
      if (types[id] == PieceType_NORMAL ||
          types[id] == PieceType_USER_DEFINED) {
        single_byte_piece_ids[b] = id;
      }
    }
  }
  return LoadRule::kNone;
}

// Every piece text is short enough and leads to its own id; also notes
// whether some piece holds the whitespace symbol inside. When the fast walks
// find a fault, the plain loop below finds the first broken rule.
LoadRule Model::CheckPieces() {
  if (!PiecesLeadToTheirIds()) {
    const auto* pieces = root->pieces();
    const size_t n = pieces->size();
    for (size_t i = 0; i < n; ++i) {
      const std::string_view piece =
          AsView(pieces->Get(static_cast<uint32_t>(i)));
      if (piece.size() > kMaxPieceLength) return LoadRule::kPieceLength;
      if (piece_trie.exact_lookup(piece) != static_cast<int32_t>(i)) {
        return LoadRule::kPieceInTrie;
      }
    }
  }
  if (const auto* surface = root->unk_surface();
      surface != nullptr && surface->size() > kMaxPieceLength) {
    return LoadRule::kUnknownSurfaceLength;
  }
  return LoadRule::kNone;
}

// Whether every piece is at most kMaxPieceLength bytes and leads to its id;
// also sets has_inner_whitespace_symbol. Large tries are walked kLanes pieces
// at a time, one step of each in turn: the walks are independent, so their
// cache misses overlap.
bool Model::PiecesLeadToTheirIds() {
  const uint32_t n = root->pieces()->size();
  const uint32_t* units = piece_trie.units;
  if (piece_trie.num_units < kLockstepMinUnits || n < kLanes) {
    for (uint32_t id = 0; id < n; ++id) {
      PieceWalk walk;
      if (!StartPieceWalk(*this, id, &has_inner_whitespace_symbol, &walk) ||
          !FinishPieceWalk(units, walk)) {
        return false;
      }
    }
    return true;
  }
  PieceWalk walks[kLanes];
  for (uint32_t id = 0; id < kLanes; ++id) {
    if (!StartPieceWalk(*this, id, &has_inner_whitespace_symbol, &walks[id])) {
      return false;
    }
  }
  uint32_t next_id = kLanes;
  for (;;) {
    for (int lane = 0; lane < kLanes; ++lane) {
      PieceWalk& walk = walks[lane];
      if (walk.next != walk.end) {
        if (!StepPieceWalk(units, &walk)) return false;
        continue;
      }
      if (!PieceWalkEndsAtId(units, walk)) return false;
      if (next_id == n) {
        for (int other = 0; other < kLanes; ++other) {
          if (other != lane && !FinishPieceWalk(units, walks[other])) {
            return false;
          }
        }
        return true;
      }
      if (!StartPieceWalk(*this, next_id++, &has_inner_whitespace_symbol,
                          &walk)) {
        return false;
      }
    }
  }
}

LoadRule Model::DeriveUnknownScore() {
  const size_t n = root->pieces()->size();
  unk_score = FLT_MAX;
  if (is_bpe() || n == 0) return LoadRule::kNone;
  float lowest = FLT_MAX;
  for (size_t i = 0; i < n; ++i) {
    const float score = scores[i];
    if (!std::isfinite(score)) return LoadRule::kFiniteScores;
    if ((types[i] == 0 || types[i] == PieceType_NORMAL) && score < lowest) {
      lowest = score;
    }
  }
  unk_score = lowest == FLT_MAX ? FLT_MAX : lowest + -10.0f;
  return LoadRule::kNone;
}

// Byte fallback needs "<0x00>" to "<0xFF>" as consecutive BYTE pieces; a
// model without them needs an unknown piece.
LoadRule Model::CheckBytePieces() {
  if (byte_level) return LoadRule::kNone;
  const size_t n = root->pieces()->size();
  const int32_t first = piece_trie.exact_lookup(ByteToPiece(0));
  if (first >= 0 && static_cast<size_t>(first) < n &&
      types[first] == PieceType_BYTE) {
    first_byte_piece_id = first;
    for (int b = 0; b < 256; ++b) {
      const int32_t id =
          piece_trie.exact_lookup(ByteToPiece(static_cast<unsigned char>(b)));
      if (id != first + b || types[id] != PieceType_BYTE) {
        return LoadRule::kBytePieceRange;
      }
      byte_piece_ids[b] = id;
    }
    return LoadRule::kNone;
  }
  first_byte_piece_id = -1;
  return unk_id == -1 ? LoadRule::kUnknownOrBytePieces : LoadRule::kNone;
}

// Every byte is a symbol of a byte-level model, so each needs its piece.
// Byte 0's piece is the BYTE piece "<0x00>", as no trie key holds a zero
// byte; it is the model's only BYTE piece, and decodes to byte 0.
LoadRule Model::BindByteTable() {
  if (!byte_level) return LoadRule::kNone;
  for (int b = 1; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    const int32_t id = piece_trie.exact_lookup(std::string_view(&byte, 1));
    if (id < 0 || (types[id] != PieceType_NORMAL &&
                   types[id] != PieceType_USER_DEFINED)) {
      return LoadRule::kByteLevelBytes;
    }
    single_byte_piece_ids[b] = id;
  }
  const int32_t zero = piece_trie.exact_lookup(ByteToPiece(0));
  if (zero < 0 || types[zero] != PieceType_BYTE) {
    return LoadRule::kByteLevelBytes;
  }
  single_byte_piece_ids[0] = zero;
  const auto* type_bytes = reinterpret_cast<const uint8_t*>(types);
  const size_t n = root->pieces()->size();
  if (std::count(type_bytes, type_bytes + n, uint8_t{PieceType_BYTE}) != 1) {
    return LoadRule::kByteLevelBytes;
  }
  return LoadRule::kNone;
}

int32_t Model::PieceToId(std::string_view piece) const {
  const int32_t id = piece_trie.exact_lookup(piece);
  return id < 0 ? unk_id : id;
}

std::string_view Model::IdToPiece(int32_t id) const {
  return AsView(root->pieces()->Get(static_cast<uint32_t>(id)));
}

std::string_view Model::unk_surface() const {
  if (root == nullptr || root->unk_surface() == nullptr) {
    return kDefaultUnkSurface;
  }
  return AsView(root->unk_surface());
}

size_t Model::vocab_size() const {
  return root == nullptr || root->pieces() == nullptr ? 0
                                                      : root->pieces()->size();
}

}  // namespace korvel::lite
