#include "Devices.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace selko::test {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// Waits up to `milliseconds` for `events` on `fd`; false when they did not come.
bool await(int fd, short events, int milliseconds) {
    pollfd waiting{fd, events, 0};
    return ::poll(&waiting, 1, milliseconds) > 0;
}

// Writes every byte, waiting while the line is full.
void writeAll(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0 && errno != EINTR)
            fail("write to pseudo-terminal master");
        bytes += std::max<ssize_t>(written, 0);
        length -= static_cast<std::size_t>(std::max<ssize_t>(written, 0));
    }
}

int countEntries(const char* directory) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(directory), {}));
}

} // namespace

VirtualDevice::VirtualDevice() {
    char name[128];
    _master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_master < 0 || ::grantpt(_master) != 0 || ::unlockpt(_master) != 0 || ::ptsname_r(_master, name, sizeof name))
        fail("pseudo-terminal master");
    _path = name;
    _slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (_slave < 0 || ::tcgetattr(_slave, &raw) != 0)
        fail("pseudo-terminal slave");
    ::cfmakeraw(&raw);
    if (::tcsetattr(_slave, TCSANOW, &raw) != 0)
        fail("raw mode");
}

VirtualDevice::~VirtualDevice() { hangUp(); }

void VirtualDevice::send(const std::string& bytes) { writeAll(_master, bytes.data(), bytes.size()); }

std::string VirtualDevice::receive(std::size_t count, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    char chunk[4096];
    for (auto left = timeout; bytes.size() < count && left.count() > 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())) {
        if (!await(_master, POLLIN, static_cast<int>(left.count())))
            continue;
        const ssize_t got = ::read(_master, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got < 0 && errno != EINTR && errno != EAGAIN)
            break;
        bytes.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return bytes;
}

void VirtualDevice::startResponder(bool echo, Answer answer) {
    stopResponder();
    _responder = std::thread(&VirtualDevice::respond, this, echo, std::move(answer));
}

void VirtualDevice::stopResponder() {
    if (!_responder.joinable())
        return;
    _stopping = true;
    _responder.join();
    _stopping = false;
}

void VirtualDevice::respond(bool echo, Answer answer) {
    std::string line;
    char chunk[4096];
    while (!_stopping) {
        // Looks at the stop flag every 10 ms.
        const ssize_t got = await(_master, POLLIN, 10) ? ::read(_master, chunk, sizeof chunk) : 0;
        if (echo && got > 0)
            writeAll(_master, chunk, static_cast<std::size_t>(got));
        for (ssize_t i = 0; answer && i < got; ++i) {
            if (chunk[i] != '\n') {
                line += chunk[i];
                continue;
            }
            send(answer(line));
            line.clear();
        }
    }
}

void VirtualDevice::hangUp() {
    stopResponder();
    for (int* fd : {&_master, &_slave}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

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
