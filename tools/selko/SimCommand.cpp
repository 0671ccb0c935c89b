// selko sim [--echo] [--link PATH]: the simulated laboratory meter of the examples on a
// pseudo-terminal, served until SIGINT or SIGTERM, optionally under a name of its own.
#include "Arguments.h"
#include "Commands.h"
#include "PortConnection.h"

#include "SimulatedInstrument.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <initializer_list>

namespace selko::tool {

namespace {

const char* const kUsage = "usage: selko sim [--echo] [--link PATH]\n"
                           "  Starts a simulated instrument on a pseudo-terminal and prints its uart:// URL on the\n"
                           "  first line; serves until interrupted (Ctrl-C or SIGTERM). It answers PING with OK,\n"
                           "  *IDN? with its identity (SIM-100), MEAS? with a reading, anything else with ERR.\n"
                           "  --echo       send every received byte back first, as many instruments do\n"
                           "  --link PATH  also name the instrument PATH, a symbolic link to its pseudo-terminal\n"
                           "               (as udev names an adapter under /dev/serial/by-id), removed when it\n"
                           "               stops; the first line then shows PATH's URL. An instrument started\n"
                           "               again under the same PATH is the same device come back.\n";

const timespec kNoWait{0, 0};

// PATH names the pseudo-terminal `target` for as long as this lives. An existing link there (left
// by an instrument that was killed) is replaced in one step, so that nobody opening PATH finds
// it missing; anything else there is refused.
class StableName {
public:
    StableName(std::string path, const std::string& target) : _path(std::move(path)), _target(target) {
        if (_path.empty())
            return;
        struct stat there {};
        if (::lstat(_path.c_str(), &there) == 0 && !S_ISLNK(there.st_mode))
            throw CommandFailure("--link: " + _path + " exists and is no symbolic link");
        const std::string fresh = _path + ".selko-" + std::to_string(::getpid());
        if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), _path.c_str()) != 0) {
            const int failure = errno;
            ::unlink(fresh.c_str());
            throw CommandFailure("--link: cannot name " + _path + ": " + std::strerror(failure));
        }
    }
    ~StableName() {
        // Left alone when another instrument has taken the name over meanwhile.
        char target[PATH_MAX];
        const ssize_t length = _path.empty() ? -1 : ::readlink(_path.c_str(), target, sizeof target);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == _target)
            ::unlink(_path.c_str());
    }
    StableName(const StableName&) = delete;
    StableName& operator=(const StableName&) = delete;

private:
    const std::string _path, _target;
};

} // namespace

int simCommand(const Words& words) {
    if (printedHelp(words, kUsage))
        return kSuccess;
    const Arguments arguments(words, {{"echo", false}, {"link", true}}, 0, 0, "sim");
    if (arguments.has("link") && arguments.value("link", "").empty())
        throw UsageError("--link needs a path");
    // An absolute name, so that the URL shown reaches it from anywhere.
    const std::string link = arguments.has("link") ? std::filesystem::absolute(arguments.value("link", "")).string() : "";
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
    const StableName name(link, path);
    // The instrument keeps the terminal open, so the exclusive use asked for by a program that
    // ends without giving it back (killed, say) would lock out the next one that is not root. A
    // simulator serves the programs tried against it one after another: whenever one closes the
    // terminal, exclusive use is lifted (every tenth of a second when closes cannot be watched).
    const int terminal = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int closes = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const bool watching =
        closes >= 0 && ::inotify_add_watch(closes, path.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0;
    const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    std::printf("%s\n", link.empty() ? instrument.url().c_str() : portURL(link).c_str());
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
