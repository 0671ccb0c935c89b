#include "TrafficLog.h"

#include "Arguments.h"
#include "ByteText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace selko::tool {

std::string clockText(bool withDate) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[48];
    const std::size_t length = std::strftime(text, sizeof text, withDate ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

std::function<void(SLKDirection, const SLKBytes&)> trafficLogTap(const std::string& path) {
    std::shared_ptr<std::FILE> file(std::fopen(path.c_str(), "w"), [](std::FILE* f) {
        if (f)
            std::fclose(f);
    });
    if (!file)
        throw CommandFailure("cannot write the log " + path + ": " + std::strerror(errno));
    return [file](SLKDirection direction, const SLKBytes& bytes) {
        if (bytes.empty())
            return;
        std::fprintf(file.get(), "%s %s \"%s\"\n", clockText(true).c_str(),
                     direction == SLKDirection::Read ? "read " : "write", escaped(bytes).c_str());
        std::fflush(file.get()); // the log stays complete however the session ends
    };
}

} // namespace selko::tool
