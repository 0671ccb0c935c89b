#include "Devices.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace selko::test {

namespace {

// True when /proc/net/tcp lists a socket listening (state 0A) on `port` of any local address.
bool listening(int port) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, ":%04X 00000000:0000 0A", port);
    std::stringstream table;
    table << std::ifstream("/proc/net/tcp").rdbuf();
    return table.str().find(wanted) != std::string::npos;
}

// One connection of the YAML configuration; ser2net reads '#' as a line break.
std::string connection(const std::string& name, const std::string& accepter, int port, const std::string& device) {
    return "connection: &" + name + "#  accepter: " + accepter + "tcp,127.0.0.1," + std::to_string(port) +
           "#  connector: serialdev," + device + ",115200n81,local#  options:#    kickolduser: true";
}

} // namespace

int freeLoopbackPort() {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

Ser2NetServer::Ser2NetServer(const std::string& rawDevice, const std::string& rfc2217Device)
    : _rawPort(freeLoopbackPort()) {
    do
        _rfc2217Port = freeLoopbackPort();
    while (_rfc2217Port == _rawPort);
    _raw = connection("raw", "", _rawPort, rawDevice);
    _rfc2217 = connection("rfc2217", "telnet(rfc2217),", _rfc2217Port, rfc2217Device);
    restart();
}

bool Ser2NetServer::restart() {
    kill();
    _pid = ::fork();
    if (_pid == 0) {
        // The server ends with the thread that started it, even when the process exits without
        // running destructors (a failed benchmark, a test program killed at its time limit).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Its notes (such as the absent mDNS service) would only clutter the test output.
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execlp("ser2net", "ser2net", "-n", "-u", "-Y", _raw.c_str(), "-Y", _rfc2217.c_str(), nullptr);
        ::_exit(127);
    }
    const auto exitedOrListening = [&] {
        if (_pid > 0 && ::waitpid(_pid, nullptr, WNOHANG) == _pid)
            _pid = -1;
        return _pid < 0 || (listening(_rawPort) && listening(_rfc2217Port));
    };
    return _started = eventually(exitedOrListening, std::chrono::seconds(5)) && _pid > 0;
}

void Ser2NetServer::kill() {
    if (_pid > 0) {
        ::kill(_pid, SIGKILL);
        ::waitpid(_pid, nullptr, 0);
        _pid = -1;
    }
}

} // namespace selko::test
