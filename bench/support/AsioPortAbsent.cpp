// Built when Boost is not installed: the Asio peer column is left out.
#include "AsioPort.h"

#include "BenchReport.h"

namespace selko::bench {

struct AsioPort::Impl {};

bool AsioPort::available() { return false; }

AsioPort::AsioPort(const std::string&) { fail("this build has no Boost.Asio"); }

AsioPort::~AsioPort() = default;

void AsioPort::write(const void*, std::size_t) { fail("this build has no Boost.Asio"); }

std::size_t AsioPort::readSome(void*, std::size_t) { fail("this build has no Boost.Asio"); }

} // namespace selko::bench
