// selko sim [--echo]: the simulated laboratory meter of the examples on a pseudo-terminal, served
// until SIGINT or SIGTERM.
#include "Arguments.h"
#include "Commands.h"

#include "SimulatedInstrument.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <initializer_list>

namespace selko::tool {

namespace {

const char* const kUsage = "usage: selko sim [--echo]\n"
                           "  Starts a simulated instrument on a pseudo-terminal and prints its uart:// URL on the\n"
                           "  first line; serves until interrupted (Ctrl-C or SIGTERM). It answers PING with OK,\n"
                           "  *IDN? with its identity (SIM-100), MEAS? with a reading, anything else with ERR.\n"
                           "  --echo  send every received byte back first, as many instruments do\n";

const timespec kNoWait{0, 0};

} // namespace

int simCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    const Arguments arguments(words, {{"echo", false}}, 0, 0, "sim");
    // Blocked before the instrument starts its thread, so that only the wait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimulatedInstrument instrument(SimulatedInstrument::laboratoryMeter, arguments.has("echo"));
    if (!instrument.ready())
        throw CommandFailure(instrument.error());
    const std::string path = instrument.url().substr(std::string("uart://").size());
    // The instrument keeps the terminal open, so the exclusive use asked for by a program that
    // ends without giving it back (killed, say) would lock out the next one that is not root. A
    // simulator serves the programs tried against it one after another: whenever one closes the
    // terminal, exclusive use is lifted (every tenth of a second when closes cannot be watched).
    const int terminal = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int closes = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const bool watching =
        closes >= 0 && ::inotify_add_watch(closes, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0;
    const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    std::printf("%s\n", instrument.url().c_str());
    std::fflush(stdout);
    for (;;) {
        pollfd waiting[2] = {{signals, POLLIN, 0}, {watching ? closes : -1, POLLIN, 0}};
        const int ready = ::poll(waiting, 2, watching && signals >= 0 ? -1 : 100);
        if (ready < 0 && errno != EINTR)
            break;
        if (signals < 0 ? sigtimedwait(&stopSignals, nullptr, &kNoWait) > 0 : waiting[0].revents != 0)
            break;
        char events[4096];
        while (watching && ::read(closes, events, sizeof events) > 0) {
        }
        if (terminal >= 0)
            ::ioctl(terminal, TIOCNXCL);
    }
    for (const int fd : {terminal, closes, signals}) {
        if (fd >= 0)
            ::close(fd);
    }
    return kSuccess;
}

} // namespace selko::tool
