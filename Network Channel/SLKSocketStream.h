// Internal: one open TCP connection of a network channel, shared by the channel and the calls that
// use it.
#ifndef SELKO_SOCKET_STREAM_H
#define SELKO_SOCKET_STREAM_H

#include "SLKDeadline.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace selko::detail {

// Every user (the channel while open, every read, write and control call while it runs) holds a
// shared reference; the descriptors close when the last one lets go, so a running system call
// never sees its descriptor closed or its number reused. abandon() (the channel's close) wakes
// every waiting call at once through an event descriptor that is in every poll set, and shuts the
// connection down so the server sees the close even while a call is still on its way out.
class SocketStream {
public:
    enum class Outcome {
        Data,          // bytes were received
        TimedOut,      // nothing arrived before the deadline
        Abandoned,     // the channel was closed: nothing was taken
        Disconnected,  // the server closed the connection
        Failed,        // a system call failed; `failure` holds errno
    };

    // Takes ownership of the connected non-blocking socket `fd`.
    explicit SocketStream(int fd);
    ~SocketStream();
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    // False when the event descriptor could not be made (the stream is then unusable).
    bool valid() const { return _wake >= 0; }
    int fd() const { return _fd; }

    void abandon();
    bool abandoned() const { return _abandoned.load(); }

    // Waits until bytes arrive or `deadline` passes, then appends what is waiting (up to
    // DEFAULT_BUFFER_SIZE bytes) to `bytes`.
    Outcome receive(const Deadline& deadline, std::vector<std::uint8_t>& bytes, int& failure);
    // Sends every byte (never raising SIGPIPE). False with `failure` set to errno, or to ECANCELED
    // when the stream was abandoned meanwhile.
    bool sendAll(const std::uint8_t* bytes, std::size_t length, int& failure);

private:
    // Polls the socket for `events` and the wake descriptor; >0 ready, 0 timed out, -1 abandoned,
    // -2 failed (errno set).
    int waitFor(short events, const Deadline& deadline);

    const int _fd;
    int _wake = -1;
    std::atomic<bool> _abandoned{false};
};

} // namespace selko::detail

#endif
