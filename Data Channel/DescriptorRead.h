// Internal: the one implementation of the timed descriptor read, shared by the exported
// selko_communication_read and the UART channel.
#ifndef SELKO_DESCRIPTOR_READ_H
#define SELKO_DESCRIPTOR_READ_H

#include "SelkoCommunication.h"

#include <atomic>

namespace selko::detail {

// selko_communication_read(fd, timeout, error), plus an optional flag that the UART channel raises
// when it closes the descriptor: when `abandoned` is set by the time the wait says the descriptor
// is readable (just before the read), nothing is read and empty bytes come back, so bytes that now
// belong to a reopened port are left where they are. A null `abandoned` is never set.
SLKData readDescriptor(int fd, double timeout, CommErrorRef* error, const std::atomic<bool>* abandoned) noexcept;

} // namespace selko::detail

#endif
