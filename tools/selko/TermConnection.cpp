#include "TermConnection.h"

#include "Arguments.h"
#include "PortConnection.h"

namespace selko::tool {

// How long an open may take (a network port's connection).
constexpr double kOpenTimeout = 2.0;

TermConnection::TermConnection(std::string url, SLKOptions options, TrafficTap tap, bool reconnect)
    : _url(std::move(url)), _options(std::move(options)), _tap(std::move(tap)), _reconnect(reconnect) {
    CommErrorRef error;
    _channel = open(_options, &error);
    if (!_channel)
        throw CommandFailure(messageOf(error, "cannot open " + _url));
}

TermConnection::~TermConnection() {
    if (_channel)
        _channel->close();
}

// The port is opened before the reconnecting channel goes on it, so that a port that is not
// there at the start is reported at once rather than waited for.
SLKDataChannelRef TermConnection::open(const SLKOptions& options, CommErrorRef* error) const {
    SLKDataChannelRef channel = createChannelForURL(_url.c_str(), &options, error);
    if (!channel || !channel->openWithTimeout(kOpenTimeout, error))
        return nullptr;
    if (_reconnect) {
        const std::shared_ptr<LinkEvents> heard = _linkEvents;
        channel = createReconnectingChannel(channel, SLKReconnectPolicy{}, [heard](SLKLinkEvent event, const CommErrorRef&) {
            const std::lock_guard<std::mutex> lock(heard->lock);
            heard->events.push_back(event);
        });
    }
    return _tap ? createTapChannel(channel, _tap, error) : channel;
}

std::vector<SLKLinkEvent> TermConnection::takeLinkEvents() {
    std::vector<SLKLinkEvent> taken;
    const std::lock_guard<std::mutex> lock(_linkEvents->lock);
    taken.swap(_linkEvents->events);
    return taken;
}

std::shared_ptr<SLKSerialPort> TermConnection::serialPort(CommErrorRef* error) const {
    return SLKSerialPortOf(_channel, error);
}

TermConnection::SpeedChange TermConnection::changeSpeed(long long baud, std::string& failure) {
    SLKOptions options = _options;
    options[SELKO_COMMUNICATION_UART_BAUD] = baud;
    _channel->close();
    CommErrorRef error;
    if (SLKDataChannelRef channel = open(options, &error)) {
        _channel = channel;
        _options = options;
        return SpeedChange::Changed;
    }
    failure = messageOf(error, "cannot open " + _url);
    _channel = open(_options, &error);
    if (_channel)
        return SpeedChange::Refused;
    failure = messageOf(error, "cannot open " + _url + " again");
    return SpeedChange::Lost;
}

bool TermConnection::levelAtOpen(const char* key) const {
    const auto found = _options.find(key);
    const bool* level = found == _options.end() ? nullptr : std::get_if<bool>(&found->second);
    return level == nullptr || *level;
}

bool TermConnection::dtrAtOpen() const { return levelAtOpen(SELKO_COMMUNICATION_UART_DTR); }
bool TermConnection::rtsAtOpen() const { return levelAtOpen(SELKO_COMMUNICATION_UART_RTS); }

} // namespace selko::tool
