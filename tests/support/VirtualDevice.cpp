#include "Devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace selko::test {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void writeAll(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd waiting{fd, POLLOUT, 0};
                ::poll(&waiting, 1, 100);
                continue;
            }
            fail("write to pseudo-terminal master");
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

int countEntries(const char* directory) {
    DIR* dir = ::opendir(directory);
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}

} // namespace

VirtualDevice::VirtualDevice() {
    _master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_master < 0)
        fail("posix_openpt");
    if (::grantpt(_master) != 0 || ::unlockpt(_master) != 0)
        fail("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(_master, name, sizeof name) != 0)
        fail("ptsname_r");
    _path = name;
    _slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_slave < 0)
        fail("open pseudo-terminal slave");
    termios raw{};
    if (::tcgetattr(_slave, &raw) != 0)
        fail("tcgetattr");
    ::cfmakeraw(&raw);
    if (::tcsetattr(_slave, TCSANOW, &raw) != 0)
        fail("tcsetattr");
    _stopEvent = ::eventfd(0, EFD_CLOEXEC);
    if (_stopEvent < 0)
        fail("eventfd");
}

VirtualDevice::~VirtualDevice() {
    stopResponder();
    if (_master >= 0)
        ::close(_master);
    if (_slave >= 0)
        ::close(_slave);
    ::close(_stopEvent);
}

void VirtualDevice::send(const std::string& bytes) { writeAll(_master, bytes.data(), bytes.size()); }

std::string VirtualDevice::receive(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string bytes;
    char chunk[4096];
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd waiting{_master, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t got = ::read(_master, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got > 0)
            bytes.append(chunk, static_cast<std::size_t>(got));
        else if (got < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
    return bytes;
}

std::string VirtualDevice::receiveFor(std::chrono::milliseconds window) {
    return receive(static_cast<std::size_t>(-1), window);
}

void VirtualDevice::startResponder(bool echo, Answer answer, char terminator) {
    stopResponder();
    _responder = std::thread([this, echo, answer = std::move(answer), terminator] { respond(echo, answer, terminator); });
}

void VirtualDevice::stopResponder() {
    if (!_responder.joinable())
        return;
    const std::uint64_t one = 1;
    (void)!::write(_stopEvent, &one, sizeof one);
    _responder.join();
    std::uint64_t drained = 0;
    (void)!::read(_stopEvent, &drained, sizeof drained);
}

std::string VirtualDevice::received() const {
    std::lock_guard<std::mutex> guard(_receivedLock);
    return _received;
}

void VirtualDevice::respond(bool echo, Answer answer, char terminator) {
    std::string line;
    char chunk[4096];
    for (;;) {
        pollfd waiting[2] = {{_master, POLLIN, 0}, {_stopEvent, POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (waiting[1].revents & POLLIN)
            return;
        if (!(waiting[0].revents & POLLIN))
            continue;
        const ssize_t got = ::read(_master, chunk, sizeof chunk);
        if (got <= 0)
            continue;
        {
            std::lock_guard<std::mutex> guard(_receivedLock);
            _received.append(chunk, static_cast<std::size_t>(got));
        }
        if (echo)
            writeAll(_master, chunk, static_cast<std::size_t>(got));
        if (!answer)
            continue;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] != terminator) {
                line += chunk[i];
                continue;
            }
            const std::string reply = answer(line);
            line.clear();
            if (!reply.empty())
                writeAll(_master, reply.data(), reply.size());
        }
    }
}

void VirtualDevice::hangUp() {
    stopResponder();
    if (_master >= 0)
        ::close(_master);
    if (_slave >= 0)
        ::close(_slave);
    _master = -1;
    _slave = -1;
}

int openDescriptorCount() { return countEntries("/proc/self/fd"); }

int threadCount() { return countEntries("/proc/self/task"); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace selko::test
