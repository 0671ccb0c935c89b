// Internal: the one platform-specific request of the library, setting a serial line speed that
// the platform has no symbolic value for (1250000 bit/s). Kept apart because Linux's
// <asm/termbits.h> (termios2) cannot be included together with <termios.h>.
#ifndef SELKO_ARBITRARY_LINE_SPEED_H
#define SELKO_ARBITRARY_LINE_SPEED_H

// Sets both line speeds of the terminal `fd` to `speed` bits per second, keeping every other
// setting. Returns 0, or -1 with errno set.
int selkoSetArbitraryLineSpeed(int fd, unsigned speed) noexcept;

#endif
