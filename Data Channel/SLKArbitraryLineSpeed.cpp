// Linux: termios2 with BOTHER through TCGETS2/TCSETS2.
// Another POSIX platform adds its request under its own #if here.
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
#else
int selkoSetArbitraryLineSpeed(int, unsigned) noexcept {
    errno = ENOTSUP;
    return -1;
}
#endif
