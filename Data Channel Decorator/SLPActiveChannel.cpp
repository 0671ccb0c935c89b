// A decorator that keeps reading the channel beneath it in the background, so bytes leave the
// device as soon as they arrive; readers take everything buffered since their previous read.
// The null variant drains the same way but discards what it reads and refuses reads and writes.
//
// Who reads is a reading (SLKActiveReading.h): by default a detached thread per open that turns
// in 1/30 s slices; for createActiveChannelOnLoop an event loop that turns only when the wrapped
// port is readable. Everything below holds for both: a "loop" is the turns over one buffer
// channel, whoever runs them.
//
// Readers of the threaded variant take turns too (SLKReaderHandoff.h): a reader that finds the
// buffer empty waits on the wrapped port's readable descriptor and, when bytes arrive, takes a
// turn exactly as a loop does (under _loopTurn, bytes into the buffer within the turn, so turns
// never reorder bytes), then takes them from the buffer. The thread then waits for the port
// outside the turn and stands aside while readers are about. Below, "the loop" includes
// those turns.
//
// Threads and locks. Callers open, close and test under _stateLock; reads and writes take it
// only for their open test, so a reader can wait in the buffer channel while another thread
// opens or closes. Each successful open starts one loop with a new buffer channel; the loop
// holds the active channel alive and takes none of its locks but _loopTurn. _stateLock and a
// buffer channel's mutex are never held together.
//
// Three things the loop and the callers agree on without a lock:
//
// 1. The read error is published before the loop is seen stopped. _readError is touched only
//    with the atomic shared_ptr functions, and a loop records its error BEFORE it closes its
//    buffer channel; the closed flag's store then publishes the record. Whoever finds the loop
//    stopped (its buffer channel closed) therefore also finds its error: `close` after the loop
//    stopped reports the recorded error, never a spurious "Device Already Closed".
//
// 2. At most one loop reads the wrapped channel at a time, also when the channel is closed and
//    reopened within one slice, by this active channel or by another one over the same channel.
//    A loop takes _loopTurn for each turn: it checks that its buffer channel is neither closed
//    nor replaced (ending at once when it is; an orphaned buffer channel is closed first) and
//    reads; it delivers after the turn. A close, once the wrapped channel is closed, takes
//    _loopTurn and closes the loop's buffer channel: a read in flight ends first (the close
//    beneath ends it, or its slice does), and a loop between two turns finds the mark at its
//    next one. So no loop reads the wrapped channel after our close returned, and whoever opens
//    it next owns every byte. An open marks a loop that has not yet noticed a close behind our
//    back stopped in the same way before it opens the wrapped channel, so that loop can never
//    read the first bytes of the new open into its own buffer channel; the open itself runs
//    without _loopTurn, so a slow open never holds up an event loop that serves other ports.
//    A loop stopped by the mark records what its next read would have reported, "Cannot
//    communicate with closed devices"; one that the wrapped close ended records that read's
//    error. An orphaned loop never touches _readError, which belongs to the current loop: while
//    a loop runs, _readError holds a token (a null pointer sharing ownership with that loop's
//    buffer channel), and a loop records its error by a compare-and-exchange against its own
//    token, which fails once a newer loop has put its token there.
//
// 3. A loop that cannot be started (no thread, or an event loop that is gone) must not leave
//    readers waiting for ever: its new buffer channel is closed at once, so the channel is not
//    open and reads fail instead of waiting. openWithTimeout then also closes the wrapped channel
//    again (the stack is not left half open) and fails with the reading's code 4 error ("Error
//    starting the read thread - %s(%d)." for a thread). At creation over an open channel the
//    same error is recorded as the stopped loop's error, so `close` reports it.
//
// 4. The readable descriptor (made on request) follows the buffer channel: readable while it
//    holds bytes, or once the loop stopped on its own (a failed read, a lost event loop), so a
//    poll learns of the failure; never after our own close. Whoever changes one of these
//    refreshes it, outside every lock but the signal's own.
#include "CommErrorRaise.h"
#include "SLKActiveReading.h"
#include "SLKDeadline.h"
#include "SLKDetachedThread.h"
#include "SLKReaderHandoff.h"
#include "SLKReadableDescriptor.h"
#include "SLPActiveChannelAccess.h"
#include "databufferchannel_t.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>

// A block read from the wrapped channel can be handed to a reader as it is.
static_assert(std::is_same_v<databufferchannel_t<unsigned char>::Block, SLKData>, "buffer blocks must be read results");

namespace {

// One slice of a thread's loop: short enough that bytes move into the buffer and a closed channel
// is noticed within about a thirtieth of a second even when the channel beneath is not woken by
// its close.
constexpr double kReadSlice = 1.0 / 30.0;

// How long the thread stays aside after a reader was seen (see SLKReaderHandoff.h): far longer
// than the gap between a reply and the next command, far shorter than a port's input buffer
// takes to fill at the highest speeds.
constexpr double kReaderPause = 0.002;

bool startDetachedThread(std::function<void()> block) { return selko__tryDetachNewThreadWithBlock(std::move(block)); }

// A detached thread per loop, turning in slices until the loop stops.
class ThreadReading final : public selko::detail::ActiveReading {
public:
    explicit ThreadReading(SLPActiveChannelAccess::ThreadLauncher launcher) : _launcher(std::move(launcher)) {}
    bool start(const std::shared_ptr<SLPActiveChannel>& channel, const std::shared_ptr<selko::detail::ActiveBuffer>& chan,
               CommErrorRef* why) override {
        errno = 0;
        if (_launcher([channel, chan] { SLPActiveChannelAccess::runSlices(*channel, chan, kReadSlice); }))
            return true;
        const int startError = errno;
        SLK_RAISE(why, SLKErrorPortSystem, "Error starting the read thread - %s(%d).", std::strerror(startError),
                  startError);
        return false;
    }
    bool readersTakeTurns() const override { return true; }

private:
    const SLPActiveChannelAccess::ThreadLauncher _launcher;
};

} // namespace

std::shared_ptr<SLPActiveChannel> SLPActiveChannel::initWithChannel(SLKDataChannelRef channel, bool bufferData) {
    return make(std::move(channel), bufferData, startDetachedThread);
}

std::shared_ptr<SLPActiveChannel> SLPActiveChannel::make(SLKDataChannelRef channel, bool bufferData,
                                                         ThreadLauncher launcher) {
    if (!launcher)
        launcher = startDetachedThread;
    return makeWithReading(std::move(channel), bufferData, std::make_shared<ThreadReading>(std::move(launcher)));
}

std::shared_ptr<SLPActiveChannel> SLPActiveChannel::makeWithReading(
    SLKDataChannelRef channel, bool bufferData, std::shared_ptr<selko::detail::ActiveReading> reading) {
    if (!channel || !reading)
        return nullptr;
    std::shared_ptr<SLPActiveChannel> active(new SLPActiveChannel(std::move(channel), bufferData, std::move(reading)));
    if (SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, active->_commChannel->isOpened())) {
        std::lock_guard<std::mutex> guard(active->_stateLock);
        CommErrorRef record;
        if (!active->detach_read_loop__unsafe(&record))
            active->abandonUnstartedLoop__unsafe(std::move(record));
    }
    return active;
}

SLPActiveChannel::SLPActiveChannel(SLKDataChannelRef channel, bool bufferData,
                                   std::shared_ptr<selko::detail::ActiveReading> reading)
    : _buffer(bufferData), _commChannel(std::move(channel)), _reading(std::move(reading)),
      _readable(std::make_unique<selko::detail::ReadySignal>()) {
    if (_buffer && _reading->readersTakeTurns())
        _handoff = selko::detail::ReaderHandoff::make(SLKReadableDescriptor(_commChannel, nullptr));
}

// Runs on whichever thread lets go last, often a finished loop's thread. The wrapped channel is
// not closed here: it may be shared, and the loop has already stopped.
SLPActiveChannel::~SLPActiveChannel() = default;

std::shared_ptr<SLPActiveChannel::Buffer> SLPActiveChannel::currentBuffer() const { return std::atomic_load(&_chan); }

CommErrorRef SLPActiveChannel::loadReadError() const {
    const CommErrorRef recorded = std::atomic_load(&_readError);
    // A running loop's token is a null pointer that still owns a buffer channel: never hand it on.
    return recorded ? recorded : nullptr;
}

bool SLPActiveChannel::isOpen_unsafe() {
    // The loop's closed flag is read before anything else, so a caller that finds the loop
    // stopped reads the record after the flag (see 1 above).
    const std::shared_ptr<Buffer> chan = currentBuffer();
    const bool loopRunning = chan && !chan->IsClosed();
    return SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _commChannel->isOpened()) && loopRunning;
}

bool SLPActiveChannel::detach_read_loop__unsafe(CommErrorRef* why) {
    auto chan = std::make_shared<Buffer>();
    {
        std::lock_guard<std::mutex> turn(_loopTurn);
        std::atomic_store(&_chan, chan);
        // The new loop's token: "no error yet", owned by this loop alone (see 2 above).
        std::atomic_store(&_readError, CommErrorRef(chan, nullptr));
    }
    _stoppedByClose = false;
    refreshReadable();
    return _reading->start(shared_from_this(), chan, why);
}

void SLPActiveChannel::abandonUnstartedLoop__unsafe(CommErrorRef record) {
    // The record first, then the close that publishes it (see 1 above).
    std::atomic_store(&_readError, std::move(record));
    currentBuffer()->Close();
    announce();
}

void SLPActiveChannel::recordReadError(const std::shared_ptr<Buffer>& chan, CommErrorRef readError) {
    CommErrorRef ownToken(chan, nullptr);
    // Replaces this loop's token only; a newer loop's token (or record) stays (see 2 above).
    std::atomic_compare_exchange_strong(&_readError, &ownToken, std::move(readError));
}

bool SLPActiveChannel::turnIsCurrent__locked(const std::shared_ptr<Buffer>& chan) {
    if (chan->IsClosed())
        return false;   // stopped by a close (see 2 above)
    if (_chan != chan) {   // _chan is replaced only under the turn, which the caller holds
        // Orphaned by a close behind our back and a reopen: the current loop reads from now on.
        chan->Close();
        if (_handoff)
            _handoff->signal();
        return false;
    }
    return true;
}

SLPActiveChannel::Turn SLPActiveChannel::readTurn(const std::shared_ptr<Buffer>& chan, double timeout,
                                                  int ownReaders) {
    // Our reference to the bytes is released after the turn: giving a block back may run code of
    // the channel that made it, and a close waiting for the turn need not wait for that.
    SLKData bytes;
    {
        std::lock_guard<std::mutex> turn(_loopTurn);
        if (!turnIsCurrent__locked(chan))
            return Turn::Stopped;
        CommErrorRef readError;
        bytes = SLK_CONTAIN(&readError, SLKErrorRead, SLKData(), _commChannel->readWithTimeout(timeout, &readError));
        if (!bytes) {
            recordReadError(chan, std::move(readError));
            chan->Close();
        } else {
            _lastTurnFoundBytes = !bytes->empty();
            // Buffered within the turn: readers take turns too, and a later turn's bytes must
            // not overtake these. Read before any close could take the turn, they belong to this
            // loop's buffer channel, which drops them if it was closed meanwhile.
            if (_buffer && !bytes->empty())
                chan->Send(bytes);
        }
    }
    if (!bytes) {
        announce(ownReaders);
        return Turn::Stopped;
    }
    if (bytes->empty())
        return Turn::Empty;
    if (_buffer)
        announce(ownReaders);
    return Turn::Bytes;
}

void SLPActiveChannel::runThread(const std::shared_ptr<Buffer>& chan, double slice) {
    if (!_handoff) {
        while (readTurn(chan, slice) != Turn::Stopped) {
        }
        return;
    }
    // The port is waited on outside the turn, so a waiting reader can take the turn itself; the
    // thread reads only while readers stay away, and notices a close within a slice.
    unsigned seenReaders = 0;
    for (;;) {
        if (_handoff->readersActive(seenReaders)) {
            std::this_thread::sleep_for(std::chrono::duration<double>(kReaderPause));
            std::lock_guard<std::mutex> turn(_loopTurn);
            if (!turnIsCurrent__locked(chan))
                return;
            continue;
        }
        // A quiet slice needs no read, unless the channel beneath was closed behind our back:
        // then the read fails and the loop stops with its error, as it would have at once.
        const bool readable = _lastTurnFoundBytes || _handoff->awaitPort(slice);
        if (_handoff->readersActive(seenReaders) ||
            (!readable && SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _commChannel->isOpened())))
            continue;
        if (readTurn(chan, SELKO_COMMUNICATION_TIME_NOW) == Turn::Stopped)
            return;
    }
}

void SLPActiveChannel::announce(int ownReaders) {
    refreshReadable();
    if (_handoff)
        _handoff->signal(ownReaders);
}

void SLPActiveChannel::readingLost(const std::shared_ptr<Buffer>& chan, CommErrorRef record) {
    {
        std::lock_guard<std::mutex> guard(_stateLock);
        if (currentBuffer() != chan || chan->IsClosed())
            return;   // stopped or replaced already
        // As after a device lost under a read: the wrapped channel closed, the reason kept.
        SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _commChannel->close(nullptr));
        std::lock_guard<std::mutex> turn(_loopTurn);
        recordReadError(chan, std::move(record));
        chan->Close();
    }
    announce();
}

void SLPActiveChannel::stopLoop__unsafe() {
    std::shared_ptr<Buffer> chan;
    {
        // Waits out a read in flight: after this the current loop never starts another read.
        std::lock_guard<std::mutex> turn(_loopTurn);
        chan = currentBuffer();
        if (!chan)
            return;
        if (!chan->IsClosed()) {
            // The loop was between two reads: it stops with what its next read would have
            // reported, so a later close says the same whenever this close came.
            CommErrorRef closed;
            SLK_RAISE(&closed, SLKErrorNotOpened, "Cannot communicate with closed devices");
            recordReadError(chan, std::move(closed));
            chan->Close();
        }
    }
    _reading->stopped(chan.get());
    announce();
}

bool SLPActiveChannel::openWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, openLocked(timeout, error));
}

bool SLPActiveChannel::openLocked(double timeout, CommErrorRef* error) {
    {
        std::lock_guard<std::mutex> guard(_stateLock);
        if (isOpen_unsafe()) {
            SLK_RAISE(error, SLKErrorAlreadyOpened, "Device Already Opened");
            return false;
        }
        // An earlier loop still inside its turn finishes it first; marked stopped, it never reads
        // again, so none of the new open's bytes can go to it (see 2 above).
        stopLoop__unsafe();
        if (_commChannel->openWithTimeout(timeout, error)) {
            CommErrorRef why;
            if (!detach_read_loop__unsafe(&why)) {
                // Nothing stopped, so nothing to report on close ("Device Already Closed"), and
                // no news for a poll: the open reports the failure.
                _stoppedByClose = true;
                abandonUnstartedLoop__unsafe(nullptr);
                _commChannel->close(nullptr);
                if (error != nullptr)
                    *error = why;
                return false;
            }
        }
    }
    // The wrapped channel's own state answers, as it may have been opened behind our back.
    return _commChannel->isOpened();
}

bool SLPActiveChannel::close(CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, closeLocked(error));
}

bool SLPActiveChannel::closeLocked(CommErrorRef* error) {
    std::lock_guard<std::mutex> guard(_stateLock);
    if (isOpen_unsafe()) {
        _stoppedByClose = true;
        const bool closed = SLK_CONTAIN(error, SLKErrorPortSystem, false, _commChannel->close(error));
        // A close that left the wrapped channel open leaves the loop reading it, and us open.
        if (closed || !SLK_CONTAIN(nullptr, SLKErrorPortSystem, false, _commChannel->isOpened()))
            stopLoop__unsafe();
        else
            _stoppedByClose = false;
        return closed;
    }
    // Whatever stopped the loop has now been told (or was our own doing): no news for a poll.
    if (!_stoppedByClose.exchange(true))
        refreshReadable();
    if (error != nullptr) {
        const CommErrorRef recorded = loadReadError();
        if (recorded)
            *error = std::make_shared<const CommError>(recorded->domain(), SLKErrorNotOpened, recorded->userInfo());
        else
            SLK_RAISE(error, SLKErrorNotOpened, "Device Already Closed");
    }
    return false;
}

bool SLPActiveChannel::isOpened() noexcept {
    std::lock_guard<std::mutex> guard(_stateLock);
    return isOpen_unsafe();
}

SLKDataChannelRef SLPActiveChannel::nextLayer() { return _commChannel; }

SLKData SLPActiveChannel::readWithTimeout(double timeout, CommErrorRef* error) noexcept {
    return SLK_CONTAIN(error, SLKErrorRead, SLKData(), receive(timeout, error));
}

SLKData SLPActiveChannel::receive(double timeout, CommErrorRef* error) {
    if (!_buffer) {
        SLK_RAISE(error, SLKErrorUnsupported, "active null stub does not support read");
        return nullptr;
    }
    if (!isOpened()) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return nullptr;
    }
    if (!selko::detail::isValidTimeout(timeout)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "time out has an invalid value");
        return nullptr;
    }
    // Our own reference: a concurrent reopen may replace _chan while we wait in this one.
    const std::shared_ptr<Buffer> chan = currentBuffer();
    if (!chan) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return nullptr;
    }
    SLKData received;
    const bool receivedAny = _handoff && timeout != SELKO_COMMUNICATION_TIME_NOW
                                 ? receiveTakingTurns(chan, timeout, received)
                                 : chan->TryReceive(timeout, received);
    const int receiveError = errno;
    if (receivedAny)
        refreshReadable();
    if (!receivedAny && receiveError != ETIMEDOUT) {
        // A reader that was waiting when the loop stopped ends here, with ECANCELED.
        SLK_RAISE(error, SLKErrorRead, "read failed with error %s (%d)", std::strerror(receiveError), receiveError);
        return nullptr;
    }
    if (chan->IsClosed()) {
        // The loop stopped meanwhile: what this receive took is dropped, its error reported.
        if (error != nullptr)
            *error = loadReadError();
        return nullptr;
    }
    // A timeout is no failure: empty bytes.
    return receivedAny ? received : std::make_shared<const SLKBytes>();
}

bool SLPActiveChannel::receiveTakingTurns(const std::shared_ptr<Buffer>& chan, double timeout, SLKData& received) {
    using selko::detail::ReaderHandoff;
    const selko::detail::Deadline deadline(timeout);
    _handoff->enter();
    bool receivedAny = false;
    for (;;) {
        receivedAny = chan->TryReceive(SELKO_COMMUNICATION_TIME_NOW, received);
        if (receivedAny || errno != ETIMEDOUT)
            break;
        // After a turn that found bytes, held-back bytes come out by turns alone: no wait.
        if (!_lastTurnFoundBytes) {
            const ReaderHandoff::Wake wake = _handoff->wait(deadline);
            if (wake == ReaderHandoff::Wake::Timeout) {
                errno = ETIMEDOUT;
                break;
            }
            if (wake != ReaderHandoff::Wake::Port)
                continue;
        }
        readTurn(chan, SELKO_COMMUNICATION_TIME_NOW, 1);
    }
    const int receiveError = errno;
    // The signal of a close was consumed by one reader: pass it on to the others.
    if (receiveError == ECANCELED)
        _handoff->signal();
    _handoff->leave();
    errno = receiveError;
    return receivedAny;
}

bool SLPActiveChannel::write(const SLKData& data, CommErrorRef* error) noexcept {
    if (!_buffer) {
        SLK_RAISE(error, SLKErrorUnsupported, "active null stub does not support write");
        return false;
    }
    if (!isOpened()) {
        SLK_RAISE(error, SLKErrorNotOpened, "Cannot communicate with closed devices");
        return false;
    }
    return SLK_CONTAIN(error, SLKErrorPortSystem, false, _commChannel->write(data, error));
}

bool SLPActiveChannel::readableNow() const {
    const std::shared_ptr<Buffer> chan = currentBuffer();
    if (!chan)
        return false;
    if (chan->IsClosed())
        return !_stoppedByClose;
    return chan->HasData();
}

void SLPActiveChannel::refreshReadable() {
    _readable->update([this] { return readableNow(); });
}

int SLPActiveChannel::readableDescriptor(CommErrorRef* error) {
    return _readable->descriptor([this] { return readableNow(); }, error);
}
