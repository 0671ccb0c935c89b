// Internal: the open port of a UART channel, shared by the channel and the calls that use it.
//
// The port's descriptor number must never be used after the channel closed it (the kernel hands
// the number to the next open, perhaps of another port), yet close must really close: another
// program may want the port at once. So every call that uses the descriptor announces itself
// (`use()`), waits only in `wait()`, which also watches a wake-up descriptor, and leaves again.
// `close()` marks the port closed, wakes every waiting call, waits for the calls in flight to
// leave, releases exclusive use and closes the descriptor.
#ifndef SELKO_SLPUART_DESCRIPTOR_H
#define SELKO_SLPUART_DESCRIPTOR_H

#include "SelkoCommunication.h"

#include <condition_variable>
#include <mutex>

struct SLPUARTChannel::Descriptor {
    // Takes ownership of the open `portFd`. Null (with errno set) when no wake-up descriptor can
    // be made; `portFd` is then still the caller's.
    static std::shared_ptr<Descriptor> adopt(int portFd);

    Descriptor(int portFd, int wakeFd) noexcept : fd(portFd), _wakeFd(wakeFd) {}
    // Closes what close() left open: the port when the channel was never closed, the wake-up
    // descriptor always (a call that outlived close's wait may still be looking at it).
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    // A call in flight. False once the port is closed: the call must not touch `fd`.
    class Use {
    public:
        explicit Use(Descriptor& descriptor) noexcept;
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        explicit operator bool() const noexcept { return _descriptor != nullptr; }

    private:
        Descriptor* _descriptor;
    };
    Use use() noexcept { return Use(*this); }

    enum class Wait { Ready, TimedOut, Closed, Failed };
    // Waits (inside a Use) until the port is readable (or hung up), the timeout passes, or the port
    // is closed. `timeout`: FOREVER, NOW, or seconds on the monotonic clock (above 1e9 s: no
    // limit). Failed leaves the system's error in errno.
    Wait waitReadable(double timeout) noexcept;

    enum class Outcome { Bytes, Closed, Disconnected, Failed };
    // One timed read: the bytes that arrived (none when the time ran out), or why there are none:
    // the port was closed (nothing taken), hung up (it reads 0 bytes), or a call failed (the
    // system's error in `failure`). Reads what is waiting, or up to DEFAULT_BUFFER_SIZE bytes.
    Outcome read(double timeout, SLKData& bytes, int& failure) noexcept;

    // Marks the port closed, wakes waiting calls, waits for the calls in flight to leave, releases
    // exclusive use and closes the port. A call that is still in the kernel after a bounded wait
    // (a write held back by flow control) has its unsent output discarded; if it still has not
    // left, the number is pointed at /dev/null instead, so the port is released while the number
    // stays ours until the last holder lets go. False when the port was already closed.
    bool close() noexcept;

    bool isClosed() noexcept;

    const int fd;

private:
    const int _wakeFd;
    std::mutex _mutex;
    std::condition_variable _left;
    int _inFlight = 0;
    bool _closed = false;
    bool _fdClosed = false;
};

#endif
