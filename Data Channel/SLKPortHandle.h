// Internal: the open descriptor of a port (a serial device node or a connected socket) and the
// calls that use it. Every descriptor-backed channel stands on this.
//
// A port's descriptor number must never be used after the channel closed it (the kernel hands the
// number to the next open, perhaps of another port), yet close must really let the port go:
// another program may want it at once. So every call that touches the descriptor announces itself
// (`use()`), waits only in `wait()`, which also watches a wake-up descriptor, and leaves again.
// `close()` marks the port closed, wakes every waiting call, waits for the calls in flight to leave
// and only then lets the descriptor go.
#ifndef SELKO_PORT_HANDLE_H
#define SELKO_PORT_HANDLE_H

#include "SLKDeadline.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace selko::detail {

// What letting go of a port involves besides closing its descriptor.
struct PortRelease {
    // A connection: shut it down at close, so the far end sees the close at once; the descriptor
    // itself is closed with the handle's last holder.
    bool shutDownConnection = false;
    // A serial port: output that flow control holds back is dropped when a write has not left
    // in time, so that the blocked write returns.
    bool flushStuckOutput = false;
    // Exclusive use was set by this channel: clear it before the descriptor goes (a
    // pseudo-terminal keeps the flag after its last close). Never set for a flag another
    // program set.
    bool clearExclusive = false;
};

class PortHandle {
public:
    // Takes ownership of the open `fd`. Null (with errno set) when no wake-up descriptor can be
    // made; `fd` is then still the caller's.
    static std::shared_ptr<PortHandle> adopt(int fd, PortRelease release);

    PortHandle(int fd, int wakeFd, PortRelease release) noexcept;
    // Closes what close() left open.
    ~PortHandle();
    PortHandle(const PortHandle&) = delete;
    PortHandle& operator=(const PortHandle&) = delete;

    // A call in flight. False once the port is closed: the call must not touch the descriptor.
    class Use {
    public:
        explicit Use(PortHandle& port) noexcept;
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        explicit operator bool() const noexcept { return _port != nullptr; }

    private:
        PortHandle* _port;
    };
    Use use() noexcept { return Use(*this); }

    enum class Wait { Ready, TimedOut, Closed, Failed };
    // Waits (inside a Use) until the descriptor reports one of `events` (or a hang-up or error),
    // the deadline passes, or the port is closed. Ready leaves what poll reported in `reported`;
    // Failed leaves the system's error in errno. A close wins over readiness at the same moment.
    Wait wait(short events, const Deadline& deadline, short& reported) noexcept;

    // Marks the port closed, wakes every waiting call, waits for the calls in flight to leave and
    // lets the port go. A call still in the kernel after a bounded wait (a write held back by flow
    // control) has the unsent output dropped; if it still has not left, the number is pointed at
    // /dev/null instead, so the port is released while the number stays ours until the handle's
    // last holder lets go. False when the port was already closed.
    bool close() noexcept;
    bool closed() const noexcept { return (_calls.load() & kClosed) != 0; }
    // Whether close released the port under calls that had not left: whatever those calls'
    // system calls returned then is taken as "closed".
    bool releasedUnderCalls() const noexcept { return _releasedUnderCalls.load(); }

    // Held while bytes are taken from or dropped from the port's input, so that a count of waiting
    // bytes and the read that trusts it are never split by another reader or a discard.
    std::mutex& inputLock() noexcept { return _inputLock; }
    // Counts every taking or dropping of input (under the input lock). A reader that finds it
    // unchanged since before its wait knows that the bytes its wait saw are all still there.
    unsigned long inputTaken() const noexcept { return _inputTaken.load(std::memory_order_acquire); }
    void tookInput() noexcept { _inputTaken.fetch_add(1, std::memory_order_acq_rel); }

    int fd() const noexcept { return _fd; }

private:
    void leave() noexcept;

    const int _fd;
    const int _wakeFd;
    const PortRelease _release;
    std::mutex _inputLock;
    std::atomic<unsigned long> _inputTaken{0};
    // Calls in flight, counted in steps of kOneCall, with kClosed set once close began: a call
    // enters and leaves without a lock on the way of every read and write.
    static constexpr unsigned kClosed = 1, kOneCall = 2;
    std::atomic<unsigned> _calls{0};
    std::mutex _mutex;   // close's wait for the last call to leave
    std::condition_variable _left;
    bool _fdClosed = false;
    std::atomic<bool> _releasedUnderCalls{false};
};

} // namespace selko::detail

#endif
