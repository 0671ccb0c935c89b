// Clocks and counters of the channel benchmarks.
#ifndef SELKO_BENCH_CLOCK_H
#define SELKO_BENCH_CLOCK_H

#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace selko::bench {

inline double clockSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Monotonic wall time in seconds.
inline double wallSeconds() { return clockSeconds(CLOCK_MONOTONIC); }

// CPU time of this whole process (every thread, user and system), exact to the scheduler's
// accounting, not sampled at timer ticks. Child processes are not included.
inline double processCpuSeconds() { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

// Context switches of this process so far (voluntary plus involuntary, every thread, ended
// threads included): each is a thread going to sleep or being put aside, so for threads that
// sleep in select the count is their wake-ups.
inline std::int64_t processContextSwitches() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::int64_t>(usage.ru_nvcsw) + static_cast<std::int64_t>(usage.ru_nivcsw);
}

inline void sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

} // namespace selko::bench

#endif
