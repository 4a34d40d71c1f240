#include "fuzz_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "korvel_lite/korvel_lite_model_generated.h"
#include "korvel_lite/utf8.h"
#include "reference_text.h"
#include "reference_utf8.h"

namespace korvel::lite::fuzzing {
namespace {

constexpr absl::StatusCode kOk = absl::StatusCode::kOk;
// Bounds that keep one run short on large vocabularies.
constexpr int kMaxCheckedIds = 4096;
constexpr int kPiecesPerText = 64;

bool HasCharsMap(const NormalizerSpec& spec) {
  return spec.precompiled_charsmap() != nullptr &&
         spec.precompiled_charsmap()->size() > 0;
}

// Without a character map and without offsets, normalization takes a path
// that does not look for user-defined pieces. Where the pieces are whole
// characters without runs of spaces, only a piece holding such a run comes
// out differently (collapsed there, whole otherwise); pieces that cut a
// character or hold malformed bytes differ in more ways.
bool OffsetsMayChangeNormalization(const Model& model, std::string_view raw,
                                   bool plain_user_defined_pieces) {
  const NormalizerSpec* spec = model.root->normalizer_spec();
  if (spec == nullptr || HasCharsMap(*spec) ||
      !model.normalizer.remove_extra_whitespaces ||
      model.normalizer.user_defined_trie == nullptr ||
      !model.normalizer.user_defined_trie->bound()) {
    return false;
  }
  return !plain_user_defined_pieces || raw.find("  ") != std::string_view::npos;
}

// Normalizes `raw` with and without offsets and checks the offsets. Returns
// the text that Encode would encode.
std::string CheckNormalize(const KorvelLiteProcessor& processor,
                           std::string_view raw,
                           bool plain_user_defined_pieces) {
  const Model& model = *processor.model();
  std::string normalized = "stale";
  std::vector<size_t> offsets = {42};
  Require(processor.Normalize(raw, &normalized, &offsets) == kOk,
          "Normalize failed on a loaded model");
  if (offsets.empty()) {
    Require(normalized.empty(), "normalized text without offsets");
  } else {
    Require(offsets.size() == normalized.size() + 1,
            "offsets are not one per normalized byte plus a final entry");
    Require(std::is_sorted(offsets.begin(), offsets.end()), "offsets decrease");
    Require(offsets.back() <= raw.size(), "offset beyond the input");
  }
  std::string expected;
  std::vector<size_t> expected_offsets;
  ReferenceNormalize(model, raw, &expected, &expected_offsets);
  Require(normalized == expected, "normalized text differs from the reference");
  Require(offsets == expected_offsets, "offsets differ from the reference");
  if (model.root->normalizer_spec() == nullptr) {
    Require(normalized == raw, "a model without normalizer changed the text");
    for (size_t i = 0; i < offsets.size(); ++i) {
      Require(offsets[i] == i, "identity normalization with moved offsets");
    }
  }

  std::string plain = "stale";
  Require(processor.Normalize(raw, &plain, nullptr) == kOk,
          "Normalize without offsets failed on a loaded model");
  ReferenceNormalize(model, raw, &expected, nullptr);
  Require(plain == expected,
          "normalized text without offsets differs from the reference");
  if (!OffsetsMayChangeNormalization(model, raw, plain_user_defined_pieces)) {
    Require(plain == normalized,
            "normalization differs with and without offsets");
  }
  Require(processor.CanSkipNormalization(raw) ==
              ReferenceCanSkipNormalization(model, raw),
          "CanSkipNormalization differs from the reference");
  if (processor.CanSkipNormalization(raw)) {
    Require(plain == raw,
            "CanSkipNormalization is true but normalization changes the text");
  }
  return plain;
}

// The ids and views of one encoding call. Two encodings are equal when they
// hold the same ids and views of the same bytes.
struct Encoding {
  std::vector<int> ids = {-7};
  std::vector<std::string_view> views = {"stale"};

  bool operator==(const Encoding& other) const {
    return ids == other.ids && views.size() == other.views.size() &&
           std::equal(views.begin(), views.end(), other.views.begin(),
                      [](std::string_view a, std::string_view b) {
                        return a.data() == b.data() && a.size() == b.size();
                      });
  }
};

void CheckEncoding(const KorvelLiteProcessor& processor, std::string_view text,
                   const Encoding& encoding) {
  Require(encoding.views.size() == encoding.ids.size(), "not one view per id");
  if (text.empty()) {
    Require(encoding.ids.empty(), "ids for an empty text");
    return;
  }
  CheckViewsCoverText(text, encoding.views);
  CheckEncodedIds(processor, encoding.ids);
}

void CheckPretokenize(const KorvelLiteProcessor& processor,
                      std::string_view text) {
  size_t covered = 0;
  size_t chunks = 0;
  const std::vector<std::string_view> expected =
      ReferencePretokenize(*processor.model(), text);
  Require(processor.PretokenizeAtSafeBoundaries(
              text,
              [&](std::string_view chunk) {
                Require(!chunk.empty(), "empty chunk");
                Require(chunk.data() == text.data() + covered,
                        "chunk does not start where the previous one ended");
                covered += chunk.size();
                Require(covered <= text.size(), "chunk beyond the text");
                Require(chunks < expected.size() &&
                            chunk.size() == expected[chunks].size(),
                        "chunks differ from the reference");
                ++chunks;
              }) == kOk,
          "PretokenizeAtSafeBoundaries failed on a loaded model");
  Require(covered == text.size(), "chunks do not cover the text");
  Require(chunks == expected.size(), "chunks differ from the reference");
  if (!processor.model()->bigram_trie.bound()) {
    Require(chunks == (text.empty() ? 0 : 1),
            "a model without bigram trie cut the text");
  }
}

// The reference encoding of `chunks`, one after the other.
Encoding ReferenceEncoding(const Model& model,
                           const std::vector<std::string_view>& chunks,
                           float alpha, absl::FunctionRef<float()>* rng) {
  Encoding encoding;
  encoding.ids.clear();
  encoding.views.clear();
  for (std::string_view chunk : chunks) {
    if (model.is_bpe()) {
      ReferenceEncodeBpeChunk(model, chunk, alpha, rng, &encoding.ids,
                              &encoding.views);
    } else {
      ReferenceEncodeUnigram(model, chunk, alpha, rng, &encoding.ids,
                             &encoding.views);
    }
  }
  return encoding;
}

// The chunks that encoding works on: safe-boundary chunks for a BPE model
// with a bigram trie, else the whole text.
std::vector<std::string_view> EncodedChunks(
    const KorvelLiteProcessor& processor, std::string_view text) {
  std::vector<std::string_view> chunks;
  if (!processor.model()->is_bpe() || !processor.model()->bigram_trie.bound()) {
    if (!text.empty()) chunks.push_back(text);
    return chunks;
  }
  processor.PretokenizeAtSafeBoundaries(
      text, [&chunks](std::string_view chunk) { chunks.push_back(chunk); });
  return chunks;
}

// Samples `text` with `rng`, then replays the same draws through the
// reference: the result and the number of draws must match.
void CheckSampling(const KorvelLiteProcessor& processor, std::string_view text,
                   float alpha, absl::FunctionRef<float()> rng) {
  std::vector<float> draws;
  auto recording = [&] {
    draws.push_back(rng());
    return draws.back();
  };
  Encoding sampled;
  processor.SampleNormalized(text, alpha, recording, &sampled.ids,
                             &sampled.views);
  size_t next = 0;
  bool overrun = false;
  auto replay = [&] {
    if (next < draws.size()) return draws[next++];
    overrun = true;
    return 0.5f;
  };
  absl::FunctionRef<float()> replay_ref(replay);
  const Encoding expected = ReferenceEncoding(
      *processor.model(), EncodedChunks(processor, text), alpha, &replay_ref);
  Require(!overrun && next == draws.size(),
          "sampling drew another number of values than the reference");
  Require(sampled == expected, "sampling differs from the reference");
}

}  // namespace

std::vector<std::string> SampleTexts() {
  return {
      "Hello world",
      "  leading,  double   and trailing spaces  ",
      "Gr\xC3\xBC\xC3\x9F"
      "e, \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1"
      "\xE3\x81\xAF \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
      "\xCE\xB1\xCE\xB2 \xF0\x9F\x91\x8B",
      "bad \xFF\xFE utf-8 \xC3\x28 \xE2\x82 \xED\xA0\x80 \xF4\x90\x80\x80 "
      "\xC0\xAF end\xE3",
      "\t\n \xC2\xA0\xE3\x80\x80 \xE2\x80\x83  x  \n",
      "\xE2\x96\x81\xE2\x96\x81"
      "a\xE2\x96\x81"
      "b \xE2\x96\x81",
      std::string(300, 'a'),
  };
}

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "korvel fuzz check failed: %s\n", what);
  std::abort();
}

void CheckViewsCoverText(std::string_view text,
                         const std::vector<std::string_view>& views) {
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  const char* cursor = begin;
  for (std::string_view view : views) {
    Require(view.data() >= begin && view.data() + view.size() <= end,
            "view outside the encoded text");
    if (view.empty()) continue;
    Require(view.data() == cursor, "views leave a gap or overlap");
    cursor += view.size();
  }
  Require(cursor == end, "views do not reach the end of the text");
}

void CheckEncodedIds(const KorvelLiteProcessor& processor,
                     const std::vector<int>& ids) {
  const int vocab_size = static_cast<int>(processor.vocab_size());
  const int first_byte = processor.model()->first_byte_piece_id;
  for (int id : ids) {
    Require(id >= 0 && id < vocab_size, "encoded id out of range");
    const int type = processor.piece_type(id);
    if (type == PieceType_NORMAL || type == PieceType_USER_DEFINED) continue;
    if (type == PieceType_BYTE && first_byte >= 0 && id >= first_byte &&
        id < first_byte + 256) {
      continue;
    }
    Require(id == processor.unk_id(),
            "encoded a piece that text cannot produce");
    Require(first_byte < 0, "encoded the unknown id under byte fallback");
  }
}

void CheckStreamingDecode(const tokenizer::Tokenizer& tokenizer,
                          absl::Span<const int> ids) {
  std::string whole;
  const absl::Status whole_status = tokenizer.Decode(ids, &whole);
  absl::Status first_failure;
  std::vector<int> accepted;
  std::string streamed;
  bool steps_well_formed = true;
  tokenizer::DecodeStream stream = tokenizer.NewDecodeStream();
  for (const int id : ids) {
    const size_t before = streamed.size();
    const absl::Status status = stream.Step(id, &streamed);
    if (status.ok()) {
      accepted.push_back(id);
      steps_well_formed &=
          IsWellFormedUtf8(std::string_view(streamed).substr(before));
    } else if (first_failure.ok()) {
      first_failure = status;
    }
  }
  Require(stream.Finish(&streamed).ok(), "DecodeStream::Finish failed");
  Require(first_failure == whole_status,
          "streaming decode fails unlike Decode");
  std::string expected;
  Require(tokenizer.Decode(accepted, &expected).ok() && streamed == expected,
          "streaming decode differs from Decode");
  Require(steps_well_formed || !IsWellFormedUtf8(expected),
          "a streaming step ends inside a character");
}

void CheckDecode(const KorvelLiteProcessor& processor,
                 absl::Span<const int> ids) {
  const size_t vocab_size = processor.vocab_size();
  const bool in_range = std::all_of(ids.begin(), ids.end(), [&](int id) {
    return id >= 0 && static_cast<size_t>(id) < vocab_size;
  });
  std::string text = "stale";
  std::vector<std::string_view> views = {"stale"};
  const absl::StatusCode code = processor.Decode(ids, &text, &views);
  std::string plain_text = "stale";
  const absl::StatusCode plain_code =
      processor.Decode(ids, &plain_text, nullptr);
  if (!in_range) {
    Require(code == absl::StatusCode::kOutOfRange &&
                plain_code == absl::StatusCode::kOutOfRange,
            "Decode accepted an id outside the vocabulary");
    Require(text.empty() && views.empty() && plain_text.empty(),
            "Decode left output after an id outside the vocabulary");
    return;
  }
  Require(code == kOk && plain_code == kOk, "Decode failed on valid ids");
  Require(text == plain_text, "Decode text differs with and without views");
  Require(views.size() == ids.size(), "Decode gave not one view per id");
  size_t cursor = 0;
  for (std::string_view view : views) {
    Require(view.data() == text.data() + cursor,
            "Decode views leave a gap or overlap");
    cursor += view.size();
    Require(cursor <= text.size(), "Decode view beyond the text");
  }
  Require(cursor == text.size(), "Decode views do not cover the text");
  Require(processor.model()->derived_table_bytes() <=
              8 * vocab_size + (vocab_size + 63) / 64 * 8,
          "the derived tables exceed 8 bytes and a bit per piece");
  // Byte-level decoding is checked against its own reference, through
  // ByteLevelMismatch, on what the model encodes.
  if (processor.model()->byte_level) return;

  std::string expected;
  std::vector<std::pair<size_t, size_t>> expected_views;
  ReferenceDecode(*processor.model(), ids, &expected, &expected_views);
  Require(text == expected, "decoded text differs from the reference");
  for (size_t i = 0; i < views.size(); ++i) {
    Require(static_cast<size_t>(views[i].data() - text.data()) ==
                    expected_views[i].first &&
                views[i].size() == expected_views[i].second,
            "decoded view differs from the reference");
  }
}

void CheckText(const KorvelLiteProcessor& processor, std::string_view raw,
               absl::FunctionRef<float()> rng, const TextChecks& checks) {
  const std::string normalized =
      CheckNormalize(processor, raw,
                     checks.user_defined_pieces_well_formed &&
                         checks.user_defined_pieces_without_space_runs);
  if (processor.model()->byte_level) {
    // Pre-tokens replace safe chunks, and sampling has its own check there.
    Require(ByteLevelMismatch(processor, normalized).empty(),
            "byte-level encoding differs from the reference");
    return;
  }
  const bool is_bpe = processor.model()->is_bpe();

  Encoding whole;
  Require(
      processor.EncodeNormalized(normalized, &whole.ids, &whole.views) == kOk,
      "EncodeNormalized failed on a loaded model");
  CheckEncoding(processor, normalized, whole);
  std::vector<int> ids = {-7};
  Require(processor.EncodeNormalized(normalized, &ids, nullptr) == kOk &&
              ids == whole.ids,
          "EncodeNormalized ids depend on whether views are requested");
  Require(processor.Encode(raw, &ids) == kOk && ids == whole.ids,
          "Encode differs from EncodeNormalized of the normalized text");

  Encoding chunk;
  Require(processor.EncodeNormalizedChunk(normalized, &chunk.ids,
                                          &chunk.views) == kOk,
          "EncodeNormalizedChunk failed on a loaded model");
  CheckEncoding(processor, normalized, chunk);
  const Model& model = *processor.model();
  Require(
      whole == ReferenceEncoding(model, EncodedChunks(processor, normalized),
                                 0.0f, nullptr),
      "encoding differs from the reference");
  std::vector<std::string_view> single;
  if (!normalized.empty()) single.push_back(normalized);
  Require(chunk == ReferenceEncoding(model, single, 0.0f, nullptr),
          "chunk encoding differs from the reference");
  CheckSampling(processor, normalized, checks.alpha, rng);
  if (!is_bpe ||
      (checks.converter_built && checks.user_defined_pieces_well_formed)) {
    Require(chunk == whole, "encoding in safe chunks changed the result");
  }

  Encoding sampled;
  Require(processor.SampleNormalized(normalized, checks.alpha, rng,
                                     &sampled.ids, &sampled.views) == kOk,
          "SampleNormalized failed on a loaded model");
  CheckEncoding(processor, normalized, sampled);
  CheckDecode(processor, sampled.ids);
  const std::vector<int> sampled_ids = sampled.ids;
  Require(processor.SampleNormalized(
              normalized, std::numeric_limits<float>::quiet_NaN(), rng,
              &sampled.ids, nullptr) == absl::StatusCode::kInvalidArgument &&
              sampled.ids == sampled_ids,
          "SampleNormalized accepted alpha NaN or touched its output");
  if (!is_bpe || checks.converter_built) {
    Require(processor.SampleNormalized(normalized, 0.0f, rng, &sampled.ids,
                                       &sampled.views) == kOk,
            "SampleNormalized failed on a loaded model");
    Require(sampled == whole, "sampling with alpha 0 is not deterministic");
  }

  CheckPretokenize(processor, normalized);
  CheckDecode(processor, whole.ids);
}

void CheckQueries(const KorvelLiteProcessor& processor) {
  const int vocab_size = static_cast<int>(processor.vocab_size());
  const int unk_id = processor.unk_id();
  for (int special :
       {unk_id, processor.bos_id(), processor.eos_id(), processor.pad_id()}) {
    Require(special >= -1 && special < vocab_size, "special id out of range");
  }
  Require(processor.PieceToId("") == unk_id, "empty piece is not unknown");
  const std::string_view unknown_text =
      unk_id >= 0 ? processor.IdToPiece(unk_id) : "<unk>";
  for (int id : {-1, vocab_size, std::numeric_limits<int>::min(),
                 std::numeric_limits<int>::max()}) {
    Require(processor.IdToPiece(id) == unknown_text,
            "IdToPiece of an id out of range is not the unknown text");
    Require(processor.GetScore(id) == 0.0f, "score of an id out of range");
    Require(processor.piece_type(id) == -1, "type of an id out of range");
  }
  for (int id = 0; id < std::min(vocab_size, kMaxCheckedIds); ++id) {
    Require(processor.PieceToId(processor.IdToPiece(id)) == id,
            "a piece is not found under its own id");
    Require(std::isfinite(processor.GetScore(id)), "score not finite");
    processor.piece_type(id);
  }
}

void CheckLoadedModel(const KorvelLiteProcessor& processor,
                      bool converter_built) {
  CheckQueries(processor);
  TextChecks checks;
  checks.converter_built = converter_built;
  if (converter_built) {
    checks.user_defined_pieces_well_formed = true;
    checks.user_defined_pieces_without_space_runs = true;
    for (int id = 0; id < static_cast<int>(processor.vocab_size()); ++id) {
      if (processor.piece_type(id) != PieceType_USER_DEFINED) continue;
      const std::string_view piece = processor.IdToPiece(id);
      if (!IsWellFormed(piece)) checks.user_defined_pieces_well_formed = false;
      if (piece.find("  ") != std::string_view::npos) {
        checks.user_defined_pieces_without_space_runs = false;
      }
    }
  }
  FixedRandom random;
  auto rng = [&random] { return random(); };
  for (const std::string& text : SampleTexts()) {
    CheckText(processor, text, rng, checks);
  }

  const int vocab_size = static_cast<int>(processor.vocab_size());
  std::vector<int> ids;
  std::string pieces;
  for (int id = 0; id < std::min(vocab_size, kMaxCheckedIds); ++id) {
    ids.push_back(id);
    if (id < kPiecesPerText) pieces += processor.IdToPiece(id);
  }
  CheckDecode(processor, ids);
  CheckText(processor, pieces, rng, checks);
  ids.resize(std::min(vocab_size, kPiecesPerText));
  std::string decoded;
  processor.Decode(ids, &decoded, nullptr);
  CheckText(processor, decoded, rng, checks);
  ids.push_back(vocab_size);
  CheckDecode(processor, ids);
}

}  // namespace korvel::lite::fuzzing
