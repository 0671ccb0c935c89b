#include "Bench.h"

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace selko::bench {

namespace {

std::string vformat(const char* text, va_list arguments) {
    char buffer[512];
    std::vsnprintf(buffer, sizeof buffer, text, arguments);
    return buffer;
}

double clockSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

} // namespace

Args parseArgs(int argc, char** argv) {
    Args args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            args.quick = true;
        } else if (std::strcmp(argv[i], "--summary") == 0 && i + 1 < argc) {
            args.summaryPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--summary FILE]\n", argv[0]);
            std::exit(2);
        }
    }
    return args;
}

void fail(const char* text, ...) {
    va_list arguments;
    va_start(arguments, text);
    std::fprintf(stderr, "bench failure: %s\n", vformat(text, arguments).c_str());
    va_end(arguments);
    std::fflush(nullptr);
    std::_Exit(1); // no destructors: channels, devices and threads may be in any state here
}

void armWatchdog(double seconds) {
    ::signal(SIGALRM, [](int) {
        static const char message[] = "bench failure: the watchdog expired (a benchmark hung)\n";
        (void)!::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(1);
    });
    ::alarm(static_cast<unsigned>(seconds) + 1);
}

std::string format(const char* text, ...) {
    va_list arguments;
    va_start(arguments, text);
    std::string result = vformat(text, arguments);
    va_end(arguments);
    return result;
}

double wallSeconds() { return clockSeconds(CLOCK_MONOTONIC); }
double processCpuSeconds() { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID); }
void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

double median(std::vector<double> samples) {
    if (samples.empty())
        return NAN;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* directory = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(directory))
            if (entry->d_name[0] != '.')
                ids.insert(std::atoi(entry->d_name));
        ::closedir(directory);
    }
    return ids;
}

std::set<int> newThreadIds(const std::set<int>& before) {
    std::set<int> started;
    for (const int tid : threadIds())
        if (before.count(tid) == 0)
            started.insert(tid);
    return started;
}

double threadsCpuSeconds(const std::set<int>& tids) {
    // The first field of schedstat is the thread's time on a CPU in nanoseconds (exact, not sampled).
    double total = 0;
    for (const int tid : tids) {
        if (FILE* file = std::fopen(format("/proc/self/task/%d/schedstat", tid).c_str(), "r")) {
            unsigned long long nanoseconds = 0;
            if (std::fscanf(file, "%llu", &nanoseconds) == 1)
                total += static_cast<double>(nanoseconds) * 1e-9;
            std::fclose(file);
        }
    }
    return total;
}

int currentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

std::string Target::text() const {
    return kind == AtMost ? format("<= %.2f", limit) : kind == AtLeast ? format(">= %.2f", limit) : "-";
}

std::string Target::verdict(double ratio) const {
    if (kind == None || !std::isfinite(ratio))
        return "-";
    return (kind == AtMost ? ratio <= limit : ratio >= limit) ? "holds" : "MISSED";
}

void Report::add(const std::string& name, const std::string& metric, double value, double baseline, const Target& target) {
    const double ratio = value / baseline;
    _rows.push_back({_section, name, metric, format("%.4g", value), format("%.4g", baseline), format("%.2f", ratio),
                     target.text(), target.verdict(ratio)});
    if (_summaryPath.empty())
        return;
    FILE* file = std::fopen(_summaryPath.c_str(), "a");
    if (file == nullptr)
        fail("cannot append to %s", _summaryPath.c_str());
    for (std::size_t i = 0; i < _rows.back().size(); ++i)
        std::fprintf(file, "%s%c", _rows.back()[i].c_str(), i + 1 < _rows.back().size() ? '\t' : '\n');
    std::fclose(file);
}

void Report::print(const std::string& title) const {
    std::vector<std::vector<std::string>> rows{{"section", "case", "metric", "value", "baseline", "ratio", "target", "verdict"}};
    rows.insert(rows.end(), _rows.begin(), _rows.end());
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::printf("\n%s\n", title.c_str());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += format(i < 3 ? "%-*s  " : "%*s  ", static_cast<int>(widths[i]), row[i].c_str());
        std::printf("  %s\n", line.c_str());
    }
    std::fflush(stdout);
}

void awaitReply(const std::string& name, const std::function<std::string()>& read) {
    std::string reply;
    for (const double deadline = wallSeconds() + kReplyBound; reply.empty() || reply.back() != '\n';) {
        reply += read();
        if (wallSeconds() > deadline)
            fail("%s: no reply within %.0f s", name.c_str(), kReplyBound);
    }
    if (reply != "OK\n")
        fail("%s: unexpected reply \"%s\"", name.c_str(), reply.c_str());
}

} // namespace selko::bench
