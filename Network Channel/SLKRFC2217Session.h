// Internal: one connection of an RFC 2217 channel: the socket, the Telnet decoding of what it
// receives, the option negotiation, and the server's answers and modem-line reports.
#ifndef SELKO_RFC2217_SESSION_H
#define SELKO_RFC2217_SESSION_H

#include "SLKNetworkChannel.h"
#include "SLKRFC2217Protocol.h"
#include "SLKTelnetCodec.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace selko::detail {

// The Telnet subnegotiation that carries one COM-PORT-OPTION command with its value.
std::vector<std::uint8_t> comPortMessage(std::uint8_t command, const std::vector<std::uint8_t>& value);

class RFC2217Session final : public NetworkConnection, private telnet::Listener {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Takes ownership of the connected socket `fd`.
    explicit RFC2217Session(int fd);
    ~RFC2217Session() override;

    SocketStream stream;

    // The device's bytes: waits until some arrive or `deadline` passes (Telnet commands alone do
    // not end the wait). Data with `bytes` non-empty, TimedOut, or the stream's failure. One
    // thread decodes at a time; another reader waits for its turn within its own deadline.
    Outcome read(const Deadline& deadline, Bytes& bytes, int& failure) override;
    // Sends `length` data bytes with 0xFF doubled.
    bool send(const std::uint8_t* bytes, std::size_t length, int& failure) override;
    void abandon() override { stream.abandon(); }
    // The socket and the held-bytes signal.
    std::vector<int> watched() const override {
        return _heldSignal >= 0 ? std::vector<int>{stream.fd(), _heldSignal} : std::vector<int>{stream.fd()};
    }
    // Sends Telnet commands as they are. Never interleaved with another send.
    bool sendRaw(const Bytes& bytes, int& failure);
    // Sends IAC SB COM-PORT-OPTION <command> <value> IAC SE.
    bool sendComPort(std::uint8_t command, const Bytes& value, int& failure);

    // Waits until `condition` (called without the session's lock) holds or `deadline` passes,
    // decoding the stream itself when no reader is doing so. False on timeout or a stream failure.
    bool await(const std::function<bool()>& condition, const Deadline& deadline);

    using Answer = rfc2217::Answers::Answer;
    // The server's answers to `command` (SET_BAUDRATE...PURGE_DATA).
    Answer answer(std::uint8_t command);
    enum class ComPort { Waiting, Accepted, Refused };
    ComPort comPort();
    // The latest NOTIFY-MODEMSTATE value; false when none came yet.
    bool modemState(std::uint8_t& state);
    // Drops the decoded bytes not yet read; returns how many there were.
    std::size_t discardPending();
    std::size_t pendingCount();

    // The negotiation that opens a session: BINARY and SUPPRESS-GO-AHEAD both ways, COM-PORT-OPTION
    // from us.
    bool startNegotiation(int& failure);

private:
    void option(std::uint8_t verb, std::uint8_t option) override;
    void subnegotiation(const Bytes& body) override;
    // Receives once and decodes into _pending; called during the reader's turn.
    Outcome pump(const Deadline& deadline, int& failure);
    // Raises or lowers the held-bytes signal to match _pending (under _stateLock).
    void signalHeld_locked();

    // One thread at a time receives and decodes: it holds the reader's turn (_readerBusy). A plain
    // flag under _stateLock rather than a timed mutex, whose timed lock the thread sanitizer
    // cannot follow.
    class ReaderTurn;
    bool takeReaderTurn(const Deadline& deadline);
    void endReaderTurn();

    std::mutex _sendLock;
    telnet::Decoder _decoder;       // these three belong to the reader's turn
    Bytes _received;
    Bytes _replies;                 // option replies made while decoding

    std::mutex _stateLock;          // guards everything below
    std::condition_variable _changed;
    unsigned long long _version = 0;   // counts every change announced on _changed
    bool _readerBusy = false;
    Bytes _pending;
    // Readable while _pending holds bytes that a thread other than a reader decoded (a
    // line-control call waiting for its answer): the socket no longer shows them. A reader that
    // decodes and takes the bytes in one call never touches it.
    const int _heldSignal;
    bool _heldSignalled = false;
    rfc2217::Answers _answers;
    ComPort _comPort = ComPort::Waiting;
    Outcome _failure = Outcome::Data;   // Disconnected or Failed once the stream broke
    int _failureNumber = 0;
    struct OptionState {
        bool local = false, remote = false, willSent = false, doSent = false;
    };
    OptionState _options[256];
};

} // namespace selko::detail

#endif
