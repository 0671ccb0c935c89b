#include "AsioPort.h"

#include "BenchReport.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>

namespace selko::bench {

struct AsioPort::Impl {
    boost::asio::io_context context;
    boost::asio::serial_port port{context};
};

bool AsioPort::available() { return true; }

AsioPort::AsioPort(const std::string& path) : _impl(std::make_unique<Impl>()) {
    boost::system::error_code error;
    _impl->port.open(path, error);
    if (error)
        fail("Asio serial_port open %s: %s", path.c_str(), error.message().c_str());
}

AsioPort::~AsioPort() {
    boost::system::error_code ignored;
    _impl->port.close(ignored);
}

void AsioPort::write(const void* bytes, std::size_t length) {
    boost::system::error_code error;
    boost::asio::write(_impl->port, boost::asio::buffer(bytes, length), error);
    if (error)
        fail("Asio write: %s", error.message().c_str());
}

std::size_t AsioPort::readSome(void* buffer, std::size_t capacity) {
    boost::system::error_code error;
    const std::size_t count = _impl->port.read_some(boost::asio::buffer(buffer, capacity), error);
    if (error)
        fail("Asio read_some: %s", error.message().c_str());
    return count;
}

} // namespace selko::bench
