// The pace of page data from a device whose head is still scanning: what it
// holds already goes out at once, the rest as fast as the head produces it.
#pragma once

#include <chrono>
#include <cstddef>

namespace escl_sim {

class ScanPace {
 public:
  using Clock = std::chrono::steady_clock;

  // bytes_per_second 0: no pacing. The first head_start bytes are due at
  // once; the clock starts now.
  ScanPace(long long bytes_per_second, size_t head_start);

  // How many of `available` bytes from `offset` to write in one go: small
  // steps, so that the data flows evenly.
  size_t step(size_t offset, size_t available) const;
  // When the bytes before `end` have been produced.
  Clock::time_point due(size_t end) const;

 private:
  long long rate_;
  size_t head_start_;
  Clock::time_point start_;
};

}  // namespace escl_sim
