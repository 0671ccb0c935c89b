// The event loop's thread, its attachments and its shutdown.
#include "SLKEventLoopCore.h"

#include "CommErrorRaise.h"
#include "SLKDetachedThread.h"
#include "SLPActiveChannelAccess.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace selko::detail {

namespace {

// The wake-up descriptor's key; no buffer channel lives at address 0.
constexpr std::uint64_t kWakeKey = 0;
// Turns in a row for one channel before the others get theirs: enough for a burst, and for layers
// above the port that hand out held-back messages one per read.
constexpr int kTurnsPerWake = 4;
constexpr int kEventsPerWait = 64;

std::uint64_t keyOf(const ActiveBuffer* chan) { return reinterpret_cast<std::uintptr_t>(chan); }

void raiseAttachFailure(CommErrorRef* error, int failure) {
    SLK_RAISE(error, SLKErrorPortSystem, "Error attaching to the event loop - %s(%d).", std::strerror(failure),
              failure);
}

} // namespace

EventLoopHandle::~EventLoopHandle() { core->shutdown(); }

EventLoopCore::EventLoopCore(int epoll, int wake) : _epoll(epoll), _wake(wake) {}

EventLoopCore::~EventLoopCore() {
    ::close(_epoll);
    ::close(_wake);
}

std::shared_ptr<EventLoopCore> EventLoopCore::start(CommErrorRef* error) {
    const auto refuse = [error](int failure) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error starting the event loop - %s(%d).", std::strerror(failure),
                  failure);
        return nullptr;
    };
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return refuse(errno);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        const int failure = errno;
        ::close(epoll);
        return refuse(failure);
    }
    std::shared_ptr<EventLoopCore> core(new EventLoopCore(epoll, wake));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event) != 0)
        return refuse(errno);
    errno = 0;
    if (!selko__tryDetachNewThreadWithBlock([core] { core->run(); }))
        return refuse(errno);
    return core;
}

bool EventLoopCore::attach(const std::shared_ptr<SLPActiveChannel>& channel, const std::shared_ptr<ActiveBuffer>& chan,
                           int descriptor, CommErrorRef* why) {
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        raiseAttachFailure(why, errno);
        return false;
    }
    auto attachment = std::make_shared<Attachment>(Attachment{channel, chan, fd});
    const Key key = keyOf(chan.get());
    std::unique_lock<std::mutex> lock(_mutex);
    if (_stopping) {
        lock.unlock();
        ::close(fd);
        SLK_RAISE(why, SLKErrorPortSystem, "The event loop was destroyed");
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;   // level-triggered: a turn that leaves bytes behind is called again
    event.data.u64 = key;
    if (::epoll_ctl(_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int failure = errno;
        lock.unlock();
        ::close(fd);
        raiseAttachFailure(why, failure);
        return false;
    }
    _attached[key] = std::move(attachment);
    return true;
}

std::shared_ptr<EventLoopCore::Attachment> EventLoopCore::takeOut_locked(Key key, const Attachment* attachment) {
    const auto found = _attached.find(key);
    if (found == _attached.end() || (attachment != nullptr && found->second.get() != attachment))
        return nullptr;
    std::shared_ptr<Attachment> out = std::move(found->second);
    _attached.erase(found);
    ::epoll_ctl(_epoll, EPOLL_CTL_DEL, out->fd, nullptr);
    ::close(out->fd);
    return out;
}

void EventLoopCore::detach(const ActiveBuffer* chan) noexcept {
    std::shared_ptr<Attachment> out;   // released after the unlock: it may hold the last reference to its channel
    std::lock_guard<std::mutex> lock(_mutex);
    out = takeOut_locked(keyOf(chan), nullptr);
}

std::shared_ptr<EventLoopCore::Attachment> EventLoopCore::find(Key key) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _attached.find(key);
    return found == _attached.end() ? nullptr : found->second;
}

EventLoopCore::Served EventLoopCore::serve(const Attachment& attachment) noexcept {
    try {
        for (int turn = 0; turn < kTurnsPerWake; ++turn) {
            switch (SLPActiveChannelAccess::readTurn(*attachment.channel, attachment.chan)) {
            case SLPActiveChannelAccess::Turn::Stopped: return Served::Stopped;
            case SLPActiveChannelAccess::Turn::Empty: return Served::Idle;
            case SLPActiveChannelAccess::Turn::Bytes: break;
            }
        }
        return Served::More;
    } catch (...) {
        // Out of memory inside a turn: this channel's turn ends, the others go on.
        return Served::More;
    }
}

void EventLoopCore::run() noexcept {
    ::pthread_setname_np(::pthread_self(), "selko-loop");
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _loopThread = std::this_thread::get_id();
    }
    epoll_event events[kEventsPerWait];
    std::vector<Key> again, batch;
    for (;;) {
        const int ready = ::epoll_wait(_epoll, events, kEventsPerWait, again.empty() ? -1 : 0);
        if (ready < 0 && errno != EINTR) {
            // Cannot wait any more (not expected): every channel loses its reading, as at shutdown.
            std::lock_guard<std::mutex> lock(_mutex);
            _stopping = true;
            for (auto& entry : _attached) {
                ::close(entry.second->fd);
                _lost.push_back(std::move(entry.second));
            }
            _attached.clear();
            _loseOnLoopThread = true;
            break;
        }
        batch.swap(again);
        again.clear();
        for (int i = 0; i < ready; ++i) {
            // Copied out first: epoll_event is packed, and a reference to its field is misaligned.
            const Key key = events[i].data.u64;
            if (key != kWakeKey)
                batch.push_back(key);
        }
        bool stopping = false;
        for (const Key key : batch) {
            {
                std::lock_guard<std::mutex> lock(_mutex);
                stopping = _stopping;
            }
            if (stopping)
                break;
            const std::shared_ptr<Attachment> attachment = find(key);
            if (!attachment)
                continue;   // left meanwhile
            switch (serve(*attachment)) {
            case Served::Idle: break;
            case Served::More: again.push_back(key); break;
            case Served::Stopped: {
                std::shared_ptr<Attachment> out;
                std::lock_guard<std::mutex> lock(_mutex);
                out = takeOut_locked(key, attachment.get());
                break;
            }
            }
        }
        std::lock_guard<std::mutex> lock(_mutex);
        if (_stopping)
            break;
    }
    std::vector<std::shared_ptr<Attachment>> lost;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _finished = true;
        if (_loseOnLoopThread)
            lost.swap(_lost);
    }
    _finishedChanged.notify_all();
    loseAll(lost);
}

void EventLoopCore::shutdown() noexcept {
    std::vector<std::shared_ptr<Attachment>> taken;
    {
        std::unique_lock<std::mutex> lock(_mutex);
        if (!_stopping) {
            _stopping = true;
            for (auto& entry : _attached) {
                ::epoll_ctl(_epoll, EPOLL_CTL_DEL, entry.second->fd, nullptr);
                ::close(entry.second->fd);
                taken.push_back(std::move(entry.second));
            }
            _attached.clear();
            const std::uint64_t one = 1;
            (void)!::write(_wake, &one, sizeof one);
        }
        if (std::this_thread::get_id() == _loopThread && !_finished) {
            // Destroyed during one of our own turns: the thread loses them on its way out.
            _lost.insert(_lost.end(), taken.begin(), taken.end());
            _loseOnLoopThread = true;
            return;
        }
        _finishedChanged.wait(lock, [this] { return _finished; });
    }
    loseAll(taken);
}

void EventLoopCore::loseAll(std::vector<std::shared_ptr<Attachment>>& attachments) noexcept {
    for (const std::shared_ptr<Attachment>& attachment : attachments) {
        try {
            CommErrorRef record;
            SLK_RAISE(&record, SLKErrorPortSystem, "The event loop was destroyed");
            SLPActiveChannelAccess::readingLost(*attachment->channel, attachment->chan, std::move(record));
        } catch (...) {
            // No memory for the record: that channel's reading simply ends.
        }
    }
    attachments.clear();
}

} // namespace selko::detail

SLKEventLoop::~SLKEventLoop() = default;

std::shared_ptr<SLKEventLoop> createEventLoop(CommErrorRef* error) {
    try {
        auto core = selko::detail::EventLoopCore::start(error);
        if (!core)
            return nullptr;
        return std::make_shared<selko::detail::EventLoopHandle>(std::move(core));
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorPortSystem, "Error starting the event loop - %s(%d).", exception.what(), 0);
        return nullptr;
    }
}
