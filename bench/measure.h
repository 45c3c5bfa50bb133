// What the benchmarks that time calls one by one report: the median of their
// samples, and the CPU time of the calling thread.
#pragma once

#include <time.h>

#include <algorithm>
#include <vector>

namespace vorkand::bench {

inline double median_us(std::vector<double> samples) {
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

inline double cpu_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace vorkand::bench
