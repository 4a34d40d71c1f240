#ifndef KORVEL_TOKENIZER_OPTIONS_H_
#define KORVEL_TOKENIZER_OPTIONS_H_

#include <cstddef>

namespace korvel::tokenizer {

struct OpenOptions {
  // Map the file instead of reading it into memory. Mapping shares pages
  // between processes, but the file must then never change in place while it
  // is open: a mapped file that is truncated or rewritten crashes the process
  // at its next use. Replace such a file by writing a new one and renaming it
  // over the old name; the open mapping keeps the old contents.
  bool mmap = false;
};

struct EncodeOptions {
  // Put the model's BOS id first / its EOS id last; kFailedPrecondition when
  // the model has none.
  bool add_bos = false;
  bool add_eos = false;
  // Turn the texts of CONTROL pieces and of the unknown piece found in the
  // input (such as "<s>", "<start_of_turn>" or "<unk>") into their ids,
  // leftmost-longest, and encode the text between them as usual. Off by
  // default, so that text from end users cannot inject control ids.
  bool parse_special = false;
};

struct DecodeOptions {
  // Write the text of every CONTROL piece (such as "<s>") where it stands;
  // by default they decode to nothing. The unknown piece decodes as always.
  bool keep_special = false;
};

// The byte range [begin, end) of the input text that one id stands for.
struct Offset {
  size_t begin = 0;
  size_t end = 0;

  friend bool operator==(const Offset& a, const Offset& b) {
    return a.begin == b.begin && a.end == b.end;
  }
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_OPTIONS_H_
