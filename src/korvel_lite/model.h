#ifndef KORVEL_LITE_MODEL_H_
#define KORVEL_LITE_MODEL_H_

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "absl/base/call_once.h"
#include "absl/functional/function_ref.h"
#include "absl/status/status.h"
#include "korvel_lite/double_array.h"
#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/load_rule.h"
#include "korvel_lite/normalizer.h"
#include "korvel_pretokenizer/pretokenizer.h"

namespace korvel::lite {

// One entry of the decode table, by its last byte `length`:
// - 0 to 7: the text a piece decodes to is `text` (any bytes after it are
//   unspecified);
// - kInModel: it is a space when text[5] is 1, then text[4] bytes (at most
//   16) of the model buffer that start the 32-bit distance in text[0..3]
//   before the buffer's end, from where 16 bytes may be read;
// - kTakeFullRules: decoding takes the piece by the full rules.
struct DecodedPiece {
  static constexpr uint8_t kInModel = 0xfe;
  static constexpr uint8_t kTakeFullRules = 0xff;
  char text[7];
  uint8_t length;
};
static_assert(sizeof(DecodedPiece) == 8);

// A source of uniform draws from [0, 1) for sampling; null means deterministic.
using RandomSource = absl::FunctionRef<float()>;

// A lite model loaded in place over a caller's buffer.
//
// The constructor verifies the flatbuffer, checks every rule that ties its
// fields together, binds the tries and derives a few lookup tables; `status()`
// tells the outcome (kOk, kInvalidArgument for a buffer that is not a lite
// model, kInternal for inconsistent contents). A model whose status is not kOk
// must not be used. The buffer is never copied or written and must outlive the
// model. Loading allocates nothing but a byte-level model's pre-tokenizer
// steps; the decode table is allocated on the first decode (see
// `decode_table()`) and freed with the model.
//
// After loading every operation is const and keeps no state, so one model may
// serve any number of threads, except that `score_reset_threshold` is a plain
// member that must not be written while another thread encodes.
class Model {
 public:
  explicit Model(std::string_view model_bytes);
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  absl::StatusCode status() const { return status_; }
  // The first rule the buffer broke, or LoadRule::kNone when it loaded;
  // `status()` is its status code.
  LoadRule broken_rule() const { return broken_rule_; }
  // A number that no other Model of this process has, so that caches kept
  // across calls can tell models apart.
  uint64_t serial() const { return serial_; }

  // The id of the piece whose text is exactly `piece`, or `unk_id`.
  int32_t PieceToId(std::string_view piece) const;
  // The text of piece `id`; requires 0 <= id < vocab_size().
  std::string_view IdToPiece(int32_t id) const;
  // The decode table, one DecodedPiece per piece (8 bytes each), built on the
  // first call by any thread and kept until the model is freed; null when its
  // memory could not be allocated, and decoding then reads the pieces.
  const DecodedPiece* decode_table() const;
  // For the byte-level BPE encoder: one bit per piece, set for the pieces that
  // are one two- or three-byte UTF-8 character whose bytes merging always
  // joins before any of them, or the whole character, merges with anything
  // else, so that the character may start as one symbol. Built on the first
  // call by any thread and kept until the model is freed; null for other
  // models or when its memory could not be allocated.
  const uint64_t* whole_character_bits() const;
  // Heap bytes taken by tables derived after loading: 0 until the first
  // decode or byte-level encode; at most 8 * vocab_size() for decoding plus
  // one bit per piece for encoding.
  size_t derived_table_bytes() const {
    return derived_table_bytes_.load(std::memory_order_acquire);
  }
  // What an unknown id decodes to: the model's text, or " \u2047 ".
  std::string_view unk_surface() const;
  size_t vocab_size() const;
  // Byte-level models are BPE models whose symbols are bytes.
  bool is_bpe() const { return model_type == ModelType_BPE || byte_level; }

  // Normalization (model_normalize.cc). `Normalize` clears and fills
  // `normalized` and, when given, `offsets` (one input offset per normalized
  // byte plus a final entry). `CanSkipNormalization` is true when `Normalize`
  // would return `input` unchanged.
  absl::StatusCode Normalize(std::string_view input, std::string* normalized,
                             std::vector<size_t>* offsets) const;
  bool CanSkipNormalization(std::string_view input) const;

  // Encoding of normalized text (encode_chunk.cc, unigram.cc, bpe.cc). All of
  // them append to `ids` and, when not null, `surfaces` (views into `text`).
  // A null `rng` means deterministic encoding. `Encode` fails only when a
  // byte-level model's regex pre-tokenizer hits its limits
  // (kResourceExhausted), leaving the pieces of a prefix of `text`.
  absl::StatusCode Encode(std::string_view text, std::vector<int>* ids,
                          std::vector<std::string_view>* surfaces, float alpha,
                          const RandomSource* rng) const;
  void EncodeChunk(std::string_view text, std::vector<int>* ids,
                   std::vector<std::string_view>* surfaces, float alpha,
                   const RandomSource* rng) const;
  void EncodeUnigram(std::string_view text, std::vector<int>* ids,
                     std::vector<std::string_view>* surfaces, float alpha,
                     const RandomSource* rng) const;
  void EncodeBPE(std::string_view text, std::vector<int>* ids,
                 std::vector<std::string_view>* surfaces, float alpha,
                 const RandomSource* rng) const;
  // Cuts `text` at the boundaries that no piece spans and calls `on_chunk`
  // with each non-empty chunk in order. Always returns kOk.
  absl::StatusCode PretokenizeAtSafeBoundaries(
      std::string_view text,
      absl::FunctionRef<void(std::string_view)> on_chunk) const;

  // Appends one settled piece, applying byte fallback and the merging of
  // adjacent unknown pieces. `reverse` is true for encoders that emit pieces
  // back to front. Defined in emit_piece.h.
  template <bool reverse>
  void EmitPiece(int32_t id, std::string_view surface, std::vector<int>* ids,
                 std::vector<std::string_view>* surfaces) const;

  // The loaded data, read directly by the normalizer, encoders and decoder.
  Normalizer normalizer;
  const ModelProto* root = nullptr;

 private:
  // Loading runs these steps in order and stops at the first broken rule.
  // Each checks the rules its name says and binds or derives the members
  // that depend on them.
  absl::StatusCode Initialize(std::string_view model_bytes);
  LoadRule FirstBrokenRule(std::string_view model_bytes);
  LoadRule VerifyBuffer(std::string_view model_bytes);
  LoadRule CheckSpecialIds();
  LoadRule BindNormalizer();
  LoadRule BindTries();
  LoadRule BindPieceTables();
  LoadRule DeriveRootTables();
  LoadRule CheckPieces();
  bool PiecesLeadToTheirIds();
  LoadRule DeriveUnknownScore();
  LoadRule CheckBytePieces();
  LoadRule BindByteLevel();
  LoadRule BuildPretokenizer();
  LoadRule BindByteTable();

  absl::StatusCode status_ = absl::StatusCode::kFailedPrecondition;
  LoadRule broken_rule_ = LoadRule::kNone;
  const uint64_t serial_;
  // Each derived table is owned by its unique_ptr and read through its
  // atomic pointer, stored with release once the table is complete: the
  // acquire load orders the reads even for race detectors that cannot see
  // inside the once-flag's wait.
  mutable absl::once_flag decode_table_once_;
  mutable std::unique_ptr<DecodedPiece[]> decode_table_;
  mutable std::atomic<const DecodedPiece*> decode_table_ready_{nullptr};
  mutable std::atomic<size_t> derived_table_bytes_{0};
  mutable absl::once_flag whole_character_once_;
  mutable std::unique_ptr<uint64_t[]> whole_character_bits_;
  mutable std::atomic<const uint64_t*> whole_character_ready_{nullptr};

 public:
  DoubleArray piece_trie;
  DoubleArray user_defined_trie;
  DoubleArray bigram_trie;
  int32_t unk_id = 0;
  int32_t bos_id = -1;
  int32_t eos_id = -1;
  int32_t pad_id = -1;
  // The normalizer's add_dummy_prefix; true without a normalizer spec.
  bool add_dummy_prefix = true;
  // Some piece other than UNKNOWN and CONTROL holds the whitespace symbol after
  // its first character.
  bool has_inner_whitespace_symbol = false;
  // Score of the unknown candidate in unigram segmentation: the lowest NORMAL
  // score minus 10.
  float unk_score = 0.0f;
  int8_t model_type = ModelType_UNIGRAM;
  // A byte-level BPE model: every byte is a symbol, every piece the raw bytes
  // it stands for, except that the piece of byte 0 (which the tries cannot
  // hold) is the BYTE piece "<0x00>". Text is cut into pre-tokens by
  // `pretokenizer_steps` first, and with `ignore_merges` a pre-token that is
  // a piece becomes that piece.
  bool byte_level = false;
  bool ignore_merges = false;
  std::vector<pretokenizer::SplitStep> pretokenizer_steps;
  const float* scores = nullptr;
  const int32_t* bpe_scores = nullptr;
  const PieceType* types = nullptr;
  // The BYTE piece of each byte value; all -1 without byte fallback.
  int32_t byte_piece_ids[256];
  // The bigram-trie node reached from the root by each byte, or -1.
  int32_t bigram_root_children[256];
  // Derived for the BPE encoder: the piece_trie node reached from the root by
  // each byte (trie_unit::kNoNode when none), and the piece of each byte taken
  // as a whole symbol: its NORMAL or USER_DEFINED piece, else `unk_id` (in a
  // byte-level model, the piece that is that byte, so never `unk_id`).
  uint32_t piece_root_children[256];
  int32_t single_byte_piece_ids[256];
  // Whether some key of the user-defined trie starts with each byte: text at
  // other bytes needs no user-defined lookup.
  bool user_defined_lead_bytes[256];
  // The piece_trie node reached from the root by the whitespace symbol and
  // the bigram-trie node reached by it (trie_unit::kNoNode and -1 when none):
  // most chunks start with the symbol, so walks may start from there.
  uint32_t piece_whitespace_node = trie_unit::kNoNode;
  int32_t bigram_whitespace_node = -1;
  // Derived for direct mapping: the model's enable_direct_mapping, and its
  // per-piece flags (null when absent: every piece qualifies).
  bool direct_mapping_enabled = false;
  const uint8_t* direct_mapping_flags = nullptr;
  // The id of "<0x00>" when the model has all 256 byte pieces, else -1.
  int32_t first_byte_piece_id = -1;
  float score_reset_threshold = 100000.0f;
  // One past the last byte of the model buffer; fast paths that read a fixed
  // block of a piece's text check it against this bound.
  const char* bytes_end = nullptr;
};

// The six-character text of the byte piece for `byte`, such as "<0x0A>".
std::string ByteToPiece(unsigned char byte);

}  // namespace korvel::lite

#endif  // KORVEL_LITE_MODEL_H_
