#ifndef KORVEL_CLI_PROGRESS_H_
#define KORVEL_CLI_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace korvel::cli {

// Shows the progress and throughput of a long run on one self-overwriting line
// of standard error. It stays silent when standard error is not a terminal and
// during the first second, so short runs and redirected runs print nothing.
// Not thread-safe: one thread reports.
class ProgressMeter {
 public:
  explicit ProgressMeter(std::string verb);
  ~ProgressMeter();

  // Adds finished work and redraws at most a few times a second.
  void Add(uint64_t lines, uint64_t bytes);
  // Ends the progress line, if one was drawn.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;

  void Draw(Clock::time_point now);

  std::string verb_;
  bool enabled_;
  bool drawn_ = false;
  uint64_t lines_ = 0;
  uint64_t bytes_ = 0;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace korvel::cli

#endif  // KORVEL_CLI_PROGRESS_H_
