#include "RawTerminal.h"

#include <initializer_list>
#include <signal.h>
#include <unistd.h>

namespace selko::tool {

namespace {

volatile sig_atomic_t caughtSignal = 0;

void noteSignal(int number) { caughtSignal = number; }

} // namespace

RawTerminal::RawTerminal(int fd) : _fd(fd) {
    if (!::isatty(fd) || ::tcgetattr(fd, &_original) != 0)
        return;
    termios raw = _original;
    ::cfmakeraw(&raw);
    raw.c_oflag |= OPOST | ONLCR;
    _saved = ::tcsetattr(fd, TCSAFLUSH, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    if (_saved)
        ::tcsetattr(_fd, TCSAFLUSH, &_original);
}

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(number, &action, nullptr);
}

int stopSignal() { return caughtSignal; }

} // namespace selko::tool
