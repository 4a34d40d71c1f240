#ifndef KORVEL_TOKENIZER_DECODE_STREAM_H_
#define KORVEL_TOKENIZER_DECODE_STREAM_H_

#include <cstddef>
#include <string>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "absl/status/status.h"
#include "absl/types/span.h"

namespace korvel::lite {
class KorvelLiteProcessor;
}  // namespace korvel::lite

namespace korvel::tokenizer {

class Tokenizer;

// What streaming decode needs to know about a model, found once when the
// model is opened.
struct StreamFacts {
  static StreamFacts Find(const lite::KorvelLiteProcessor& processor);

  // A piece whose leading whitespace symbol decoding may drop at the text
  // start, or -1 when no piece's text depends on the start.
  int start_probe_id = -1;
  // Ids that, decoded first, leave the decoder past the text start with no
  // byte run that later bytes could change, and the bytes they decode to.
  absl::InlinedVector<int, 1> past_start_prefix;
  size_t past_start_prefix_size = 0;
  // The id of the byte piece for 0x00, or -1 without byte pieces.
  int first_byte_id = -1;
};

// Decodes ids fed one at a time, as a generating model produces them.
//
// Each Step appends the text that has become final: never part of a UTF-8
// character (byte pieces of one character wait for the rest), and with the
// text start handled as Decode handles it. Finish appends what is still
// pending and starts a new sequence. For every id sequence the text of all
// steps and the finish equals Decode of the whole sequence, byte for byte.
// An id outside the vocabulary fails with Decode's error and leaves the
// stream as it was.
//
// A stream holds at most three pending ids (with a byte-level model, three
// bytes of an unfinished character) besides fixed scratch space. It
// refers to its Tokenizer, which must outlive it. One stream serves one
// thread at a time; streams are independent of each other.
class DecodeStream {
 public:
  explicit DecodeStream(const Tokenizer& tokenizer);

  absl::Status Step(int id, std::string* out);
  absl::Status Finish(std::string* out);

 private:
  bool IsBytePiece(int id) const;
  // How many of the pending byte ids end in an unfinished character that
  // more bytes could complete.
  size_t UnfinishedCharacterSize() const;
  // Appends the text of `ids` decoded after the ids already emitted.
  void AppendDecoded(absl::Span<const int> ids, std::string* out);
  bool LeavesTextStart(int id);
  void StepByteLevel(int id, std::string* out);

  const lite::KorvelLiteProcessor* processor_;
  const StreamFacts* facts_;
  bool past_start_ = false;
  absl::InlinedVector<int, 4> pending_;
  std::vector<int> window_;
  std::string text_;
  std::string unfinished_;
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_DECODE_STREAM_H_
