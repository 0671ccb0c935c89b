// A simulated serial device for tests: a pseudo-terminal whose slave path the library opens as
// its port while the test plays the device on the master side.
#ifndef SELKO_TEST_VIRTUAL_DEVICE_H
#define SELKO_TEST_VIRTUAL_DEVICE_H

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace selko::test {

class VirtualDevice {
public:
    // Answers one received line (terminator removed); an empty answer sends nothing.
    using Answer = std::function<std::string(const std::string& line)>;

    // Opens a fresh pseudo-terminal. The device keeps one raw slave descriptor of its own open
    // for its whole life, so the line does not hang up while the host has the port closed
    // (which also means a TIOCEXCL flag set by the host outlives the host's own close).
    VirtualDevice();
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    const std::string& path() const { return _path; }
    std::string url() const { return "uart://" + _path; }
    int masterFd() const { return _master; }
    // The device's own slave descriptor: for reading the port's settings back (tcgetattr,
    // TIOCGEXCL, TCGETS2).
    int slaveFd() const { return _slave; }

    // Writes every byte to the host.
    void send(const std::string& bytes);
    // Reads what the host wrote until `count` bytes arrived or `timeout` passed.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout);
    // Reads what the host writes within `window`.
    std::string receiveFor(std::chrono::milliseconds window);

    // Starts a thread that plays an instrument: with `echo`, every received byte is sent back at
    // once; every line ending in `terminator` is handed to `answer` and its reply is sent.
    void startResponder(bool echo, Answer answer = nullptr, char terminator = '\n');
    void stopResponder();
    // Bytes the responder received so far.
    std::string received() const;

    // The far end goes away: the master (and the device's slave descriptor) close, so host reads
    // of the port return at once with no bytes.
    void hangUp();

private:
    void respond(bool echo, Answer answer, char terminator);

    int _master = -1;
    int _slave = -1;
    int _stopEvent = -1;
    std::string _path;
    std::thread _responder;
    mutable std::mutex _receivedLock;
    std::string _received;
};

// Descriptors open in this process right now (entries of /proc/self/fd).
int openDescriptorCount();
// Threads of this process right now (entries of /proc/self/task).
int threadCount();
// Polls `condition` every millisecond until it holds or `limit` passes; returns its last value.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

} // namespace selko::test

#endif
