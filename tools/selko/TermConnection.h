// The port of a term session: its channel, under the traffic log's tap when there is one, and
// its reopening at another speed. The library sets a port's speed when it opens it, so a new
// speed means closing the port and opening it again with the new rate; the session goes on
// over the new channel. With `reconnect`, a reconnecting channel sits on the port: when the
// device goes away the session waits for it (the same path or URL is opened again), and hears of
// each change through takeLinkEvents.
#ifndef SELKO_TOOL_TERM_CONNECTION_H
#define SELKO_TOOL_TERM_CONNECTION_H

#include <SelkoCommunication.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace selko::tool {

using TrafficTap = std::function<void(SLKDirection, const SLKBytes&)>;

class TermConnection {
public:
    // Opens the port; CommandFailure with the library's message when it cannot be opened.
    TermConnection(std::string url, SLKOptions options, TrafficTap tap, bool reconnect);
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
    bool reconnects() const { return _reconnect; }
    // The device went away or came back since the last call, in order (at most a few).
    std::vector<SLKLinkEvent> takeLinkEvents();

private:
    SLKDataChannelRef open(const SLKOptions& options, CommErrorRef* error) const;
    bool levelAtOpen(const char* key) const;

    // Filled by the reconnecting channel's listener, on whichever thread noticed the change.
    struct LinkEvents {
        std::mutex lock;
        std::vector<SLKLinkEvent> events;
    };

    std::string _url;
    SLKOptions _options;
    TrafficTap _tap;
    bool _reconnect;
    std::shared_ptr<LinkEvents> _linkEvents = std::make_shared<LinkEvents>();
    SLKDataChannelRef _channel;
};

} // namespace selko::tool

#endif
