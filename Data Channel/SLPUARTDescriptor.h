// Internal: the open port of a UART channel, shared by the channel and the calls that use it.
#ifndef SELKO_SLPUART_DESCRIPTOR_H
#define SELKO_SLPUART_DESCRIPTOR_H

#include "SelkoCommunication.h"

#include <unistd.h>

#include <atomic>

// One open port. Every user (the channel while open, every read and write while it runs) holds a
// reference; the system close happens when the last one lets go, so a running system call never
// sees its descriptor closed and the number cannot be reused under it.
struct SLPUARTChannel::Descriptor {
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    // A call that uses the descriptor holds one of these for the length of its system calls;
    // it converts to false once the channel has given the descriptor up.
    class Use {
    public:
        explicit Use(const Descriptor& descriptor) : _usable(!descriptor.abandoned.load()) {}
        explicit operator bool() const noexcept { return _usable; }

    private:
        bool _usable;
    };
    Use use() const { return Use(*this); }

    const int fd;
    // Raised when the channel gives the descriptor up (close, failed read, destruction): a read
    // that was waiting on it then takes nothing more from the port.
    std::atomic<bool> abandoned{false};
};

#endif
