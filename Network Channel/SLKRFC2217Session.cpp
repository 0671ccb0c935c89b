#include "SLKRFC2217Session.h"

#include "SLKRFC2217Protocol.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace selko::detail {

namespace {

using namespace telnet;

bool weWill(std::uint8_t option) {
    return option == OPTION_BINARY || option == OPTION_SUPPRESS_GO_AHEAD || option == rfc2217::COM_PORT_OPTION;
}
bool weDo(std::uint8_t option) { return option == OPTION_BINARY || option == OPTION_SUPPRESS_GO_AHEAD; }

// How long a waiter that leaves the decoding to another reader sleeps between looks.
constexpr double kWaiterSlice = 0.01;

} // namespace

RFC2217Session::RFC2217Session(int fd) : stream(fd), _heldSignal(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RFC2217Session::~RFC2217Session() {
    if (_heldSignal >= 0)
        ::close(_heldSignal);
}

void RFC2217Session::signalHeld_locked() {
    const bool held = !_pending.empty();
    if (held == _heldSignalled || _heldSignal < 0)
        return;
    std::uint64_t value = 1;
    if (held)
        (void)!::write(_heldSignal, &value, sizeof value);
    else
        (void)!::read(_heldSignal, &value, sizeof value);
    _heldSignalled = held;
}

class RFC2217Session::ReaderTurn {
public:
    ReaderTurn(RFC2217Session& session, const Deadline& deadline)
        : _session(session), _mine(session.takeReaderTurn(deadline)) {}
    ~ReaderTurn() {
        if (_mine)
            _session.endReaderTurn();
    }
    ReaderTurn(const ReaderTurn&) = delete;
    ReaderTurn& operator=(const ReaderTurn&) = delete;
    bool mine() const { return _mine; }

private:
    RFC2217Session& _session;
    const bool _mine;
};

bool RFC2217Session::takeReaderTurn(const Deadline& deadline) {
    std::unique_lock<std::mutex> lock(_stateLock);
    while (_readerBusy) {
        if (deadline.forever())
            _changed.wait(lock);
        else if (_changed.wait_until(lock, deadline.at()) == std::cv_status::timeout && _readerBusy)
            return false;
    }
    _readerBusy = true;
    return true;
}

void RFC2217Session::endReaderTurn() {
    std::lock_guard<std::mutex> lock(_stateLock);
    _readerBusy = false;
    ++_version;
    _changed.notify_all();
}

bool RFC2217Session::startNegotiation(int& failure) {
    {
        const ReaderTurn turn(*this, Deadline(SELKO_COMMUNICATION_TIME_FOREVER));
        for (const std::uint8_t option : {OPTION_BINARY, OPTION_SUPPRESS_GO_AHEAD, rfc2217::COM_PORT_OPTION})
            _options[option].willSent = true;
        for (const std::uint8_t option : {OPTION_BINARY, OPTION_SUPPRESS_GO_AHEAD})
            _options[option].doSent = true;
    }
    Bytes request;
    for (const auto& [verb, option] : {std::pair{WILL, OPTION_BINARY}, std::pair{DO, OPTION_BINARY},
                                       std::pair{WILL, OPTION_SUPPRESS_GO_AHEAD},
                                       std::pair{DO, OPTION_SUPPRESS_GO_AHEAD},
                                       std::pair{WILL, rfc2217::COM_PORT_OPTION}}) {
        const Bytes one = command(verb, option);
        request.insert(request.end(), one.begin(), one.end());
    }
    return sendRaw(request, failure);
}

// The option rules keep both ends from looping: a reply goes out only when the state changes,
// and an answer to our own request is never answered again.
void RFC2217Session::option(std::uint8_t verb, std::uint8_t option) {
    OptionState& state = _options[option];
    auto reply = [this, option](std::uint8_t answer) {
        const Bytes one = command(answer, option);
        _replies.insert(_replies.end(), one.begin(), one.end());
    };
    switch (verb) {
    case DO:
        if (!weWill(option)) {
            reply(WONT);
        } else if (!state.local) {
            state.local = true;
            if (!state.willSent)
                reply(WILL);
            state.willSent = false;
        }
        break;
    case DONT:
        if (state.local || state.willSent) {
            if (state.local && !state.willSent)
                reply(WONT);
            state.local = state.willSent = false;
        }
        break;
    case WILL:
        if (!weDo(option)) {
            reply(DONT);
        } else if (!state.remote) {
            state.remote = true;
            if (!state.doSent)
                reply(DO);
            state.doSent = false;
        }
        break;
    case WONT:
        if (state.remote || state.doSent) {
            if (state.remote && !state.doSent)
                reply(DONT);
            state.remote = state.doSent = false;
        }
        break;
    default: break;
    }
    if (option == rfc2217::COM_PORT_OPTION && (verb == DO || verb == DONT)) {
        std::lock_guard<std::mutex> lock(_stateLock);
        _comPort = verb == DO ? ComPort::Accepted : ComPort::Refused;
        ++_version;
        _changed.notify_all();
    }
}

void RFC2217Session::subnegotiation(const Bytes& body) {
    std::lock_guard<std::mutex> lock(_stateLock);
    if (!_answers.take(body))
        return;
    ++_version;
    _changed.notify_all();
}

RFC2217Session::Outcome RFC2217Session::pump(const Deadline& deadline, int& failure) {
    _received.clear();
    const Outcome outcome = stream.receive(deadline, _received, failure);
    if (outcome == Outcome::Disconnected || outcome == Outcome::Failed) {
        std::lock_guard<std::mutex> lock(_stateLock);
        _failure = outcome;
        _failureNumber = failure;
        ++_version;
        _changed.notify_all();
    }
    if (outcome != Outcome::Data)
        return outcome;
    Bytes data;
    _decoder.decode(_received.data(), _received.size(), data, *this);
    if (!_replies.empty()) {
        // A writer may hold the send lock while it waits for the server to take its bytes, and
        // the server may be waiting for us to read: the replies then wait for the next block.
        std::unique_lock<std::mutex> sending(_sendLock, std::try_to_lock);
        int ignored = 0;
        if (sending.owns_lock()) {
            stream.sendAll(_replies.data(), _replies.size(), ignored);   // a failure shows in the next read
            _replies.clear();
        }
    }
    std::lock_guard<std::mutex> lock(_stateLock);
    _pending.insert(_pending.end(), data.begin(), data.end());
    ++_version;
    _changed.notify_all();
    return outcome;
}

RFC2217Session::Outcome RFC2217Session::read(const Deadline& deadline, Bytes& bytes, int& failure) {
    const ReaderTurn turn(*this, deadline);
    const bool mine = turn.mine();
    for (;;) {
        if (stream.abandoned())
            return Outcome::Abandoned;
        {
            std::lock_guard<std::mutex> lock(_stateLock);
            if (!_pending.empty()) {
                bytes.swap(_pending);
                _pending.clear();
                signalHeld_locked();
                return Outcome::Data;
            }
            if (_failure != Outcome::Data) {
                failure = _failureNumber;
                return _failure;
            }
        }
        if (!mine)
            return Outcome::TimedOut;
        const Outcome outcome = pump(deadline, failure);
        if (outcome != Outcome::Data)
            return outcome;
    }
}

bool RFC2217Session::await(const std::function<bool()>& condition, const Deadline& deadline) {
    for (;;) {
        unsigned long long seen;
        {
            std::lock_guard<std::mutex> lock(_stateLock);
            seen = _version;
            if (_failure != Outcome::Data)
                return condition();
        }
        if (condition())
            return true;
        if (stream.abandoned() || deadline.passed())
            return false;
        {
            const ReaderTurn turn(*this, Deadline(SELKO_COMMUNICATION_TIME_NOW));
            int failure = 0;
            if (turn.mine() && pump(deadline, failure) == Outcome::Abandoned)
                return false;
            if (turn.mine()) {
                // Device bytes decoded here wait for the next read, which the socket no longer announces.
                std::lock_guard<std::mutex> lock(_stateLock);
                signalHeld_locked();
                continue;
            }
        }
        // Another thread is reading and decoding: it announces every change.
        std::unique_lock<std::mutex> lock(_stateLock);
        _changed.wait_until(lock, deadline.capped(kWaiterSlice).at(), [&] { return _version != seen; });
    }
}

std::vector<std::uint8_t> comPortMessage(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    // Sized once, then filled (growing a two-byte vector by insert trips a false array-bounds
    // warning of GCC 12 at -O3).
    std::vector<std::uint8_t> body(2 + value.size());
    body[0] = rfc2217::COM_PORT_OPTION;
    body[1] = command;
    std::copy(value.begin(), value.end(), body.begin() + 2);
    return telnet::subnegotiation(body);
}

bool RFC2217Session::sendRaw(const Bytes& bytes, int& failure) {
    std::lock_guard<std::mutex> lock(_sendLock);
    return stream.sendAll(bytes.data(), bytes.size(), failure);
}

bool RFC2217Session::send(const std::uint8_t* bytes, std::size_t length, int& failure) {
    Bytes escaped;
    escape(bytes, length, escaped);
    return sendRaw(escaped, failure);
}

bool RFC2217Session::sendComPort(std::uint8_t command, const Bytes& value, int& failure) {
    return sendRaw(comPortMessage(command, value), failure);
}

RFC2217Session::Answer RFC2217Session::answer(std::uint8_t command) {
    std::lock_guard<std::mutex> lock(_stateLock);
    return _answers.of(command);
}

RFC2217Session::ComPort RFC2217Session::comPort() {
    std::lock_guard<std::mutex> lock(_stateLock);
    return _comPort;
}

bool RFC2217Session::modemState(std::uint8_t& state) {
    std::lock_guard<std::mutex> lock(_stateLock);
    return _answers.modemState(state);
}

std::size_t RFC2217Session::discardPending() {
    std::lock_guard<std::mutex> lock(_stateLock);
    const std::size_t count = _pending.size();
    _pending.clear();
    signalHeld_locked();
    return count;
}

std::size_t RFC2217Session::pendingCount() {
    std::lock_guard<std::mutex> lock(_stateLock);
    return _pending.size();
}

} // namespace selko::detail
