#include "SimulatedInstrument.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Writes every byte to the (non-blocking) master, waiting for room as the host reads. Gives up
// when `stop` becomes readable, so that a responder whose host stopped reading can still be ended.
bool writeAll(int fd, const char* bytes, std::size_t length, int stop = -1) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, length);
        if (written > 0) {
            bytes += written;
            length -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0 || errno != EAGAIN)
            return false;
        pollfd waiting[2] = {{fd, POLLOUT, 0}, {stop, POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0 && errno != EINTR)
            return false;
        if (waiting[1].revents != 0)
            return false;
    }
    return true;
}

// Waits up to `milliseconds` for input on `fd`; true when it came.
bool awaitInput(int fd, int milliseconds) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, milliseconds) > 0;
}

} // namespace

SimulatedInstrument::SimulatedInstrument() {
    // Non-blocking, so that the responder never sits in a write that nothing will ever finish.
    _master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (_master < 0 || ::grantpt(_master) != 0 || ::unlockpt(_master) != 0 ||
        ::ptsname_r(_master, name, sizeof name) != 0 || ::pipe2(_stop, O_CLOEXEC) != 0) {
        _error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        if (_master >= 0)
            ::close(_master);
        _master = -1;
        return;
    }
    _path = name;
    _slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (_slave >= 0 && ::tcgetattr(_slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(_slave, TCSANOW, &raw);
    }
}

void SimulatedInstrument::send(const std::string& bytes) { writeAll(_master, bytes.data(), bytes.size()); }

std::string SimulatedInstrument::receive(std::size_t count, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    char chunk[4096];
    for (auto left = timeout; bytes.size() < count && left.count() > 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())) {
        if (!awaitInput(_master, static_cast<int>(left.count())))
            continue;
        const ssize_t got = ::read(_master, chunk, std::min(sizeof chunk, count - bytes.size()));
        if (got < 0 && errno != EINTR && errno != EAGAIN)
            break;
        bytes.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return bytes;
}

void SimulatedInstrument::startResponder(bool echo, Responder responder) {
    stopResponder();
    if (ready())
        _server = std::thread([this, responder = std::move(responder), echo] { serve(responder, echo); });
}

void SimulatedInstrument::stopResponder() {
    if (!_server.joinable())
        return;
    writeAll(_stop[1], "x", 1);
    _server.join();
    char token;
    (void)!::read(_stop[0], &token, 1);
}

void SimulatedInstrument::hangUp() {
    stopResponder();
    for (int* fd : {&_master, &_slave, &_stop[0], &_stop[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void SimulatedInstrument::serve(const Responder& responder, bool echo) {
    std::string line;
    char chunk[4096];
    for (;;) {
        pollfd waiting[2] = {{_master, POLLIN, 0}, {_stop[0], POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0 && errno != EINTR)
            return;
        if (waiting[1].revents != 0)
            return;
        if ((waiting[0].revents & POLLIN) == 0)
            continue;
        const ssize_t got = ::read(_master, chunk, sizeof chunk);
        if (got <= 0)
            continue;
        if (echo && !writeAll(_master, chunk, static_cast<std::size_t>(got), _stop[0]))
            return;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\r')
                continue;
            if (chunk[i] != '\n') {
                line += chunk[i];
                continue;
            }
            const std::string answer = responder ? responder(line) : std::string();
            line.clear();
            if (!writeAll(_master, answer.data(), answer.size(), _stop[0]))
                return;
        }
    }
}

std::string SimulatedInstrument::laboratoryMeter(const std::string& command) {
    static unsigned readings = 0;
    if (command == "PING")
        return "OK\n";
    if (command == "*IDN?")
        return "Selko Instruments,SIM-100,0001,1.18\n";
    if (command == "MEAS?") {
        char reading[32];
        std::snprintf(reading, sizeof reading, "%.4f\n", 1.2345 + 0.0001 * (readings++ % 10));
        return reading;
    }
    return "ERR unknown command\n";
}
