// Several instruments served from one thread by the application's own epoll loop: each channel
// hands out a descriptor that polls readable while it has bytes, and a read with
// SELKO_COMMUNICATION_TIME_NOW takes them without waiting. No background thread per port.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kInstruments = 4;
constexpr int kReadingsEach = 3;

struct Port {
    std::unique_ptr<SimulatedInstrument> instrument;
    SLKDataChannelRef channel;
    std::string pending; // bytes of a reply line not yet complete
    int readings = 0;
};

int fail(const char* what, const CommErrorRef& error) {
    std::fprintf(stderr, "error: %s: %s\n", what, error ? error->message().c_str() : "?");
    return 1;
}

// A meter of its own per instrument: each answers MEAS? with its name and a growing reading.
SimulatedInstrument::Responder meter(int number) {
    return [number, count = 0](const std::string& command) mutable {
        return command == "MEAS?" ? "meter " + std::to_string(number) + ": " + std::to_string(++count * number) + "\n"
                                  : std::string("ERR\n");
    };
}

} // namespace

int main() {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return std::perror("epoll_create1"), 1;

    std::vector<Port> ports(kInstruments);
    CommErrorRef error;
    for (int i = 0; i < kInstruments; ++i) {
        Port& port = ports[i];
        port.instrument = std::make_unique<SimulatedInstrument>(meter(i + 1), false);
        if (!port.instrument->ready())
            return std::fprintf(stderr, "%s\n", port.instrument->error().c_str()), 1;
        port.channel = createUARTChannel(port.instrument->url().c_str(), nullptr, &error);
        if (!port.channel || !port.channel->openWithTimeout(1.0, &error))
            return fail("open", error);
        // The descriptor belongs to the channel: watch it, never read or close it.
        const int readable = SLKReadableDescriptor(port.channel, &error);
        if (readable < 0)
            return fail("SLKReadableDescriptor", error);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        if (::epoll_ctl(epoll, EPOLL_CTL_ADD, readable, &event) != 0)
            return std::perror("epoll_ctl"), 1;
        if (!port.channel->write(SLKDataWithString("MEAS?\n"), &error))
            return fail("write", error);
    }

    int complete = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (complete < kInstruments && std::chrono::steady_clock::now() < deadline) {
        epoll_event ready[kInstruments];
        const int count = ::epoll_wait(epoll, ready, kInstruments, 100);
        for (int r = 0; r < count; ++r) {
            Port& port = ports[ready[r].data.u32];
            // Readable means a read that does not wait finds bytes (or an error to report).
            const SLKData bytes = port.channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
            if (!bytes)
                return fail("read", error);
            port.pending.append(bytes->begin(), bytes->end());
            for (std::size_t end; (end = port.pending.find('\n')) != std::string::npos;) {
                std::printf("%s\n", port.pending.substr(0, end).c_str());
                port.pending.erase(0, end + 1);
                if (++port.readings == kReadingsEach)
                    ++complete;
                else if (!port.channel->write(SLKDataWithString("MEAS?\n"), &error))
                    return fail("write", error);
            }
        }
    }
    ::close(epoll);
    for (Port& port : ports)
        port.channel->close();
    std::printf("%d of %d instruments gave %d readings each, all on one thread\n", complete, kInstruments, kReadingsEach);
    return complete == kInstruments ? 0 : 1;
}
