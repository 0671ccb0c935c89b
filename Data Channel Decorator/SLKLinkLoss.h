// Internal: whether a failed read or write of a port means that the device went away (an
// unplugged adapter, a hung-up line, a server that dropped the connection), as opposed to a
// failure that reopening the port cannot cure (a bad argument, a closed channel).
#ifndef SELKO_SLK_LINK_LOSS_H
#define SELKO_SLK_LINK_LOSS_H

#include "SelkoCommunication.h"

namespace selko::detail {

// True for the library's own records of a lost device: code 5 "Device disconnected" (what the
// UART and network channels report for a hang-up and for a connection the server closed or
// reset), and the read (code 5) and write (code 4) failures whose system error says that the
// device or the connection is gone. Records of other domains (a caller's own channel) are never
// taken for a loss.
bool isDeviceLoss(const CommErrorRef& failure);

} // namespace selko::detail

#endif
