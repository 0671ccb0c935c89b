// What every benchmark program shares: its flags, clocks, the CPU time of individual threads (so
// that the simulated device's threads are taken out of the host's figures), and one report
// format: an aligned table on standard output plus summary rows for scripts/run-bench.
#ifndef SELKO_BENCH_H
#define SELKO_BENCH_H

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace selko::bench {

// --quick, --summary FILE; `full` or `quick` picks a size by the run's kind.
struct Args {
    bool quick = false;
    std::string summaryPath;
    double pick(double full, double quickValue) const { return quick ? quickValue : full; }
};
Args parseArgs(int argc, char** argv);

// Prints "bench failure: ..." and ends the program: a benchmark that lost or corrupted a byte,
// or waited past its bound, has no figure worth printing.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Ends the program through fail() if it still runs `seconds` from now.
void armWatchdog(double seconds);
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

double wallSeconds();       // monotonic
double processCpuSeconds(); // every thread of this process
void sleepSeconds(double seconds);
double median(std::vector<double> samples);

// How long one exchange of the round-trip benchmarks may take: longer voids the run.
constexpr double kReplyBound = 2.0;
// Reads until the line "OK\n" is complete; `read` returns the next piece (empty: nothing yet).
void awaitReply(const std::string& name, const std::function<std::string()>& read);

// Kernel ids of this process's threads, and the CPU seconds the given ones have run so far.
std::set<int> threadIds();
std::set<int> newThreadIds(const std::set<int>& before);
double threadsCpuSeconds(const std::set<int>& tids);
int currentThreadId();

// A target on a ratio: "at most" (lower is better) or "at least" (higher is better).
struct Target {
    enum Kind { None, AtMost, AtLeast } kind = None;
    double limit = 0;
    std::string text() const;
    std::string verdict(double ratio) const; // "holds", "MISSED" or "-"
};

// One table per program. Each row: case, metric, value, baseline value, their ratio, target.
// print() shows it; rows also go to the summary file when one was given.
class Report {
public:
    Report(std::string section, const Args& args) : _section(std::move(section)), _summaryPath(args.summaryPath) {}
    void add(const std::string& name, const std::string& metric, double value, double baseline, const Target& target = {});
    void print(const std::string& title) const;

private:
    std::string _section, _summaryPath;
    std::vector<std::vector<std::string>> _rows;
};

} // namespace selko::bench

#endif
