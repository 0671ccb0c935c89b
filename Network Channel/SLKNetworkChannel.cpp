#include "SLKNetworkChannel.h"

#include "CommErrorRaise.h"
#include "DescriptorOperation.h"
#include "SLKSocketConnect.h"

#include <cerrno>
#include <cstring>

using selko::detail::Deadline;

SLKNetworkChannel::SLKNetworkChannel(std::string url, selko::detail::NetworkAddress address)
    : _url(std::move(url)), _address(std::move(address)) {}

SLKNetworkChannel::~SLKNetworkChannel() {
    if (const auto connection = std::atomic_exchange(&_connection, std::shared_ptr<Connection>()))
        connection->abandon();
}

std::shared_ptr<SLKNetworkChannel::Connection> SLKNetworkChannel::acquireOrRaise(CommErrorRef* error) const {
    auto connection = acquire();
    if (!connection)
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
    return connection;
}

void SLKNetworkChannel::raiseOpenFailure(CommErrorRef* error, int failure) const {
    SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", _url, std::strerror(failure),
              failure);
}

void SLKNetworkChannel::release(const std::shared_ptr<Connection>& connection) {
    std::shared_ptr<Connection> expected = connection;
    if (std::atomic_compare_exchange_strong(&_connection, &expected, std::shared_ptr<Connection>()))
        letGo(connection);
}

void SLKNetworkChannel::letGo(const std::shared_ptr<Connection>& connection) {
    // Out of the watch first: an abandoned socket reads as hung up for ever.
    for (const int fd : connection->watched())
        _watch.remove(fd);
    connection->abandon();
}

int SLKNetworkChannel::readableDescriptor(CommErrorRef* error) { return _watch.descriptor(error); }

bool SLKNetworkChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    try {
        if (acquire()) {
            SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
            return false;
        }
        if (!selko::detail::isValidTimeout(timeout)) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
            return false;
        }
        if (!checkBeforeConnect(error))
            return false;
        const Deadline deadline(timeout);
        const int fd = selko::detail::connectSocket(_address, _url.c_str(), deadline, error);
        if (fd < 0)
            return false;
        const auto connection = start(fd, deadline, error);
        if (!connection)
            return false;
        const bool published = _watch.publish(connection->watched(), [&] {
            std::shared_ptr<Connection> expected;
            return std::atomic_compare_exchange_strong(&_connection, &expected, connection);
        });
        if (!published) {
            connection->abandon();
            SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
            return false;
        }
        return true;
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", _url, exception.what(), 0);
        return false;
    }
}

bool SLKNetworkChannel::close(CommErrorRef* error) noexcept {
    if (const auto connection = std::atomic_exchange(&_connection, std::shared_ptr<Connection>())) {
        letGo(connection);
        return true;
    }
    SLK_RAISE(error, SLKErrorNotOpened, "Device Already Closed");
    return false;
}

bool SLKNetworkChannel::isOpened() noexcept { return acquire() != nullptr; }

SLKData SLKNetworkChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    try {
        const auto connection = acquireOrRaise(error);
        if (!connection)
            return nullptr;
        if (!selko::detail::isValidTimeout(timeout)) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
            return nullptr;
        }
        auto bytes = std::make_shared<SLKBytes>();
        int failure = 0;
        switch (connection->read(Deadline(timeout), *bytes, failure)) {
        case Connection::Outcome::Data:
        case Connection::Outcome::TimedOut:
            return bytes;
        case Connection::Outcome::Abandoned:
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
            return nullptr;
        case Connection::Outcome::Disconnected:
            release(connection);
            SLK_RAISE(error, SLKErrorRead, "Device disconnected");
            return nullptr;
        case Connection::Outcome::Failed:
            break;
        }
        release(connection);
        selko::detail::raiseWaitOrReadFailure(error, failure);
        return nullptr;
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", exception.what(), 0);
        return nullptr;
    }
}

bool SLKNetworkChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    try {
        const auto connection = acquireOrRaise(error);
        if (!connection)
            return false;
        // Null is no data: refused without a record, as every layer of a stack refuses it.
        if (!data)
            return false;
        if (data->empty())
            return true;
        int failure = 0;
        if (connection->send(data->data(), data->size(), failure))
            return true;
        if (failure == ECANCELED)
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        else
            SLK_RAISE(error, SLKErrorPortSystem, "Failed to write message with error = %s", std::strerror(failure));
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Failed to write message with error = %s", exception.what());
    }
    return false;
}
