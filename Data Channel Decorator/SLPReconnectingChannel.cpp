// The reconnecting decorator. Its state, the link, goes through four phases:
//
//   Closed ──open──▶ Opening ──port opened──▶ Connected ◀──reopened── Lost
//                                                 └──────device gone─────▲
//
// close leads from every phase back to Closed. Every change happens under _lock and advances
// _epoch, so a thread that let go of the lock to call the port can tell, once it has the lock
// again, whether the world changed meanwhile: a read or write remembers the epoch at which it
// called the port, and the loss it then meets is handled only if nothing changed since (another
// thread may have met the same loss first, or a close may have come).
//
// Threads. The port's reads, writes and opening attempts run on the caller's thread, without the
// lock. The reopening during an outage runs on one thread of the link's own, started at the
// first loss and kept (asleep, waiting on _changed) until the channel is closed or destroyed,
// both of which wait for it to end: no thread outlives them. The port is closed under the lock
// when a loss is handled, so that whoever takes the lock next finds it closed; the port never
// calls back into the link, so that cannot deadlock.
//
// Events are queued under the lock, in the order of the changes, and handed to the listener after
// the lock is released (LinkEvents): a read that meets a lost device tells the listener in that
// very call, which is what an event loop reading with SELKO_COMMUNICATION_TIME_NOW relies on.
#include "SLPReconnectingChannel.h"

#include "CommErrorRaise.h"
#include "SLKDeadline.h"
#include "SLKLinkEvents.h"
#include "SLKLinkLoss.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

using selko::detail::Deadline;

namespace {

// The time an attempt of the retries may take, where the caller named none (an open with FOREVER
// or NOW): a connection to a network port that does not answer is given up after it, and a close
// waits for the attempt in flight at most that long.
constexpr double kShortestAttempt = 2.0;

// The end of a pause of `seconds` from now; a pause beyond a billion seconds (about 30 years) is
// cut there, where the clock's arithmetic still holds.
Deadline::Clock::time_point pauseEnd(double seconds) {
    return Deadline::Clock::now() +
           std::chrono::duration_cast<Deadline::Clock::duration>(std::chrono::duration<double>(std::min(seconds, 1e9)));
}

// The time left of `deadline` as a channel timeout.
double timeLeft(const Deadline& deadline) {
    if (deadline.forever())
        return SELKO_COMMUNICATION_TIME_FOREVER;
    const auto left = deadline.at() - Deadline::Clock::now();
    return std::max(std::chrono::duration<double>(left).count(), SELKO_COMMUNICATION_TIME_NOW);
}

// A failed open that trying again cannot cure: a bad setting, a port kind without the operation.
bool worthRetrying(const CommErrorRef& failure) {
    return !failure || failure->domain() != SelkoCommunicationErrorDomain ||
           (failure->code() != SLKErrorInvalidArgument && failure->code() != SLKErrorUnsupported);
}

bool isClosedFailure(const CommErrorRef& failure) {
    return failure && failure->domain() == SelkoCommunicationErrorDomain && failure->code() == SLKErrorNotOpened;
}

} // namespace

class SLPReconnectingChannel::Link : public std::enable_shared_from_this<Link> {
public:
    Link(SLKDataChannelRef channel, SLKReconnectPolicy policy, Listener listener)
        : _channel(std::move(channel)), _policy(policy), _events(std::move(listener)),
          _phase(portIsOpen() ? Phase::Connected : Phase::Closed), _reopenTimeout(attemptLimit()) {}

    bool open(double timeout, CommErrorRef* error);
    bool close(CommErrorRef* error);
    void shutDown();
    bool isOpened();
    SLKData read(double timeout, CommErrorRef* error);
    bool write(const SLKData& data, CommErrorRef* error);

private:
    enum class Phase { Closed, Opening, Connected, Lost };

    double attemptLimit() const { return std::max(kShortestAttempt, _policy.longestRetry); }
    bool portIsOpen() { return SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _channel->isOpened()); }
    void closePort() { SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _channel->close(nullptr)); }
    bool attemptOpen(double timeout, CommErrorRef* failure);
    bool lostWith(std::uint64_t epoch, const CommErrorRef& failure);
    void lose(std::uint64_t epoch, const CommErrorRef& reason);
    void startRetrier__locked();
    std::thread takeRetrier__locked();
    static void finish(std::thread& retrier);
    void retry(std::uint64_t retrier);
    bool reopen__locked(std::unique_lock<std::mutex>& lock, std::uint64_t retrier);

    const SLKDataChannelRef _channel;
    const SLKReconnectPolicy _policy;
    selko::detail::LinkEvents _events;
    std::mutex _lock;
    std::condition_variable _changed;   // every change of _phase, _epoch, _attempts and _retrierId
    Phase _phase;
    std::uint64_t _epoch = 0;
    // Attempts to open the port in flight (an open's or the retrier's): one at most, since an
    // open and a close wait until none is left. An attempt that finds the channel closed when it
    // returns closes what it opened before it counts itself out, so after that wait the port
    // belongs to whoever comes next.
    int _attempts = 0;
    double _reopenTimeout;              // what each reopening attempt may take
    std::thread _retrier;
    std::uint64_t _retrierId = 0;       // the running retrier's number, 0 for none
    std::uint64_t _retriersStarted = 0;
};

// ---------------------------------------------------------------------------------------------
// Opening and closing

bool SLPReconnectingChannel::Link::attemptOpen(double timeout, CommErrorRef* failure) {
    const bool opened = SLK_CONTAIN(failure, SLKErrorPortSystem, false, _channel->openWithTimeout(timeout, failure));
    // A port that someone opened behind our back is as good as one we opened.
    return opened || portIsOpen();
}

bool SLPReconnectingChannel::Link::open(double timeout, CommErrorRef* error) {
    if (!selko::detail::isValidTimeout(timeout)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
        return false;
    }
    const Deadline deadline(timeout);
    std::unique_lock<std::mutex> lock(_lock);
    _changed.wait(lock, [&] { return _attempts == 0; });
    if (_phase != Phase::Closed) {
        SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
        return false;
    }
    _phase = Phase::Opening;
    const std::uint64_t opening = ++_epoch;
    // The reopenings after a loss may take as long as the caller gave this open.
    _reopenTimeout = deadline.forever() || timeout == SELKO_COMMUNICATION_TIME_NOW ? attemptLimit() : timeout;
    const auto closedMeanwhile = [&] { return _epoch != opening; };
    for (double pause = _policy.firstRetry;; pause = std::min(pause * 2, _policy.longestRetry)) {
        ++_attempts;
        lock.unlock();
        CommErrorRef failure;
        const bool opened = attemptOpen(deadline.forever() ? attemptLimit() : timeLeft(deadline), &failure);
        lock.lock();
        if (opened && closedMeanwhile()) {
            lock.unlock();
            closePort();
            lock.lock();
        }
        --_attempts;
        _changed.notify_all();
        if (!closedMeanwhile() && opened) {
            _phase = Phase::Connected;
            ++_epoch;
            return true;
        }
        if (!closedMeanwhile() && (!worthRetrying(failure) || deadline.passed())) {
            _phase = Phase::Closed;
            ++_epoch;
            if (error != nullptr && failure)
                *error = failure;
            return false;
        }
        if (!closedMeanwhile())
            _changed.wait_until(lock, std::min(pauseEnd(pause), deadline.at()), closedMeanwhile);
        if (closedMeanwhile()) {
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
            return false;
        }
    }
}

bool SLPReconnectingChannel::Link::close(CommErrorRef* error) {
    std::unique_lock<std::mutex> lock(_lock);
    if (_phase == Phase::Closed) {
        SLK_RAISE(error, SLKErrorNotOpened, "Device Already Closed");
        return false;
    }
    // Lost or Opening: the port is closed already, or an attempt in flight closes what it opens.
    const bool portOpen = _phase == Phase::Connected;
    _phase = Phase::Closed;
    ++_epoch;
    std::thread retrier = takeRetrier__locked();
    _changed.notify_all();
    _changed.wait(lock, [&] { return _attempts == 0; });
    lock.unlock();
    finish(retrier);
    if (!portOpen)
        return true;
    CommErrorRef failure;
    if (SLK_CONTAIN(&failure, SLKErrorPortSystem, false, _channel->close(&failure)) || !portIsOpen())
        return true;   // a port that closed itself just now (at a hang-up) is closed all the same
    if (error != nullptr && failure)
        *error = failure;
    return false;
}

void SLPReconnectingChannel::Link::shutDown() {
    std::unique_lock<std::mutex> lock(_lock);
    std::thread retrier = takeRetrier__locked();
    _changed.notify_all();
    lock.unlock();
    finish(retrier);
}

bool SLPReconnectingChannel::Link::isOpened() {
    const std::lock_guard<std::mutex> lock(_lock);
    return _phase == Phase::Connected || _phase == Phase::Lost;
}

// ---------------------------------------------------------------------------------------------
// Reading and writing

SLKData SLPReconnectingChannel::Link::read(double timeout, CommErrorRef* error) {
    if (!selko::detail::isValidTimeout(timeout)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
        return nullptr;
    }
    const Deadline deadline(timeout);
    std::unique_lock<std::mutex> lock(_lock);
    for (;;) {
        if (_phase == Phase::Lost) {
            startRetrier__locked();   // again, in case no thread could be started at the loss
            const auto back = [&] { return _phase != Phase::Lost; };
            if (deadline.forever())
                _changed.wait(lock, back);
            else if (!_changed.wait_until(lock, deadline.at(), back))
                return std::make_shared<const SLKBytes>();
            continue;
        }
        if (_phase != Phase::Connected) {
            SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
            return nullptr;
        }
        const std::uint64_t epoch = _epoch;
        lock.unlock();
        CommErrorRef failure;
        SLKData bytes = SLK_CONTAIN(&failure, SLKErrorRead, SLKData(),
                                    _channel->readWithTimeout(timeLeft(deadline), &failure));
        if (bytes)
            return bytes;
        if (!lostWith(epoch, failure)) {
            if (error != nullptr && failure)
                *error = failure;
            return nullptr;
        }
        lock.lock();
    }
}

bool SLPReconnectingChannel::Link::write(const SLKData& data, CommErrorRef* error) {
    std::unique_lock<std::mutex> lock(_lock);
    if (_phase == Phase::Lost) {
        SLK_RAISE(error, SLKErrorPortSystem, "Device disconnected");
        return false;
    }
    if (_phase != Phase::Connected) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    const std::uint64_t epoch = _epoch;
    lock.unlock();
    CommErrorRef failure;
    if (SLK_CONTAIN(&failure, SLKErrorPortSystem, false, _channel->write(data, &failure)))
        return true;
    if (lostWith(epoch, failure)) {
        SLK_RAISE(error, SLKErrorPortSystem, "Device disconnected");
    } else if (error != nullptr && failure) {
        *error = failure;
    }
    return false;
}

// Whether a read or write at `epoch` failed because the device is gone; the loss is then handled
// (here, or by the thread that met it first) and the caller goes on as during an outage.
bool SLPReconnectingChannel::Link::lostWith(std::uint64_t epoch, const CommErrorRef& failure) {
    if (selko::detail::isDeviceLoss(failure)) {
        lose(epoch, failure);
        return true;
    }
    if (!isClosedFailure(failure))
        return false;
    // The port was closed under the call: by our close (the failure stands), by another thread
    // that met a loss first (the epoch moved on), or by the port itself, which closes at a
    // hang-up that another of its readers noticed first.
    {
        const std::lock_guard<std::mutex> lock(_lock);
        if (_phase == Phase::Closed || _phase == Phase::Opening)
            return false;
        if (_epoch != epoch)
            return true;
    }
    if (portIsOpen())
        return false;
    lose(epoch, failure);
    return true;
}

void SLPReconnectingChannel::Link::lose(std::uint64_t epoch, const CommErrorRef& reason) {
    {
        const std::lock_guard<std::mutex> lock(_lock);
        if (_phase != Phase::Connected || _epoch != epoch)
            return;
        _phase = Phase::Lost;
        ++_epoch;
        closePort();
        _events.post(SLKLinkEvent::Lost, reason);
        startRetrier__locked();
        _changed.notify_all();
    }
    _events.deliver();
}

// ---------------------------------------------------------------------------------------------
// The retrying thread

void SLPReconnectingChannel::Link::startRetrier__locked() {
    if (_retrierId != 0)
        return;
    const std::uint64_t number = ++_retriersStarted;
    try {
        _retrier = std::thread([self = shared_from_this(), number] { self->retry(number); });
        _retrierId = number;
    } catch (...) {
        // No thread now: the next read during the outage tries again.
    }
}

std::thread SLPReconnectingChannel::Link::takeRetrier__locked() {
    _retrierId = 0;   // the retrier ends at its next look at the state
    return std::move(_retrier);
}

void SLPReconnectingChannel::Link::finish(std::thread& retrier) {
    if (!retrier.joinable())
        return;
    // Closed (or released) by the listener on the retrier itself: it ends on its own right after.
    if (retrier.get_id() == std::this_thread::get_id())
        retrier.detach();
    else
        retrier.join();
}

void SLPReconnectingChannel::Link::retry(std::uint64_t retrier) {
    std::unique_lock<std::mutex> lock(_lock);
    while (_retrierId == retrier) {
        if (_phase != Phase::Lost) {
            _changed.wait(lock);
            continue;
        }
        if (reopen__locked(lock, retrier)) {
            lock.unlock();
            _events.deliver();
            lock.lock();
        }
    }
}

// One outage: attempts on the policy's schedule until one opens the port (true, Restored queued)
// or the outage ends otherwise (a close, the end of this retrier).
bool SLPReconnectingChannel::Link::reopen__locked(std::unique_lock<std::mutex>& lock, std::uint64_t retrier) {
    const std::uint64_t outage = _epoch;
    const auto over = [&] { return _retrierId != retrier || _epoch != outage; };
    for (double pause = _policy.firstRetry;; pause = std::min(pause * 2, _policy.longestRetry)) {
        if (_changed.wait_until(lock, pauseEnd(pause), over))
            return false;
        const double timeout = _reopenTimeout;
        ++_attempts;
        lock.unlock();
        const bool opened = attemptOpen(timeout, nullptr);
        lock.lock();
        if (opened && over()) {
            lock.unlock();
            closePort();
            lock.lock();
        }
        --_attempts;
        _changed.notify_all();
        if (over())
            return false;
        if (opened) {
            _phase = Phase::Connected;
            ++_epoch;
            _events.post(SLKLinkEvent::Restored, nullptr);
            _changed.notify_all();
            return true;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The channel

SLPReconnectingChannel::SLPReconnectingChannel(SLKDataChannelRef channel, SLKReconnectPolicy policy,
                                               Listener listener)
    : SLKChannelDecorator(channel), _link(std::make_shared<Link>(std::move(channel), policy, std::move(listener))) {}

SLPReconnectingChannel::~SLPReconnectingChannel() { _link->shutDown(); }

bool SLPReconnectingChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _link->open(timeout, error));
}

bool SLPReconnectingChannel::close(CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _link->close(error));
}

bool SLPReconnectingChannel::isOpened() noexcept { return SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _link->isOpened()); }

SLKData SLPReconnectingChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorRead, SLKData(), _link->read(timeout, error));
}

bool SLPReconnectingChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _link->write(data, error));
}

SLKDataChannelRef createReconnectingChannel(SLKDataChannelRef channel, SLKReconnectPolicy policy,
                                            std::function<void(SLKLinkEvent, const CommErrorRef&)> listener,
                                            CommErrorRef* error) noexcept {
    if (!channel) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "channel cannot be nil");
        return nullptr;
    }
    if (!(policy.firstRetry > 0) || !std::isfinite(policy.firstRetry)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "firstRetry must be a positive number of seconds");
        return nullptr;
    }
    if (!(policy.longestRetry >= policy.firstRetry) || !std::isfinite(policy.longestRetry)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "longestRetry must be a number of seconds no less than firstRetry");
        return nullptr;
    }
    return std::make_shared<SLPReconnectingChannel>(std::move(channel), policy, std::move(listener));
}
