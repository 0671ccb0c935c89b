// Reads a terminal's line speed back through termios2, which tells arbitrary speeds (BOTHER) apart
// from named ones. In its own source file: <asm/termbits.h> clashes with <termios.h>.
#ifndef SELKO_TEST_LINE_SPEED_PROBE_H
#define SELKO_TEST_LINE_SPEED_PROBE_H

namespace selko::test {

struct LineSpeed {
    bool arbitrary = false;       // the output speed is BOTHER: c_ospeed holds the rate itself
    unsigned outputSpeed = 0;     // bits per second (named or arbitrary)
    unsigned inputSpeed = 0;
};

// False (errno set) when the request fails.
bool readLineSpeed(int fd, LineSpeed& speed);

} // namespace selko::test

#endif
