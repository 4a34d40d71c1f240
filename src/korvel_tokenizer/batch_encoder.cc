#include "korvel_tokenizer/batch_encoder.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "absl/strings/str_cat.h"
#include "korvel_tokenizer/thread_pool.h"
#include "korvel_tokenizer/tokenizer.h"

namespace korvel::tokenizer {
namespace {

int ThreadCount(int requested) {
  if (requested > 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

// Threads take the texts in runs of consecutive indices: one shared counter
// step per run instead of per text, and the outputs a thread writes sit next
// to each other instead of sharing cache lines with another thread's. About
// sixteen runs per thread keep the threads busy to the end of the batch when
// texts differ in length.
size_t ChunkSize(size_t count, size_t workers) {
  constexpr size_t kRunsPerThread = 16;
  constexpr size_t kMaxChunk = 256;
  return std::clamp<size_t>(
      count / (std::max<size_t>(workers, 1) * kRunsPerThread), 1, kMaxChunk);
}

absl::Status AtText(size_t index, const absl::Status& status) {
  return absl::Status(status.code(),
                      absl::StrCat("text ", index, ": ", status.message()));
}

}  // namespace

BatchEncoder::BatchEncoder(const Tokenizer& tokenizer, int num_threads)
    : tokenizer_(tokenizer),
      pool_(std::make_unique<ThreadPool>(ThreadCount(num_threads) - 1)) {}

BatchEncoder::~BatchEncoder() = default;

int BatchEncoder::num_threads() const { return pool_->size() + 1; }

absl::Status BatchEncoder::ForEach(
    size_t count, const std::function<absl::Status(size_t)>& task) const {
  const size_t workers =
      std::clamp<size_t>(count, 1, static_cast<size_t>(num_threads()));
  const size_t chunk = ChunkSize(count, workers);
  std::atomic<size_t> next{0};
  std::mutex mutex;
  size_t first_failure = count;
  absl::Status failure;
  auto run = [&] {
    for (size_t first = next.fetch_add(chunk); first < count;
         first = next.fetch_add(chunk)) {
      const size_t last = std::min(count, first + chunk);
      for (size_t i = first; i < last; ++i) {
        absl::Status status = task(i);
        if (status.ok()) continue;
        std::lock_guard<std::mutex> lock(mutex);
        if (i < first_failure) {
          first_failure = i;
          failure = AtText(i, status);
        }
      }
    }
  };
  // The calling thread is one of the workers: it is already running, while a
  // pool thread first has to wake up.
  CountDown done(workers - 1);
  for (size_t w = 1; w < workers; ++w) {
    pool_->Schedule([&] {
      run();
      done.Done();
    });
  }
  run();
  done.Wait();
  return failure;
}

absl::Status BatchEncoder::EncodeBatch(
    absl::Span<const std::string_view> texts, const EncodeOptions& options,
    std::vector<std::vector<int>>* ids) const {
  return EncodeBatch(texts, options, ids, nullptr);
}

absl::Status BatchEncoder::EncodeBatch(
    absl::Span<const std::string_view> texts, const EncodeOptions& options,
    std::vector<std::vector<int>>* ids,
    std::vector<std::vector<Offset>>* offsets) const {
  if (ids == nullptr) return absl::InvalidArgumentError("no output for ids");
  ids->resize(texts.size());
  if (offsets != nullptr) offsets->resize(texts.size());
  return ForEach(texts.size(), [&](size_t i) {
    return tokenizer_.Encode(texts[i], options, &(*ids)[i],
                             offsets == nullptr ? nullptr : &(*offsets)[i]);
  });
}

absl::Status BatchEncoder::EncodeBatchFlat(
    absl::Span<const std::string_view> texts, const EncodeOptions& options,
    std::vector<int>* ids, std::vector<size_t>* ends,
    std::vector<Offset>* offsets) const {
  if (ids == nullptr || ends == nullptr) {
    return absl::InvalidArgumentError("no output for ids");
  }
  std::vector<std::vector<int>> text_ids;
  std::vector<std::vector<Offset>> text_offsets;
  absl::Status status = EncodeBatch(
      texts, options, &text_ids, offsets == nullptr ? nullptr : &text_offsets);
  if (!status.ok()) return status;
  ids->clear();
  ends->clear();
  if (offsets != nullptr) offsets->clear();
  for (size_t i = 0; i < text_ids.size(); ++i) {
    ids->insert(ids->end(), text_ids[i].begin(), text_ids[i].end());
    ends->push_back(ids->size());
    if (offsets != nullptr) {
      offsets->insert(offsets->end(), text_offsets[i].begin(),
                      text_offsets[i].end());
    }
  }
  return absl::OkStatus();
}

absl::Status BatchEncoder::DecodeBatch(absl::Span<const std::vector<int>> ids,
                                       std::vector<std::string>* texts,
                                       const DecodeOptions& options) const {
  if (texts == nullptr)
    return absl::InvalidArgumentError("no output for texts");
  texts->resize(ids.size());
  return ForEach(ids.size(), [&](size_t i) {
    return tokenizer_.Decode(ids[i], options, &(*texts)[i]);
  });
}

}  // namespace korvel::tokenizer
