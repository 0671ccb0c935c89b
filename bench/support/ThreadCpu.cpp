#include "ThreadCpu.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace selko::bench {

std::set<int> threadIds() {
    std::set<int> ids;
    DIR* directory = ::opendir("/proc/self/task");
    if (directory == nullptr)
        return ids;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ids.insert(std::atoi(entry->d_name));
    }
    ::closedir(directory);
    return ids;
}

double threadCpuSeconds(int tid) {
    // The first field of schedstat is the thread's time on a CPU in nanoseconds.
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/schedstat";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    unsigned long long nanoseconds = 0;
    const int fields = std::fscanf(file, "%llu", &nanoseconds);
    std::fclose(file);
    return fields == 1 ? static_cast<double>(nanoseconds) * 1e-9 : 0;
}

double threadsCpuSeconds(const std::set<int>& tids) {
    double total = 0;
    for (const int tid : tids)
        total += threadCpuSeconds(tid);
    return total;
}

} // namespace selko::bench

namespace selko::bench {

long long threadContextSwitches(int tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/status";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    long long total = 0;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        long long count = 0;
        if (std::sscanf(line, "voluntary_ctxt_switches: %lld", &count) == 1 ||
            std::sscanf(line, "nonvoluntary_ctxt_switches: %lld", &count) == 1)
            total += count;
    }
    std::fclose(file);
    return total;
}

long long threadsContextSwitches(const std::set<int>& tids) {
    long long total = 0;
    for (const int tid : tids)
        total += threadContextSwitches(tid);
    return total;
}

std::set<int> newThreadIds(const std::set<int>& before, const std::set<int>& after) {
    std::set<int> started;
    for (const int tid : after)
        if (before.count(tid) == 0)
            started.insert(tid);
    return started;
}

} // namespace selko::bench
