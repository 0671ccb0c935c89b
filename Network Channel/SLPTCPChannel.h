// Internal: a raw TCP port ("tcp://host:port"), such as a terminal server's raw port.
#ifndef SELKO_SLPTCP_CHANNEL_H
#define SELKO_SLPTCP_CHANNEL_H

#include "SLKNetworkChannel.h"

// The bytes of the connection are the device's bytes, unchanged both ways. A raw port has no line
// settings: the options (baud, mode, flow control, ...) are accepted and ignored, and the channel
// offers no line control (SLKSerialPortOf reports code 6 for it). Open, read, write and close
// behave as SLKNetworkChannel describes.
class SLPTCPChannel final : public SLKNetworkChannel {
public:
    SLPTCPChannel(std::string url, selko::detail::NetworkAddress address)
        : SLKNetworkChannel(std::move(url), std::move(address)) {}

private:
    bool checkBeforeConnect(CommErrorRef*) override { return true; }
    std::shared_ptr<Connection> start(int fd, const selko::detail::Deadline& deadline, CommErrorRef* error) override;
};

#endif
