// Internal: the platform-specific requests of the library on a serial line's speed: setting a
// speed that the platform has no symbolic value for (250000, 31250, 1250000 bit/s, ...), and
// reading back the speed the port really runs at. Kept apart because Linux's <asm/termbits.h>
// (termios2) cannot be included together with <termios.h>.
#ifndef SELKO_ARBITRARY_LINE_SPEED_H
#define SELKO_ARBITRARY_LINE_SPEED_H

// Sets both line speeds of the terminal `fd` to `speed` bits per second, keeping every other
// setting. Returns 0, or -1 with errno set.
int selkoSetArbitraryLineSpeed(int fd, unsigned speed) noexcept;

// The output and input speeds, in bits per second, that the driver of `fd` reports (after its
// own rounding to what the hardware can do). Returns 0, or -1 with errno set.
int selkoReadLineSpeed(int fd, unsigned* output, unsigned* input) noexcept;

#endif
