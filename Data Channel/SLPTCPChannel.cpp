#include "SLPTCPChannel.h"

#include "CommErrorRaise.h"
#include "SLKSocketConnect.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

using selko::detail::Deadline;

SLPTCPChannel::SLPTCPChannel(std::string url, selko::detail::NetworkAddress address)
    : _url(std::move(url)), _address(std::move(address)) {}

SLPTCPChannel::~SLPTCPChannel() {
    if (const auto stream = std::atomic_exchange(&_stream, std::shared_ptr<Stream>()))
        stream->abandon();
}

void SLPTCPChannel::release(const std::shared_ptr<Stream>& stream) {
    std::shared_ptr<Stream> expected = stream;
    if (std::atomic_compare_exchange_strong(&_stream, &expected, std::shared_ptr<Stream>()))
        stream->abandon();
}

bool SLPTCPChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    try {
        if (acquire()) {
            SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
            return false;
        }
        if (!selko::detail::isValidTimeout(timeout)) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
            return false;
        }
        const int fd = selko::detail::connectSocket(_address, _url.c_str(), Deadline(timeout), error);
        if (fd < 0)
            return false;
        auto stream = std::make_shared<Stream>(fd);
        if (!stream->valid()) {
            const int failure = errno;
            SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", _url,
                      std::strerror(failure), failure);
            return false;
        }
        std::shared_ptr<Stream> expected;
        if (!std::atomic_compare_exchange_strong(&_stream, &expected, stream)) {
            stream->abandon();
            SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
            return false;
        }
        return true;
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error opening network port %@ - %s(%d).", _url, exception.what(), 0);
        return false;
    }
}

bool SLPTCPChannel::close(CommErrorRef* error) noexcept {
    if (const auto stream = std::atomic_exchange(&_stream, std::shared_ptr<Stream>())) {
        stream->abandon();
        return true;
    }
    SLK_RAISE(error, SLKErrorNotOpened, "Device Already Closed");
    return false;
}

bool SLPTCPChannel::isOpened() noexcept { return acquire() != nullptr; }

SLKData SLPTCPChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    try {
        const auto stream = acquire();
        if (!stream) {
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
            return nullptr;
        }
        if (!selko::detail::isValidTimeout(timeout)) {
            SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
            return nullptr;
        }
        auto bytes = std::make_shared<SLKBytes>();
        int failure = 0;
        switch (stream->receive(Deadline(timeout), *bytes, failure)) {
        case Stream::Outcome::Data:
        case Stream::Outcome::TimedOut:
            return bytes;
        case Stream::Outcome::Abandoned:
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
            return nullptr;
        case Stream::Outcome::Disconnected:
            release(stream);
            SLK_RAISE(error, SLKErrorRead, "Device disconnected");
            return nullptr;
        case Stream::Outcome::Failed:
            break;
        }
        release(stream);
        SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", std::strerror(failure), failure);
        return nullptr;
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorRead, "Select failed with error %s (%d)", exception.what(), 0);
        return nullptr;
    }
}

bool SLPTCPChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    const auto stream = acquire();
    if (!stream) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    if (!data || data->empty())
        return true;
    int failure = 0;
    if (stream->sendAll(data->data(), data->size(), failure))
        return true;
    if (failure == ECANCELED) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    SLK_RAISE(error, SLKErrorPortSystem, "Failed to write message with error = %s", std::strerror(failure));
    return false;
}
