// Internal: one open TCP connection of a network channel, shared by the channel and the calls that
// use it.
#ifndef SELKO_SOCKET_STREAM_H
#define SELKO_SOCKET_STREAM_H

#include "SLKPortHandle.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace selko::detail {

// The connection stands on the port core: every receive and send is a call in flight on its handle,
// abandon() (the channel's close) wakes every waiting call at once and shuts the connection down so
// the server sees the close at once, and the descriptor's number stays taken until the stream goes,
// so a call that holds the stream never reaches another descriptor.
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

    // False when the wake-up descriptor could not be made (the stream is then unusable).
    bool valid() const { return _port != nullptr; }
    int fd() const { return _fd; }
    // The handle every call on the connection goes through (only of a valid stream).
    PortHandle& port() const { return *_port; }

    void abandon();
    bool abandoned() const { return !_port || _port->closed(); }

    // Waits until bytes arrive or `deadline` passes, then appends what is waiting (up to
    // DEFAULT_BUFFER_SIZE bytes) to `bytes`.
    Outcome receive(const Deadline& deadline, std::vector<std::uint8_t>& bytes, int& failure);
    // Sends every byte (never raising SIGPIPE). False with `failure` set to errno, or to ECANCELED
    // when the stream was abandoned meanwhile.
    bool sendAll(const std::uint8_t* bytes, std::size_t length, int& failure);

private:
    const int _fd;
    std::shared_ptr<PortHandle> _port;
};

} // namespace selko::detail

#endif
