#pragma once
// Timing shared by the imaging benchmarks: CPU time, and an anchor and a candidate run in
// turn so that drift in machine load hits both alike.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace bench {

// CPU time of the whole process (page faults and helper threads included): on a shared
// machine wall time mostly measures who else is running.
inline double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

inline double Seconds(const std::function<void()>& f) {
  const double t0 = CpuSeconds();
  f();
  return CpuSeconds() - t0;
}

// The fastest of `reps` alternating runs of each, after one warm-up run of each.
inline std::pair<double, double> Compare(int reps, const std::function<void()>& anchor,
                                         const std::function<void()>& ours) {
  anchor();
  ours();
  std::vector<double> a, o;
  for (int i = 0; i < reps; ++i) {
    a.push_back(Seconds(anchor));
    o.push_back(Seconds(ours));
  }
  return {*std::min_element(a.begin(), a.end()), *std::min_element(o.begin(), o.end())};
}

// Large buffers are served from the heap and kept there between runs, for every row alike.
// Left to itself glibc switches regime after the first large free, and fresh pages cost
// this VM more to fault in (~70 ms per 25 MB) than the decode itself: the rows would then
// compare page faults, not code.
inline void KeepLargeBuffersOnTheHeap() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

}  // namespace bench
