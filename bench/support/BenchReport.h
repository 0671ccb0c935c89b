// How the channel benchmarks report: an aligned table on standard output, summary rows for the
// combined table of scripts/run-bench, and a hard stop when a measurement cannot be trusted.
#ifndef SELKO_BENCH_REPORT_H
#define SELKO_BENCH_REPORT_H

#include <string>
#include <vector>

namespace selko::bench {

// Prints "bench failure: ..." to standard error and ends the program with status 1. A benchmark
// that lost or corrupted a byte, or waited past its bound, has no figure worth printing.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the program through fail() if it is still running `seconds` from now, so that no
// benchmark can hang whatever the library or the device does.
void armWatchdog(double seconds);

// printf into a std::string.
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Columns padded to their widest cell; the first column is left-aligned, the others right-aligned.
class Table {
public:
    explicit Table(std::vector<std::string> header);
    void add(std::vector<std::string> row);
    void print(const std::string& title) const;

private:
    std::vector<std::vector<std::string>> _rows;
};

// A target on a ratio: "at most" (lower is better) or "at least" (higher is better).
struct Target {
    enum Kind { None, AtMost, AtLeast };
    Kind kind = None;
    double limit = 0;

    std::string text() const;     // "<= 1.10", ">= 0.95" or "-"
    std::string verdict(double ratio) const;   // "holds", "MISSED" or "-"
};

// Rows of the combined table, appended to the file given with --summary (tab-separated:
// section, case, metric, value, baseline, ratio, target, verdict). Without a path it does nothing.
class Summary {
public:
    explicit Summary(std::string path);
    void add(const std::string& section, const std::string& variant, const std::string& metric,
             const std::string& value, const std::string& baseline, double ratio, const Target& target);

private:
    std::string _path;
};

} // namespace selko::bench

#endif
