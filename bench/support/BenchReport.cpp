#include "BenchReport.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <signal.h>
#include <unistd.h>

namespace selko::bench {

namespace {

std::string vformat(const char* text, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, text, copy);
    va_end(copy);
    std::string result(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(result.data(), result.size() + 1, text, arguments);
    return result;
}

} // namespace

void fail(const char* text, ...) {
    va_list arguments;
    va_start(arguments, text);
    const std::string message = vformat(text, arguments);
    va_end(arguments);
    std::fprintf(stderr, "bench failure: %s\n", message.c_str());
    std::fflush(nullptr);
    // No destructors: channels, devices and threads may be in any state here.
    std::_Exit(1);
}

namespace {

void watchdogExpired(int) {
    static const char message[] = "bench failure: the watchdog expired (a benchmark hung)\n";
    (void)!::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(1);
}

} // namespace

void armWatchdog(double seconds) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = watchdogExpired;
    ::sigaction(SIGALRM, &action, nullptr);
    ::alarm(static_cast<unsigned>(seconds) + 1);
}

std::string format(const char* text, ...) {
    va_list arguments;
    va_start(arguments, text);
    std::string result = vformat(text, arguments);
    va_end(arguments);
    return result;
}

Table::Table(std::vector<std::string> header) { _rows.push_back(std::move(header)); }

void Table::add(std::vector<std::string> row) { _rows.push_back(std::move(row)); }

void Table::print(const std::string& title) const {
    std::vector<std::size_t> widths;
    for (const auto& row : _rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    std::printf("\n%s\n", title.c_str());
    for (std::size_t r = 0; r < _rows.size(); ++r) {
        const auto& row = _rows[r];
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string padding(widths[i] - row[i].size(), ' ');
            line += i == 0 ? row[i] + padding : "  " + padding + row[i];
        }
        std::printf("  %s\n", line.c_str());
        if (r == 0) {
            std::size_t total = 0;
            for (std::size_t width : widths)
                total += width + 2;
            std::printf("  %s\n", std::string(total - 2, '-').c_str());
        }
    }
    std::fflush(stdout);
}

std::string Target::text() const {
    switch (kind) {
    case AtMost: return format("<= %.2f", limit);
    case AtLeast: return format(">= %.2f", limit);
    default: return "-";
    }
}

std::string Target::verdict(double ratio) const {
    if (kind == None || !std::isfinite(ratio))
        return "-";
    const bool holds = kind == AtMost ? ratio <= limit : ratio >= limit;
    return holds ? "holds" : "MISSED";
}

Summary::Summary(std::string path) : _path(std::move(path)) {}

void Summary::add(const std::string& section, const std::string& variant, const std::string& metric,
                  const std::string& value, const std::string& baseline, double ratio, const Target& target) {
    if (_path.empty())
        return;
    FILE* file = std::fopen(_path.c_str(), "a");
    if (file == nullptr)
        fail("cannot append to summary file %s", _path.c_str());
    const std::string ratioText = std::isfinite(ratio) ? format("%.3f", ratio) : "-";
    std::fprintf(file, "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", section.c_str(), variant.c_str(), metric.c_str(),
                 value.c_str(), baseline.c_str(), ratioText.c_str(), target.text().c_str(),
                 target.verdict(ratio).c_str());
    std::fclose(file);
}

} // namespace selko::bench
