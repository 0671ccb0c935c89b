// The process's own state as /proc shows it, and waiting for a condition.
#include "Devices.h"

#include <filesystem>

namespace selko::test {

namespace {

int countEntries(const char* directory) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

} // namespace

int openDescriptorCount() { return countEntries("/proc/self/fd"); }

int threadCount() { return countEntries("/proc/self/task"); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace selko::test
