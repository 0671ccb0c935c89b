// A real network serial server for tests and benchmarks: ser2net on the loopback interface with
// one raw TCP accepter and one RFC 2217 (Telnet) accepter, each in front of a pseudo-terminal the
// caller plays the device on.
#ifndef SELKO_TEST_SER2NET_SERVER_H
#define SELKO_TEST_SER2NET_SERVER_H

#include <string>
#include <sys/types.h>

namespace selko::test {

// A TCP port on 127.0.0.1 that nothing listens on right now (bound to port 0, then released).
int freeLoopbackPort();

class Ser2NetServer {
public:
    // Starts ser2net (foreground, no UUCP locks, its YAML configuration given on the command line)
    // and waits up to 5 s until both ports listen. The arguments are the slave paths of the ptys.
    Ser2NetServer(const std::string& rawDevice, const std::string& rfc2217Device);
    ~Ser2NetServer() { kill(); }
    Ser2NetServer(const Ser2NetServer&) = delete;
    Ser2NetServer& operator=(const Ser2NetServer&) = delete;

    // False when ser2net is not installed or did not start listening.
    bool started() const { return _started; }
    std::string tcpURL() const { return "tcp://127.0.0.1:" + std::to_string(_rawPort); }
    std::string rfc2217URL() const { return "rfc2217://127.0.0.1:" + std::to_string(_rfc2217Port); }
    int rawPort() const { return _rawPort; }
    // Kills the server (SIGKILL) and waits for it; the connections it held drop at once.
    void kill();

private:
    pid_t _pid = -1;
    int _rawPort = 0, _rfc2217Port = 0;
    bool _started = false;
};

} // namespace selko::test

#endif
