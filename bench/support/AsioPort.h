// The peer column: a port driven through Boost.Asio's synchronous serial_port. Built from
// AsioPort.cpp when Boost is installed, from AsioPortAbsent.cpp otherwise (available() false).
#ifndef SELKO_BENCH_ASIO_PORT_H
#define SELKO_BENCH_ASIO_PORT_H

#include <cstddef>
#include <memory>
#include <string>

namespace selko::bench {

class AsioPort {
public:
    // Whether this build has the Asio peer.
    static bool available();
    // Opens `path` with serial_port::open (which puts the line in raw mode itself); ends the
    // program on failure.
    explicit AsioPort(const std::string& path);
    ~AsioPort();
    AsioPort(const AsioPort&) = delete;
    AsioPort& operator=(const AsioPort&) = delete;

    // boost::asio::write: every byte.
    void write(const void* bytes, std::size_t length);
    // serial_port::read_some: blocks until at least one byte came, returns how many.
    std::size_t readSome(void* buffer, std::size_t capacity);

private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

} // namespace selko::bench

#endif
