// The process's own state as /proc shows it, and waiting for a condition.
#include "Devices.h"

#include <filesystem>
#include <thread>

namespace selko::test {

int openDescriptorCount() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

int threadCount() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace selko::test
