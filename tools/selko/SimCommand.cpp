// selko sim [--echo]: the simulated laboratory meter of the examples on a pseudo-terminal, served
// until SIGINT or SIGTERM.
#include "Arguments.h"
#include "Commands.h"

#include "SimulatedInstrument.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace selko::tool {

namespace {

const char* const kUsage = "usage: selko sim [--echo]\n"
                           "  Starts a simulated instrument on a pseudo-terminal and prints its uart:// URL on the\n"
                           "  first line; serves until interrupted (Ctrl-C or SIGTERM). It answers PING with OK,\n"
                           "  *IDN? with its identity (SIM-100), MEAS? with a reading, anything else with ERR.\n"
                           "  --echo  send every received byte back first, as many instruments do\n";

} // namespace

int simCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    const Arguments arguments(words, {{"echo", false}}, 0, 0, "sim");
    // Blocked before the instrument starts its thread, so that only sigtimedwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimulatedInstrument instrument(SimulatedInstrument::laboratoryMeter, arguments.has("echo"));
    if (!instrument.ready())
        throw CommandFailure(instrument.error());
    const std::string path = instrument.url().substr(std::string("uart://").size());
    // The instrument keeps the terminal open, so the exclusive use the last program asked for
    // would outlive it and lock out the next program that is not root. A simulator is shared by
    // the programs tried against it one after another: lift exclusive use every tenth of a second.
    const int terminal = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::printf("%s\n", instrument.url().c_str());
    std::fflush(stdout);
    const timespec tenth{0, 100000000};
    while (sigtimedwait(&stopSignals, nullptr, &tenth) < 0) {
        if (terminal >= 0)
            ::ioctl(terminal, TIOCNXCL);
    }
    if (terminal >= 0)
        ::close(terminal);
    return kSuccess;
}

} // namespace selko::tool
