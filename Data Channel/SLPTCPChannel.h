// Internal: a raw TCP port ("tcp://host:port"), such as a terminal server's raw port.
#ifndef SELKO_SLPTCP_CHANNEL_H
#define SELKO_SLPTCP_CHANNEL_H

#include "SLKNetworkURL.h"
#include "SLKSocketStream.h"

#include <memory>

// The bytes of the connection are the device's bytes, unchanged both ways. A raw port has no line
// settings: the options (baud, mode, flow control, ...) are accepted and ignored, and the channel
// offers no line control (SLKSerialPortOf reports code 6 for it).
//
// Open connects within its timeout; reads wait on a monotonic deadline and return what arrived;
// a write sends every byte, waiting as long as the server takes to accept them (a close ends the
// wait, and the write fails with code 2); a server that closes the connection fails the read with code 5
// "Device disconnected" and closes the channel; close wakes a waiting reader at once, and that
// read fails with code 2 without taking a byte. Calls may come from any thread; the connection is
// held by every call that uses it and closed when the last one leaves.
class SLPTCPChannel final : public SLKDataChannel {
public:
    SLPTCPChannel(std::string url, selko::detail::NetworkAddress address);
    ~SLPTCPChannel() override;

    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;

private:
    using Stream = selko::detail::SocketStream;
    std::shared_ptr<Stream> acquire() const { return std::atomic_load(&_stream); }
    // Gives `stream` up if the channel still holds it.
    void release(const std::shared_ptr<Stream>& stream);

    const std::string _url;
    const selko::detail::NetworkAddress _address;
    std::shared_ptr<Stream> _stream;   // null while closed; atomic shared_ptr operations only
};

#endif
