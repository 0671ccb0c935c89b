// CPU time of individual threads of this process, so that the simulated device's own threads can
// be taken out of the host's figures.
#ifndef SELKO_BENCH_THREAD_CPU_H
#define SELKO_BENCH_THREAD_CPU_H

#include <set>

namespace selko::bench {

// Kernel thread ids of this process's threads right now (entries of /proc/self/task).
std::set<int> threadIds();

// CPU seconds thread `tid` of this process has run so far (its scheduler run time, exact);
// 0 when the thread is gone.
double threadCpuSeconds(int tid);

// Sum of threadCpuSeconds over `tids`.
double threadsCpuSeconds(const std::set<int>& tids);

// Context switches of thread `tid` so far (voluntary plus involuntary; for a thread that sleeps
// in select, its wake-ups); 0 when the thread is gone.
long long threadContextSwitches(int tid);

// Sum of threadContextSwitches over `tids`.
long long threadsContextSwitches(const std::set<int>& tids);

// The ids in `after` that are not in `before`: the threads started in between.
std::set<int> newThreadIds(const std::set<int>& before, const std::set<int>& after);

} // namespace selko::bench

#endif
