// A decorator that shows every block read or written to a callable (traffic logs, monitors) and
// passes it on unchanged. Internal: users reach it through createTapChannel.
#ifndef SELKO_SLP_TAP_CHANNEL_H
#define SELKO_SLP_TAP_CHANNEL_H

#include "SelkoCommunication.h"

#include <functional>

class SLPTapChannel final : public SLKDataChannel {
public:
    using Tap = std::function<void(SLKDirection, const SLKBytes&)>;

    // Wraps `channel` (not null) and shows its traffic to `tap` (not empty); the factory checks both.
    SLPTapChannel(SLKDataChannelRef channel, Tap tap);

    // Open, close and isOpened go straight to the wrapped channel.
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    // The wrapped read's result; a non-null result (empty ones too) is shown to the tap first.
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    // Shows a non-null `data` to the tap, then writes it through.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;
    SLKDataChannelRef nextLayer() override;

private:
    SLKDataChannelRef _channel;
    Tap _tap;
};

#endif
