#include "Ser2NetServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace selko::test {

namespace {

// True when /proc/net/tcp lists a listening socket on `port` (state 0A).
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0 && state == "0A")
            return true;
    }
    return false;
}

} // namespace

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

Ser2NetServer::Ser2NetServer(const std::string& rawDevice, const std::string& rfc2217Device) {
    _rawPort = freeLoopbackPort();
    do
        _rfc2217Port = freeLoopbackPort();
    while (_rfc2217Port == _rawPort);
    char pathTemplate[] = "/tmp/selko-ser2net-XXXXXX.yaml";
    const int fd = ::mkstemps(pathTemplate, 5);
    if (fd < 0)
        return;
    ::close(fd);
    _configPath = pathTemplate;
    std::ofstream config(_configPath);
    config << "connection: &raw\n"
           << "  accepter: tcp,127.0.0.1," << _rawPort << "\n"
           << "  connector: serialdev," << rawDevice << ",115200n81,local\n"
           << "  options:\n    kickolduser: true\n"
           << "connection: &rfc2217\n"
           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << _rfc2217Port << "\n"
           << "  connector: serialdev," << rfc2217Device << ",115200n81,local\n"
           << "  options:\n    kickolduser: true\n";
    config.close();

    _pid = ::fork();
    if (_pid == 0) {
        // The server ends with the thread that started it, even when the process exits without
        // running destructors (a failed benchmark, a test program killed at its time limit).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Its notes (such as the absent mDNS service) would only clutter the test output.
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execlp("ser2net", "ser2net", "-n", "-u", "-c", _configPath.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (_pid < 0)
        return;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < limit) {
        int status = 0;
        if (::waitpid(_pid, &status, WNOHANG) == _pid) {
            _pid = -1;
            return;
        }
        if (listening(_rawPort) && listening(_rfc2217Port)) {
            _started = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Read by now (or never to be): nothing is left in /tmp whatever happens to this process.
    ::unlink(_configPath.c_str());
    _configPath.clear();
}

void Ser2NetServer::kill() {
    if (_pid > 0) {
        ::kill(_pid, SIGKILL);
        int status = 0;
        ::waitpid(_pid, &status, 0);
        _pid = -1;
    }
}

Ser2NetServer::~Ser2NetServer() {
    kill();
    if (!_configPath.empty())
        ::unlink(_configPath.c_str());
}

} // namespace selko::test
