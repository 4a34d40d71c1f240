#include "korvel_cli/line_pipeline.h"

#include <algorithm>
#include <memory>

#include "absl/strings/str_cat.h"
#include "absl/synchronization/blocking_counter.h"
#include "absl/types/span.h"
#include "korvel_cli/progress.h"
#include "korvel_tokenizer/thread_pool.h"

namespace korvel::cli {
namespace {

// Below this many bytes per thread a batch runs on the calling thread alone.
constexpr size_t kMinBytesPerThread = size_t{64} << 10;

// One thread's share of a batch and what came of it.
struct Worker {
  size_t first = 0;
  size_t last = 0;
  std::string output;
  size_t failed_line = 0;
  absl::Status status;
  LineScratch scratch;
};

void RunWorker(const std::vector<std::string_view>& lines, uint64_t base_index,
               LineTransform transform, Worker& worker) {
  worker.output.clear();
  worker.status = absl::OkStatus();
  for (size_t i = worker.first; i < worker.last; ++i) {
    const size_t line_start = worker.output.size();
    absl::Status status =
        transform(lines[i], base_index + i, worker.scratch, worker.output);
    if (!status.ok()) {
      worker.output.resize(line_start);
      worker.failed_line = i;
      worker.status = std::move(status);
      return;
    }
    worker.output.push_back('\n');
  }
}

// Cuts lines into `workers.size()` consecutive ranges of about equal bytes.
void AssignRanges(const std::vector<std::string_view>& lines, size_t bytes,
                  absl::Span<Worker> workers) {
  const size_t count = workers.size();
  size_t line = 0;
  size_t done = 0;
  for (size_t w = 0; w < count; ++w) {
    workers[w].first = line;
    const size_t target = bytes / count * (w + 1);
    while (line < lines.size() && (w + 1 == count || done < target)) {
      done += lines[line].size() + 1;
      ++line;
    }
    workers[w].last = line;
  }
}

}  // namespace

absl::Status TransformLines(LineReader& reader, int threads,
                            std::string_view verb, LineTransform transform,
                            OutputSink& sink) {
  std::vector<Worker> workers(std::max(threads, 1));
  const std::unique_ptr<tokenizer::ThreadPool> pool =
      workers.size() > 1 ? std::make_unique<tokenizer::ThreadPool>(
                               static_cast<int>(workers.size() - 1))
                         : nullptr;
  std::vector<std::string_view> lines;
  ProgressMeter progress{std::string(verb)};
  uint64_t base_index = 0;
  while (true) {
    absl::StatusOr<bool> more = reader.NextBatch(&lines);
    if (!more.ok()) return more.status();
    if (!*more) break;
    size_t bytes = 0;
    for (std::string_view line : lines) bytes += line.size() + 1;

    const size_t active =
        std::clamp<size_t>(bytes / kMinBytesPerThread, 1, workers.size());
    const absl::Span<Worker> batch(workers.data(), active);
    AssignRanges(lines, bytes, batch);
    const auto run = [&](Worker& worker) {
      RunWorker(lines, base_index, transform, worker);
    };
    // Ranges 1 and up go to the pool, range 0 runs here.
    absl::BlockingCounter done(static_cast<int>(active - 1));
    for (size_t w = 1; w < active; ++w) {
      pool->Schedule([&run, &done, &worker = batch[w]] {
        run(worker);
        done.DecrementCount();
      });
    }
    run(batch[0]);
    done.Wait();

    for (const Worker& worker : batch) {
      sink.Write(worker.output);
      if (!worker.status.ok()) {
        return absl::Status(worker.status.code(),
                            absl::StrCat(reader.name(), ":",
                                         base_index + worker.failed_line + 1,
                                         ": ", worker.status.message()));
      }
    }
    sink.Flush();
    progress.Add(lines.size(), bytes);
    base_index += lines.size();
  }
  return absl::OkStatus();
}

}  // namespace korvel::cli
