// Internal: the timed read of a serial port that the UART channel makes, the wait for a port's
// output to leave, and the one report of a failed wait or read of a port, shared by every
// descriptor-backed channel.
#ifndef SELKO_DESCRIPTOR_OPERATION_H
#define SELKO_DESCRIPTOR_OPERATION_H

#include "SLKPortHandle.h"

namespace selko::detail {

enum class PortRead { Bytes, Closed, Disconnected, Failed };

// Waits until bytes arrive or `deadline` passes and reads what is waiting: Bytes with the bytes
// (none when the time ran out), or why there are none: the port was closed (nothing taken), hung
// up, or a call failed (the system's error in `failure`). Never blocks in the kernel past the
// wait: the bytes are counted and read under the port's input lock, and a wait whose bytes another
// reader or a discard took first simply waits again within the same deadline.
PortRead readSerialPort(PortHandle& port, const Deadline& deadline, SLKData& bytes, int& failure) noexcept;

// Sleeps until `deadline`; false as soon as the port is closed meanwhile.
bool sleepUntil(PortHandle& port, const Deadline& deadline) noexcept;

enum class OutputDrain { Drained, TimedOut, Closed, Failed };

// Asks the port for the bytes it has not sent yet (the ioctl `request`: TIOCOUTQ for a serial port,
// SIOCOUTQ for a socket) every few milliseconds until there are none, `deadline` passes or the port
// is closed. Polled rather than waited for in tcdrain, which no deadline and no close can end.
// `unsent` holds the last answer; `failure` the system's error when the question failed.
OutputDrain awaitOutputDrained(PortHandle& port, unsigned long request, const Deadline& deadline, int& unsent,
                               int& failure) noexcept;

// Code 5 "Select failed with error %s (%d)" for a wait or read of a port that failed with `failure`.
void raiseWaitOrReadFailure(CommErrorRef* error, int failure);

} // namespace selko::detail

#endif
