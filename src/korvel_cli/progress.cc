#include "korvel_cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "absl/strings/str_format.h"

namespace korvel::cli {
namespace {

constexpr std::chrono::milliseconds kQuietStart(1000);
constexpr std::chrono::milliseconds kRedrawInterval(250);

}  // namespace

ProgressMeter::ProgressMeter(std::string verb)
    : verb_(std::move(verb)),
      enabled_(::isatty(STDERR_FILENO) == 1),
      start_(Clock::now()),
      last_draw_(start_) {}

ProgressMeter::~ProgressMeter() { Finish(); }

void ProgressMeter::Add(uint64_t lines, uint64_t bytes) {
  lines_ += lines;
  bytes_ += bytes;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < kQuietStart || now - last_draw_ < kRedrawInterval) return;
  Draw(now);
}

void ProgressMeter::Finish() {
  if (!drawn_) return;
  Draw(Clock::now());
  std::fputc('\n', stderr);
  drawn_ = false;
  enabled_ = false;
}

void ProgressMeter::Draw(Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double megabytes = static_cast<double>(bytes_) / 1e6;
  const double rate = seconds > 0 ? megabytes / seconds : 0.0;
  std::fputs(absl::StrFormat("\r%s %d lines, %.1f MB, %.1f MB/s", verb_, lines_,
                             megabytes, rate)
                 .c_str(),
             stderr);
  std::fflush(stderr);
  drawn_ = true;
  last_draw_ = now;
}

}  // namespace korvel::cli
