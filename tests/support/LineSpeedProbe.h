// Reads a terminal's line speeds back through termios2, which holds them as numbers for named and
// arbitrary speeds alike. In its own source file: <asm/termbits.h> clashes with <termios.h>.
#ifndef SELKO_TEST_LINE_SPEED_PROBE_H
#define SELKO_TEST_LINE_SPEED_PROBE_H

namespace selko::test {

struct LineSpeed {
    unsigned outputSpeed = 0; // bits per second
    unsigned inputSpeed = 0;
};

// False (errno set) when the request fails.
bool readLineSpeed(int fd, LineSpeed& speed);

} // namespace selko::test

#endif
