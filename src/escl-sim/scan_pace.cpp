#include "scan_pace.h"

#include <algorithm>

namespace escl_sim {

namespace {
// Steps of about 20 ms of data.
constexpr long long kStepsPerSecond = 50;
}  // namespace

ScanPace::ScanPace(long long bytes_per_second, size_t head_start)
    : rate_(std::max(bytes_per_second, 0LL)), head_start_(head_start), start_(Clock::now()) {}

size_t ScanPace::step(size_t offset, size_t available) const {
  if (rate_ == 0) return available;
  if (offset < head_start_) return std::min(available, head_start_ - offset);
  const size_t bytes = static_cast<size_t>(std::max(rate_ / kStepsPerSecond, 1LL));
  return std::min(available, bytes);
}

ScanPace::Clock::time_point ScanPace::due(size_t end) const {
  if (rate_ == 0 || end <= head_start_) return start_;
  const auto late = std::chrono::duration<double>(static_cast<double>(end - head_start_) /
                                                  static_cast<double>(rate_));
  return start_ + std::chrono::duration_cast<Clock::duration>(late);
}

}  // namespace escl_sim
