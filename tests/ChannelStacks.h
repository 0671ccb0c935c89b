// The channel stacks that the tests and the benchmarks build over a port, bottom first. Each
// returns null (with the error) when a layer cannot be made; nothing is opened here.
#ifndef SELKO_CHANNEL_STACKS_H
#define SELKO_CHANNEL_STACKS_H

#include <SelkoCommunication.h>

#include <string>
#include <vector>

namespace selko::stacks {

inline SLKDataChannelRef uart(const std::string& url, CommErrorRef* error = nullptr) {
    return createUARTChannel(url.c_str(), nullptr, error);
}

// A background reader over the UART channel.
inline SLKDataChannelRef active(const std::string& url, CommErrorRef* error = nullptr) {
    SLKDataChannelRef port = uart(url, error);
    return port ? createActiveChannel(port, error) : nullptr;
}

// The road of one exchange: UART, background reader, echo removal (LF), and a transforming
// channel that appends LF to every write and releases one LF-ended message per read.
inline SLKDataChannelRef roadOfOneExchange(const std::string& url, CommErrorRef* error = nullptr) {
    const SLKData lineFeed = SLKDataWithString("\n");
    SLKDataChannelRef below = active(url, error);
    below = below ? createEchoRemovalChannel(below, lineFeed, error) : nullptr;
    const std::vector<SLKDataTransformerRef> reads{createAggregatingTransformer(lineFeed, false, error)},
        writes{createAppendingTransformer(lineFeed, error)};
    return below ? createChannelTransformer(below, &reads, &writes, error) : nullptr;
}

} // namespace selko::stacks

#endif
