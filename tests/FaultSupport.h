// Helpers shared by the fault-injection tests (tests/fault_*_test.cpp): process measurements
// (resident memory, CPU time, which descriptors are open on a path), a watchdog that turns a hang
// into a clear failure instead of a stuck test program, and a byte sequence whose every position
// can be checked.
#ifndef SELKO_TEST_FAULT_SUPPORT_H
#define SELKO_TEST_FAULT_SUPPORT_H

#include <SelkoCommunication.h>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace selko::test {

// Seconds since `start` on the steady clock.
inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sanitizer builds run several times slower and keep shadow memory; volume-heavy scenarios scale
// down there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

// Resident set size of this process, in bytes.
inline std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// CPU time (user + system) used so far by the whole process, in seconds.
inline double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time used so far by the calling thread, in seconds.
inline double threadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Numbers of this process's descriptors that are open on `path`.
inline std::vector<int> descriptorsOpenOn(const std::string& path) {
    std::vector<int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return found;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[512];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && path == std::string(target, static_cast<std::size_t>(length)))
            found.push_back(std::atoi(entry->d_name));
    }
    ::closedir(dir);
    return found;
}

// Ends the test program with a message when a scenario outlives its bound, so that a hang shows
// up as a named failure at once rather than as a program stuck until the suite's timeout.
class Watchdog {
public:
    Watchdog(const char* scenario, std::chrono::seconds limit)
        : _thread([this, scenario, limit] {
              std::unique_lock<std::mutex> guard(_lock);
              if (!_done.wait_for(guard, limit, [this] { return _cancelled; })) {
                  std::fprintf(stderr, "FATAL: scenario \"%s\" still running after %lld s: it hangs\n", scenario,
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(_lock);
            _cancelled = true;
        }
        _done.notify_all();
        _thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex _lock;
    std::condition_variable _done;
    bool _cancelled = false;
    std::thread _thread;
};

// A byte stream in which every offset has a known value and runs of equal bytes are rare, so a
// lost, duplicated or reordered block shows up at the first byte it touches.
inline std::uint8_t patternByte(std::uint64_t offset) {
    std::uint64_t x = offset * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<std::uint8_t>(x >> 7);
}

inline std::string patternBytes(std::uint64_t from, std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(patternByte(from + i));
    return bytes;
}

inline SLKData bytesOf(const std::string& text) { return SLKDataWithBytes(text.data(), text.size()); }

inline std::string textOf(const SLKData& data) {
    return data ? std::string(data->begin(), data->end()) : std::string();
}

} // namespace selko::test

#endif
