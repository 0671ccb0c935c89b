// Internal: a remote serial port spoken to with Telnet and its COM-PORT-OPTION
// ("rfc2217://host:port"), such as a terminal server's or a small Linux box's published port.
#ifndef SELKO_SLPRFC2217_CHANNEL_H
#define SELKO_SLPRFC2217_CHANNEL_H

#include "SLKLineSettings.h"
#include "SLKNetworkChannel.h"
#include "SLKRFC2217Session.h"

// Open connects within its timeout, negotiates BINARY and SUPPRESS-GO-AHEAD both ways and
// COM-PORT-OPTION, then sends the line settings of the options (baud, mode, flow control; the
// defaults are 115200, "8N1", "none") once and waits for the server's answer to each within the
// same timeout (with FOREVER, at most kAnswerLimitForever seconds). Bad option values fail with
// code 3 before anything is sent; a server that refuses COM-PORT-OPTION, answers a setting with a
// different value or does not answer in time fails the open with code 4 naming the setting. An
// answer whose value is not as long as the setting's (four bytes for the baud rate, one for the
// others) fails the same way, with the byte count rather than a number that means nothing.
//
// Reads deliver exactly the device's bytes: Telnet commands are removed from the received stream
// (even when split across reads) and written 0xFF bytes are doubled on the wire. Reads, writes,
// close and the far end's close behave as SLKNetworkChannel describes. Nothing goes out per read or
// write beyond the data itself; settings go out at open and when a line-control call asks.
//
// Line control goes over the wire:
// - setDTR, setRTS: SET-CONTROL; sendBreak: break on, the wait (0 seconds: 0.25 s), break off.
// - discard: PURGE-DATA for the server's queues; Input also drops the bytes received here and not
//   yet read. Bytes already on their way through the network may still arrive.
// - modemLines: the latest NOTIFY-MODEMSTATE the server sent (asked for at open with
//   SET-MODEMSTATE-MASK), waiting up to kControlAnswerWait for a first one; code 4 when the server
//   has reported none by then.
// - Each request waits at most kControlAnswerWait seconds for the server's answer. An answer with
//   a different value (or of another length) fails with code 4. No answer at all is reported as
//   success: the request was delivered, and some servers never answer (ser2net, for one, on a
//   port without modem lines).
// - drain: waits until the server has taken (acknowledged) every byte written; the remote port's
//   own transmit queue cannot be seen from here. Code 4 when the timeout runs out first.
// - queued: Input counts the bytes received here and not yet read (Telnet commands among them
//   included); Output the bytes written and not yet taken by the server; the remote port's queues
//   are not included.
class SLPRFC2217Channel final : public SLKNetworkChannel, public SLKSerialPort {
public:
    static constexpr double kControlAnswerWait = 0.5;
    static constexpr double kAnswerLimitForever = 10.0;

    SLPRFC2217Channel(std::string url, selko::detail::NetworkAddress address, SLKOptions options);

    bool setDTR(bool on, CommErrorRef* error = nullptr) noexcept override;
    bool setRTS(bool on, CommErrorRef* error = nullptr) noexcept override;
    bool modemLines(SLKModemLines* lines, CommErrorRef* error = nullptr) noexcept override;
    bool sendBreak(double seconds, CommErrorRef* error = nullptr) noexcept override;
    bool discard(SLKQueue queue, CommErrorRef* error = nullptr) noexcept override;
    bool drain(double timeout, CommErrorRef* error = nullptr) noexcept override;
    bool queued(SLKQueue queue, long long* bytes, CommErrorRef* error = nullptr) noexcept override;

private:
    using Session = selko::detail::RFC2217Session;
    bool checkBeforeConnect(CommErrorRef* error) override;
    std::shared_ptr<Connection> start(int fd, const selko::detail::Deadline& deadline, CommErrorRef* error) override;
    // The open session, or null with code 2 raised when the channel is closed.
    std::shared_ptr<Session> openSession(CommErrorRef* error) const {
        return std::static_pointer_cast<Session>(acquireOrRaise(error));
    }
    bool negotiate(Session& session, const selko::detail::LineSettings& settings,
                   const selko::detail::Deadline& deadline, CommErrorRef* error);
    // Sends a one-byte COM-PORT-OPTION request and waits up to kControlAnswerWait for its answer,
    // which must carry the same value; `what` names the request in messages.
    bool request(Session& session, std::uint8_t command, std::uint8_t value, const char* what,
                 CommErrorRef* error);

    const SLKOptions _options;
};

#endif
