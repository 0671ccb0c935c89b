// Internal: the event loop's inside. One detached thread waits in epoll on the readable
// descriptors of every attached active channel and runs a channel's turn (a read of its wrapped
// channel with SELKO_COMMUNICATION_TIME_NOW) only when its descriptor is readable. The wait has
// no timeout while nothing is pending: silent ports cost no wake-up at all.
//
// Attachments. Each attachment is one loop of one active channel (one buffer channel) and holds
// the channel alive, as a reading thread would; its key (the buffer channel's address) goes into
// the epoll event, and the loop looks every ready key up under the mutex, so an attachment that
// left meanwhile is simply not found. An attachment waits on its own duplicate of the channel's
// descriptor, so two attachments over one descriptor never collide in the epoll set and leaving
// never disturbs another.
//
// Fairness. A turn reads what is there and no more; a channel that still had bytes after a few
// turns goes to the back of the line and is served again after the others, with a wait of zero.
// Turns that stop (a failed read) take the attachment out at once.
//
// Shutdown. The handle's destruction marks the core stopping, takes every attachment out, wakes
// the thread and waits until it left its last turn (unless the destruction runs on the loop
// thread itself, during a turn: the thread then finishes the job on its way out). Each taken
// attachment's reading is then lost: its channel closes its wrapped channel and records code 4
// "The event loop was destroyed".
#ifndef SELKO_EVENT_LOOP_CORE_H
#define SELKO_EVENT_LOOP_CORE_H

#include "SLKActiveReading.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace selko::detail {

class EventLoopCore : public std::enable_shared_from_this<EventLoopCore> {
public:
    // A running loop, or null with code 4 when its descriptors or its thread cannot be made.
    static std::shared_ptr<EventLoopCore> start(CommErrorRef* error);
    ~EventLoopCore();
    EventLoopCore(const EventLoopCore&) = delete;
    EventLoopCore& operator=(const EventLoopCore&) = delete;

    // Serves `channel`'s turns over `chan` whenever `descriptor` is readable. False with the
    // reason (code 4) when the loop is stopping or the system refuses.
    bool attach(const std::shared_ptr<SLPActiveChannel>& channel, const std::shared_ptr<ActiveBuffer>& chan,
                int descriptor, CommErrorRef* why);
    // Stops serving `chan` (nothing when it is not attached).
    void detach(const ActiveBuffer* chan) noexcept;
    // See Shutdown above. Once it returns (off the loop thread) no turn runs any more.
    void shutdown() noexcept;

private:
    struct Attachment {
        std::shared_ptr<SLPActiveChannel> channel;
        std::shared_ptr<ActiveBuffer> chan;
        int fd;
    };
    using Key = std::uint64_t;
    enum class Served { Idle, More, Stopped };

    EventLoopCore(int epoll, int wake);
    void run() noexcept;
    Served serve(const Attachment& attachment) noexcept;
    std::shared_ptr<Attachment> find(Key key);
    // Takes `key` out when it still names `attachment` (or any, when null); the caller releases
    // what it returns outside the mutex.
    std::shared_ptr<Attachment> takeOut_locked(Key key, const Attachment* attachment);
    static void loseAll(std::vector<std::shared_ptr<Attachment>>& attachments) noexcept;

    const int _epoll;
    const int _wake;   // eventfd: written by shutdown
    std::mutex _mutex;
    std::map<Key, std::shared_ptr<Attachment>> _attached;
    bool _stopping = false;
    bool _finished = false;              // run() has left its last turn
    bool _loseOnLoopThread = false;      // shutdown ran during a turn: run() loses the attachments
    std::vector<std::shared_ptr<Attachment>> _lost;
    std::thread::id _loopThread;
    std::condition_variable _finishedChanged;
};

// What createEventLoop hands out: its destruction shuts the loop down.
class EventLoopHandle final : public SLKEventLoop {
public:
    explicit EventLoopHandle(std::shared_ptr<EventLoopCore> loop) : core(std::move(loop)) {}
    ~EventLoopHandle() override;
    const std::shared_ptr<EventLoopCore> core;
};

} // namespace selko::detail

#endif
