#include "SLPTCPChannel.h"

#include <cerrno>

namespace {

// The socket itself: what arrives is handed on as it is.
class RawConnection final : public selko::detail::NetworkConnection {
public:
    explicit RawConnection(int fd) : stream(fd) {}
    void abandon() override { stream.abandon(); }
    Outcome read(const selko::detail::Deadline& deadline, std::vector<std::uint8_t>& bytes, int& failure) override {
        return stream.receive(deadline, bytes, failure);
    }
    bool send(const std::uint8_t* bytes, std::size_t length, int& failure) override {
        return stream.sendAll(bytes, length, failure);
    }
    std::vector<int> watched() const override { return {stream.fd()}; }

    selko::detail::SocketStream stream;
};

} // namespace

std::shared_ptr<SLKNetworkChannel::Connection> SLPTCPChannel::start(int fd, const selko::detail::Deadline&,
                                                                     CommErrorRef* error) {
    auto connection = std::make_shared<RawConnection>(fd);
    if (!connection->stream.valid()) {
        raiseOpenFailure(error, errno);
        return nullptr;
    }
    return connection;
}
