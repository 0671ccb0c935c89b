// Channels inside a Boost.Asio application: the io_context waits on each channel's readable
// descriptor through a posix::stream_descriptor (async_wait only: the bytes are read through the
// channel, never from the descriptor), beside the application's own timer that polls the
// instruments.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kInstruments = 3;
constexpr int kReadingsEach = 4;

class Meter {
public:
    Meter(boost::asio::io_context& io, int number) : _number(number), _watch(io) {}

    bool open(CommErrorRef* error) {
        _instrument = std::make_unique<SimulatedInstrument>(
            [count = 0, number = _number](const std::string& command) mutable {
                return command == "MEAS?" ? std::to_string(number) + "." + std::to_string(++count) + " V\n" : std::string("ERR\n");
            },
            false);
        _channel = createUARTChannel(_instrument->url().c_str(), nullptr, error);
        if (!_channel || !_channel->openWithTimeout(1.0, error))
            return false;
        const int readable = SLKReadableDescriptor(_channel, error);
        if (readable < 0)
            return false;
        _watch.assign(readable);
        awaitReply();
        return true;
    }

    // Asks for a reading unless one is still on its way.
    void poll() {
        if (_asked || done())
            return;
        CommErrorRef error;
        _asked = _channel->write(SLKDataWithString("MEAS?\n"), &error);
        if (!_asked)
            std::fprintf(stderr, "meter %d: write failed: %s\n", _number, error->message().c_str());
    }

    bool done() const { return _readings >= kReadingsEach; }

    ~Meter() {
        // The descriptor is the channel's: hand it back instead of letting Asio close it.
        _watch.cancel();
        _watch.release();
        if (_channel)
            _channel->close();
    }

private:
    void awaitReply() {
        _watch.async_wait(boost::asio::posix::stream_descriptor::wait_read, [this](const boost::system::error_code& failed) {
            if (failed)
                return; // cancelled at the end
            // Asio reports a change to readable once, so take everything there is before waiting again.
            CommErrorRef error;
            for (;;) {
                const SLKData bytes = _channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW, &error);
                if (!bytes) {
                    std::fprintf(stderr, "meter %d: read failed: %s\n", _number, error->message().c_str());
                    return;
                }
                if (bytes->empty())
                    break;
                _pending.append(bytes->begin(), bytes->end());
            }
            for (std::size_t end; (end = _pending.find('\n')) != std::string::npos; _pending.erase(0, end + 1)) {
                std::printf("meter %d: %s\n", _number, _pending.substr(0, end).c_str());
                ++_readings;
                _asked = false;
            }
            awaitReply();
        });
    }

    int _number;
    std::unique_ptr<SimulatedInstrument> _instrument;
    SLKDataChannelRef _channel;
    boost::asio::posix::stream_descriptor _watch;
    std::string _pending;
    int _readings = 0;
    bool _asked = false;
};

} // namespace

int main() {
    boost::asio::io_context io;
    std::vector<std::unique_ptr<Meter>> meters;
    for (int number = 1; number <= kInstruments; ++number) {
        CommErrorRef error;
        meters.push_back(std::make_unique<Meter>(io, number));
        if (!meters.back()->open(&error))
            return std::fprintf(stderr, "meter %d: open failed: %s\n", number, error ? error->message().c_str() : "?"), 1;
    }

    // The application's own timer asks every 20 ms; everything runs on this one thread.
    boost::asio::steady_timer tick(io);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::function<void()> schedule = [&] {
        tick.expires_after(std::chrono::milliseconds(20));
        tick.async_wait([&](const boost::system::error_code& failed) {
            bool allDone = true;
            for (const auto& meter : meters) {
                meter->poll();
                allDone = allDone && meter->done();
            }
            if (failed || allDone || std::chrono::steady_clock::now() > deadline)
                io.stop();
            else
                schedule();
        });
    };
    schedule();
    io.run();

    bool allDone = true;
    for (const auto& meter : meters)
        allDone = allDone && meter->done();
    std::printf("%s\n", allDone ? "every meter answered on the application's own loop" : "some meters did not answer in time");
    meters.clear();
    return allDone ? 0 : 1;
}
