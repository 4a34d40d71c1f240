#ifndef KORVEL_TOKENIZER_BATCH_ENCODER_H_
#define KORVEL_TOKENIZER_BATCH_ENCODER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "absl/types/span.h"
#include "korvel_tokenizer/options.h"

namespace korvel::tokenizer {

class Tokenizer;
class ThreadPool;

// Encodes and decodes many texts at once on a pool of threads that share one
// Tokenizer.
//
// A batch runs on the calling thread and `num_threads` - 1 pool threads, which
// start with the BatchEncoder and end with it; `num_threads` 0 means one per
// core of the machine. Results come in input order and equal those of
// encoding one text at a time. A batch that fails reports the error of its
// first failing text (in input order), with the index of the text in the
// message, and leaves the outputs unspecified. The Tokenizer must outlive
// the encoder. Batches from several threads may run at once; they share the
// pool.
class BatchEncoder {
 public:
  explicit BatchEncoder(const Tokenizer& tokenizer, int num_threads = 0);
  ~BatchEncoder();
  BatchEncoder(const BatchEncoder&) = delete;
  BatchEncoder& operator=(const BatchEncoder&) = delete;

  int num_threads() const;

  absl::Status EncodeBatch(absl::Span<const std::string_view> texts,
                           const EncodeOptions& options,
                           std::vector<std::vector<int>>* ids) const;
  // Also fills one offset vector per text.
  absl::Status EncodeBatch(absl::Span<const std::string_view> texts,
                           const EncodeOptions& options,
                           std::vector<std::vector<int>>* ids,
                           std::vector<std::vector<Offset>>* offsets) const;
  // Writes all ids one after another into `ids`, and into `ends` the end of
  // each text's ids (so text i has ids [ends[i-1], ends[i])); `offsets`, when
  // given, gets one range per id.
  absl::Status EncodeBatchFlat(absl::Span<const std::string_view> texts,
                               const EncodeOptions& options,
                               std::vector<int>* ids, std::vector<size_t>* ends,
                               std::vector<Offset>* offsets = nullptr) const;
  absl::Status DecodeBatch(absl::Span<const std::vector<int>> ids,
                           std::vector<std::string>* texts,
                           const DecodeOptions& options = {}) const;

 private:
  // Runs `task` for every index in [0, count) on the pool and returns the
  // error of the lowest failing index.
  absl::Status ForEach(size_t count,
                       const std::function<absl::Status(size_t)>& task) const;

  const Tokenizer& tokenizer_;
  std::unique_ptr<ThreadPool> pool_;
};

}  // namespace korvel::tokenizer

#endif  // KORVEL_TOKENIZER_BATCH_ENCODER_H_
