#include "Devices.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace selko::test {

bool readLineSpeed(int fd, LineSpeed& speed) {
    struct termios2 settings {};
    if (::ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    speed.outputSpeed = settings.c_ospeed;
    speed.inputSpeed = settings.c_ispeed;
    return true;
}

} // namespace selko::test
