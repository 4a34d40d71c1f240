#include "korvel_cli/line_pipeline.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "absl/strings/str_cat.h"
#include "absl/types/span.h"
#include "korvel_cli/progress.h"
#include "korvel_tokenizer/thread_pool.h"

namespace korvel::cli {
namespace {

// Below this many bytes per thread a batch runs on the calling thread alone.
constexpr size_t kMinBytesPerThread = size_t{64} << 10;
// With several threads a batch is cut into slices that the threads take one
// at a time, so that a thread that finishes early takes more; up to this many
// per thread, of at least kMinBytesPerSlice each. Small slices keep short the
// time a thread waits for the others at the end of a batch.
constexpr size_t kSlicesPerThread = 32;
constexpr size_t kMinBytesPerSlice = size_t{16} << 10;

// A run of consecutive lines of a batch and what came of it. Aligned so that
// threads writing neighbouring slices do not share cache lines.
struct alignas(64) Slice {
  size_t first = 0;
  size_t last = 0;
  std::string output;
  size_t failed_line = 0;
  absl::Status status;
};

// One thread's working space, apart from the others' for the same reason.
struct alignas(64) ThreadScratch {
  LineScratch lines;
};

// Runs `transform` on one line and ends its output; an allocation failure,
// which may happen on a pool thread, becomes the line's error.
absl::Status RunLine(std::string_view line, uint64_t line_index,
                     LineTransform transform, LineScratch& scratch,
                     std::string& out) {
  try {
    absl::Status status = transform(line, line_index, scratch, out);
    if (status.ok()) out.push_back('\n');
    return status;
  } catch (const std::bad_alloc&) {
    scratch = LineScratch();
    return absl::ResourceExhaustedError("out of memory");
  }
}

void RunSlice(const std::vector<std::string_view>& lines, uint64_t base_index,
              LineTransform transform, LineScratch& scratch, Slice& slice) {
  slice.output.clear();
  slice.status = absl::OkStatus();
  for (size_t i = slice.first; i < slice.last; ++i) {
    const size_t line_start = slice.output.size();
    absl::Status status =
        RunLine(lines[i], base_index + i, transform, scratch, slice.output);
    if (!status.ok()) {
      slice.output.resize(line_start);
      slice.failed_line = i;
      slice.status = std::move(status);
      return;
    }
  }
}

// Cuts lines into `slices.size()` consecutive ranges of about equal bytes.
void AssignRanges(const std::vector<std::string_view>& lines, size_t bytes,
                  absl::Span<Slice> slices) {
  const size_t count = slices.size();
  size_t line = 0;
  size_t done = 0;
  for (size_t s = 0; s < count; ++s) {
    slices[s].first = line;
    const size_t target = bytes / count * (s + 1);
    while (line < lines.size() && (s + 1 == count || done < target)) {
      done += lines[line].size() + 1;
      ++line;
    }
    slices[s].last = line;
  }
}

}  // namespace

absl::Status TransformLines(LineReader& reader, int threads,
                            std::string_view verb, LineTransform transform,
                            OutputSink& sink) {
  const size_t thread_count = static_cast<size_t>(std::max(threads, 1));
  std::vector<ThreadScratch> scratch(thread_count);
  std::vector<Slice> slices(thread_count * kSlicesPerThread);
  const std::unique_ptr<tokenizer::ThreadPool> pool =
      thread_count > 1 ? std::make_unique<tokenizer::ThreadPool>(
                             static_cast<int>(thread_count - 1))
                       : nullptr;
  std::vector<std::string_view> lines;
  std::vector<std::string_view> next_lines;
  ProgressMeter progress{std::string(verb)};
  uint64_t base_index = 0;
  absl::StatusOr<bool> more = reader.NextBatch(&lines);
  while (true) {
    if (!more.ok()) return more.status();
    if (!*more) break;
    size_t bytes = 0;
    for (std::string_view line : lines) bytes += line.size() + 1;

    const size_t active =
        std::clamp<size_t>(bytes / kMinBytesPerThread, 1, thread_count);
    const size_t slice_count =
        active == 1 ? 1
                    : std::clamp<size_t>(bytes / kMinBytesPerSlice, active,
                                         active * kSlicesPerThread);
    const absl::Span<Slice> batch(slices.data(), slice_count);
    AssignRanges(lines, bytes, batch);
    std::atomic<size_t> next_slice{0};
    const auto run = [&](ThreadScratch& thread_scratch) {
      for (size_t s = next_slice.fetch_add(1); s < slice_count;
           s = next_slice.fetch_add(1)) {
        RunSlice(lines, base_index, transform, thread_scratch.lines, batch[s]);
      }
    };
    // Threads 1 and up are the pool's, thread 0 is this one.
    tokenizer::CountDown done(active - 1);
    for (size_t t = 1; t < active; ++t) {
      try {
        pool->Schedule([&run, &done, &thread_scratch = scratch[t]] {
          run(thread_scratch);
          done.Done();
        });
      } catch (const std::bad_alloc&) {
        done.Done();  // The threads already started take its slices.
      }
    }
    // While the pool works, this thread reads the next batch, if that cannot
    // wait for a producer; a failure to read it counts after this batch.
    const bool read_ahead = active > 1 && reader.reads_ahead();
    if (read_ahead) more = reader.NextBatch(&next_lines);
    run(scratch[0]);
    done.Wait();

    for (const Slice& slice : batch) {
      sink.Write(slice.output);
      if (!slice.status.ok()) {
        return absl::Status(
            slice.status.code(),
            absl::StrCat(reader.name(), ":", base_index + slice.failed_line + 1,
                         ": ", slice.status.message()));
      }
    }
    sink.Flush();
    progress.Add(lines.size(), bytes);
    base_index += lines.size();
    if (read_ahead) {
      lines.swap(next_lines);
    } else {
      more = reader.NextBatch(&lines);
    }
  }
  return absl::OkStatus();
}

}  // namespace korvel::cli
