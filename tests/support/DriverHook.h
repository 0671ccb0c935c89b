// Stands in for a serial driver where a pseudo-terminal cannot: a test program that uses these
// functions replaces the process's ioctl() (the library's calls go through it) with one that
// passes every request on, except the ones a test has taken over. A pseudo-terminal accepts every
// line speed and reports no output queue (TIOCOUTQ is always 0 on its slave); a UART rounds to its
// clock and holds bytes until they have left the wire.
#ifndef SELKO_TEST_DRIVER_HOOK_H
#define SELKO_TEST_DRIVER_HOOK_H

namespace selko::test {

// From now on TCGETS2 reports `rate` as both line speeds (0: the real answer again).
void reportLineSpeed(unsigned rate);
// From now on TIOCOUTQ reports the bytes that `masterFd` has not read yet, as a UART reports the
// bytes not yet on the wire (-1: the real answer again).
void reportOutputQueueOf(int masterFd);

} // namespace selko::test

#endif
