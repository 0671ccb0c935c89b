// Linux: termios2 with BOTHER through TCGETS2/TCSETS2.
// Another POSIX platform adds its requests under its own #if here.
#include "SLKArbitraryLineSpeed.h"

#include <cerrno>

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

int selkoSetArbitraryLineSpeed(int fd, unsigned speed) noexcept {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) == -1)
        return -1;
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = speed;
    settings.c_ospeed = speed;
    return ::ioctl(fd, TCSETS2, &settings);
}

int selkoReadLineSpeed(int fd, unsigned* output, unsigned* input) noexcept {
    // The kernel keeps c_ospeed and c_ispeed as numbers for named speeds too.
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) == -1)
        return -1;
    *output = settings.c_ospeed;
    *input = settings.c_ispeed;
    return 0;
}
#else
#include <termios.h>

int selkoSetArbitraryLineSpeed(int, unsigned) noexcept {
    errno = ENOTSUP;
    return -1;
}

// Where speed_t is the rate itself (the BSDs): the attributes tell it.
int selkoReadLineSpeed(int fd, unsigned* output, unsigned* input) noexcept {
    struct termios settings {};
    if (::tcgetattr(fd, &settings) == -1)
        return -1;
    *output = static_cast<unsigned>(::cfgetospeed(&settings));
    *input = static_cast<unsigned>(::cfgetispeed(&settings));
    return 0;
}
#endif
