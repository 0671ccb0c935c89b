// Internal: what the raw TCP and the RFC 2217 channels share: the life of the connection and the
// read/write contract of the UART channel over it.
#ifndef SELKO_SLKNETWORK_CHANNEL_H
#define SELKO_SLKNETWORK_CHANNEL_H

#include "SLKNetworkURL.h"
#include "SLKReadableDescriptor.h"
#include "SLKSocketStream.h"

#include <memory>
#include <vector>

namespace selko::detail {

// One open connection of a network channel: what the channel reads and writes through.
class NetworkConnection {
public:
    using Outcome = SocketStream::Outcome;
    virtual ~NetworkConnection() = default;
    // Wakes every waiting call at once and shuts the connection down (the channel's close).
    virtual void abandon() = 0;
    // Waits until the device's bytes arrive or `deadline` passes and appends them to `bytes`.
    virtual Outcome read(const Deadline& deadline, std::vector<std::uint8_t>& bytes, int& failure) = 0;
    // Sends every data byte; false with `failure` set to errno, or ECANCELED once abandoned.
    virtual bool send(const std::uint8_t* bytes, std::size_t length, int& failure) = 0;
    // The descriptors that are readable while a read would find something: the socket, and a
    // signal for bytes decoded and held here. They stay open until the connection is destroyed.
    virtual std::vector<int> watched() const = 0;
};

} // namespace selko::detail

// Open connects within its timeout, then lets the kind of channel make the connection ready;
// reads wait on a monotonic deadline and return what arrived; a write sends every byte, waiting
// as long as the server takes to accept them (a close ends the wait, and the write fails with
// code 2); a server that closes the connection fails the read with code 5 "Device disconnected"
// and closes the channel; close wakes a waiting reader at once, and that read fails with code 2
// without taking a byte. Calls may come from any thread: every call holds the connection while
// it runs, and its descriptors close when the last holder lets go. Its readable descriptor (an
// epoll set holding the open connection's descriptors) is stable for the channel's life.
class SLKNetworkChannel : public SLKDataChannel, public selko::detail::ReadableLayer {
public:
    ~SLKNetworkChannel() override;

    bool openWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept final;
    bool close(CommErrorRef* error = nullptr) noexcept final;
    bool isOpened() noexcept final;
    SLKData readWithTimeout(double timeout, CommErrorRef* error = nullptr) noexcept final;
    bool write(const SLKData& data, CommErrorRef* error = nullptr) noexcept final;
    int readableDescriptor(CommErrorRef* error) final;

protected:
    using Connection = selko::detail::NetworkConnection;

    SLKNetworkChannel(std::string url, selko::detail::NetworkAddress address);

    // Checks made before anything goes over the network (option values); false with the error set.
    virtual bool checkBeforeConnect(CommErrorRef* error) = 0;
    // Builds the connection over the connected socket `fd`, which it owns from then on, and makes
    // it ready within `deadline`; null with the error set.
    virtual std::shared_ptr<Connection> start(int fd, const selko::detail::Deadline& deadline,
                                              CommErrorRef* error) = 0;

    // The open connection, or null with code 2 raised when the channel is closed.
    std::shared_ptr<Connection> acquireOrRaise(CommErrorRef* error) const;
    // Code 4 "Error opening network port <url> - <system text>(<number>)."
    void raiseOpenFailure(CommErrorRef* error, int failure) const;

    const std::string _url;

private:
    std::shared_ptr<Connection> acquire() const { return std::atomic_load(&_connection); }
    // Gives `connection` up if the channel still holds it.
    void release(const std::shared_ptr<Connection>& connection);
    // Takes a connection's descriptors out of the watch and abandons it.
    void letGo(const std::shared_ptr<Connection>& connection);

    const selko::detail::NetworkAddress _address;
    std::shared_ptr<Connection> _connection;   // null while closed; atomic shared_ptr operations only
    // Holds the descriptors of the connection in _connection, from before it is published until
    // it is taken away.
    selko::detail::ReadableWatch _watch;
};

#endif
