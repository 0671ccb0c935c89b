// Internal: the channel of a "usb://" URL. At every open it looks the port up in the listing by
// its USB identity and opens a UART channel on the node it finds, so that an adapter that was
// unplugged and came back under another node (ttyUSB0, then ttyUSB1) is followed. It is the port
// of its stack (nextLayer() is null) and offers the line control of whichever node it opened. Its
// readable descriptor holds the descriptor of the node's channel, and follows the node too.
#ifndef SELKO_USB_CHANNEL_H
#define SELKO_USB_CHANNEL_H

#include "SelkoCommunication.h"
#include "SLKReadableDescriptor.h"
#include "USBPortURL.h"

#include <mutex>

class SLPUSBChannel final : public SLKDataChannel, public SLKSerialPort, public selko::detail::ReadableLayer {
public:
    // `options` are those of a UART channel (the UART defaults fill what they leave out).
    SLPUSBChannel(selko::detail::USBPortIdentity identity, SLKOptions options);

    // Code 1 when open; code 4 when the listing fails, when no port or more than one port has the
    // identity (the message names what was looked for, or the candidates); then as a UART open.
    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool close(CommErrorRef* error = nullptr) noexcept override;
    bool isOpened() noexcept override;
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept override;

    bool setDTR(bool on, CommErrorRef* error = nullptr) noexcept override;
    bool setRTS(bool on, CommErrorRef* error = nullptr) noexcept override;
    bool modemLines(SLKModemLines* lines, CommErrorRef* error = nullptr) noexcept override;
    bool sendBreak(double seconds, CommErrorRef* error = nullptr) noexcept override;
    bool discard(SLKQueue queue, CommErrorRef* error = nullptr) noexcept override;
    bool drain(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool queued(SLKQueue queue, long long* bytes, CommErrorRef* error = nullptr) noexcept override;

    int readableDescriptor(CommErrorRef* error) override;

private:
    // The UART channel of the node last opened; null before the first open.
    std::shared_ptr<SLPUARTChannel> port() const;
    bool openOnResolvedNode(double timeout, CommErrorRef* error);
    // The node that has the identity now, or "" after raising why there is none.
    std::string resolve(CommErrorRef* error) const;
    // `call` on the current UART channel; code 2 "Cannot communicate with closed devices" before the first open.
    template <class Call>
    bool withPort(CommErrorRef* error, Call&& call) const;
    // Puts the current node's descriptor into the readable set in place of the last one (under _mutex).
    void watchCurrentNode();

    const selko::detail::USBPortIdentity _identity;
    const SLKOptions _options;
    std::mutex _opening;                      // one open at a time
    mutable std::mutex _mutex;                // guards the two below
    std::shared_ptr<SLPUARTChannel> _port;
    std::string _portPath;
    selko::detail::ReadableWatch _readable;   // holds the current node's readable descriptor
    bool _watched = false;                    // the readable descriptor was asked for
    int _watchedNode = -1;                    // the node descriptor in _readable
};

#endif
