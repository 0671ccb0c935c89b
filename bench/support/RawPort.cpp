#include "RawPort.h"

#include "BenchReport.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace selko::bench {

int openRawPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail("open %s: %s", path.c_str(), std::strerror(errno));
    termios attributes{};
    if (::tcgetattr(fd, &attributes) != 0)
        fail("tcgetattr %s: %s", path.c_str(), std::strerror(errno));
    ::cfmakeraw(&attributes);
    if (::tcsetattr(fd, TCSANOW, &attributes) != 0)
        fail("tcsetattr %s: %s", path.c_str(), std::strerror(errno));
    return fd;
}

bool waitReadable(int fd, double seconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(std::floor(seconds));
    limit.tv_usec = static_cast<suseconds_t>((seconds - std::floor(seconds)) * 1e6);
    const int ready = ::select(fd + 1, &readable, nullptr, nullptr, &limit);
    if (ready < 0 && errno != EINTR)
        fail("select: %s", std::strerror(errno));
    return ready > 0 && FD_ISSET(fd, &readable);
}

void writeAll(int fd, const void* bytes, std::size_t length) {
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = ::write(fd, next, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail("write: %s", std::strerror(errno));
        }
        next += written;
        length -= static_cast<std::size_t>(written);
    }
}

} // namespace selko::bench
