#include "DriverHook.h"

#include <asm/termbits.h>
#include <dlfcn.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cstdarg>

namespace {

std::atomic<unsigned> reportedRate{0};
std::atomic<int> outputQueueOf{-1};

int realIoctl(int fd, unsigned long request, void* argument) {
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}

} // namespace

namespace selko::test {

void reportLineSpeed(unsigned rate) { reportedRate.store(rate); }
void reportOutputQueueOf(int masterFd) { outputQueueOf.store(masterFd); }

} // namespace selko::test

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const int master = outputQueueOf.load();
    if (request == TIOCOUTQ && master >= 0)
        return realIoctl(master, FIONREAD, argument);
    const int result = realIoctl(fd, request, argument);
    const unsigned rate = reportedRate.load();
    if (request == TCGETS2 && result == 0 && rate != 0) {
        static_cast<termios2*>(argument)->c_ospeed = rate;
        static_cast<termios2*>(argument)->c_ispeed = rate;
    }
    return result;
}
