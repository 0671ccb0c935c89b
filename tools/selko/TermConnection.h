// The port of a term session: its channel, under the traffic log's tap when there is one, and
// its reopening at another speed. The library sets a port's speed when it opens it, so a new
// speed means closing the port and opening it again with the new rate; the session goes on
// over the new channel.
#ifndef SELKO_TOOL_TERM_CONNECTION_H
#define SELKO_TOOL_TERM_CONNECTION_H

#include <SelkoCommunication.h>

#include <functional>
#include <string>

namespace selko::tool {

using TrafficTap = std::function<void(SLKDirection, const SLKBytes&)>;

class TermConnection {
public:
    // Opens the port; CommandFailure with the library's message when it cannot be opened.
    TermConnection(std::string url, SLKOptions options, TrafficTap tap);
    ~TermConnection();
    TermConnection(const TermConnection&) = delete;
    TermConnection& operator=(const TermConnection&) = delete;

    SLKDataChannel& channel() const { return *_channel; }
    // Line control of the port; null with the library's error for a port without it (tcp://).
    std::shared_ptr<SLKSerialPort> serialPort(CommErrorRef* error) const;

    enum class SpeedChange { Changed, Refused, Lost };
    // Reopens the port at `baud`. Refused: the port did not open at that speed and runs at the
    // old one again; Lost: it could not be opened again at all. `failure` says why.
    SpeedChange changeSpeed(long long baud, std::string& failure);
    // The line levels set at open (the DTR and RTS options), true where none was asked for:
    // opening a serial port raises both.
    bool dtrAtOpen() const;
    bool rtsAtOpen() const;

private:
    SLKDataChannelRef open(const SLKOptions& options, CommErrorRef* error) const;
    bool levelAtOpen(const char* key) const;

    std::string _url;
    SLKOptions _options;
    TrafficTap _tap;
    SLKDataChannelRef _channel;
};

} // namespace selko::tool

#endif
