// A decorator that shows every block read or written to a callable (traffic logs, monitors) and
// passes it on unchanged. Internal: users reach it through createTapChannel.
#ifndef SELKO_SLP_TAP_CHANNEL_H
#define SELKO_SLP_TAP_CHANNEL_H

#include "SelkoCommunication.h"

#include <functional>

// Open, close, isOpened and nextLayer are the shared decorator's.
class SLPTapChannel final : public SLKChannelDecorator {
public:
    using Tap = std::function<void(SLKDirection, const SLKBytes&)>;

    // Wraps `channel` (not null) and shows its traffic to `tap` (not empty); the factory checks both.
    SLPTapChannel(SLKDataChannelRef channel, Tap tap);

    // The wrapped read's result; a non-null result (empty ones too) is shown to the tap first.
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    // Shows a non-null `data` to the tap, then writes it through.
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;

private:
    SLKData readShown(double timeout, CommErrorRef* error);
    bool writeShown(const SLKData& data, CommErrorRef* error);

    Tap _tap;
};

#endif
