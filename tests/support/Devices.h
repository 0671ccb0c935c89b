// What tests, fuzz targets and benchmarks play the far end with besides the simulated instrument
// on a pseudo-terminal (simulator/SimulatedInstrument.h, included by those that use it): a real
// network serial server in front of such instruments, a scripted in-memory channel to put under
// decorators, and the bookkeeping of the process's threads and descriptors.
// No test framework here.
#ifndef SELKO_TEST_DEVICES_H
#define SELKO_TEST_DEVICES_H

#include <SelkoCommunication.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace selko::test {

// Descriptors open in this process right now (entries of /proc/self/fd).
int openDescriptorCount();
// Threads of this process right now (entries of /proc/self/task).
int threadCount();
// Polls `condition` every millisecond until it holds or `limit` passes; returns its last value.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// ---------------------------------------------------------------------------------------------
// A real network serial server for tests and benchmarks: ser2net on the loopback interface with
// one raw TCP accepter and one RFC 2217 (Telnet) accepter, each in front of a pseudo-terminal the
// caller plays the device on.

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
    // Starts it again (after a kill) on the same ports, waiting as the constructor does.
    bool restart();

private:
    pid_t _pid = -1;
    int _rawPort = 0, _rfc2217Port = 0;
    std::string _raw, _rfc2217;   // the connections' configuration
    bool _started = false;
};

// ---------------------------------------------------------------------------------------------
// An in-memory channel for decorator tests: reads hand out scripted results in order (with
// nothing queued, empty bytes after up to 50 ms of the read's timeout, so a background loop's
// FOREVER reads stay responsive); writes and read timeouts are recorded. Thread-safe.

class ScriptedChannel : public SLKDataChannel {
    mutable std::mutex _lock;
    template <typename F> auto locked(F f) const {
        std::lock_guard<std::mutex> guard(_lock);
        return f();
    }

public:
    explicit ScriptedChannel(bool opened = true) : _opened(opened) {}

    void pushRead(const std::string& bytes) {
        push(std::make_shared<const SLKBytes>(bytes.begin(), bytes.end()), nullptr);
    }
    // A read that fails with `error` (which may be null).
    void pushFailure(CommErrorRef error) { push(nullptr, std::move(error)); }
    // Every later write fails with `error`; null: writes succeed again.
    void failWrites(CommErrorRef error) { locked([&] { _writeFailure = std::move(error); }); }
    std::vector<std::string> writes() const { return locked([&] { return _writes; }); }
    std::vector<double> readTimeouts() const { return locked([&] { return _readTimeouts; }); }

    // Opening an open channel fails (domain "test", code 1), closing a closed one too (code 2).
    bool openWithTimeout(double, CommErrorRef* error) override { return change(true, 1, error); }
    bool close(CommErrorRef* error) override { return change(false, 2, error); }
    bool isOpened() override { return locked([&] { return _opened; }); }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        std::unique_lock<std::mutex> guard(_lock);
        _readTimeouts.push_back(timeout);
        if (timeout != 0.0)
            _changed.wait_for(guard, std::chrono::duration<double>(timeout < 0 || timeout > 0.05 ? 0.05 : timeout),
                              [this] { return !_script.empty() || !_opened; });
        if (_script.empty())
            return _opened ? std::make_shared<const SLKBytes>() : fail(2, error);
        auto [bytes, failure] = _script.front();
        _script.pop_front();
        if (!bytes && error)
            *error = failure;
        return bytes;
    }
    bool write(const SLKData& data, CommErrorRef* error) override {
        std::lock_guard<std::mutex> guard(_lock);
        if (_writeFailure && error)
            *error = _writeFailure;
        if (!_writeFailure)
            _writes.emplace_back(data->begin(), data->end());
        return !_writeFailure;
    }

private:
    void push(SLKData bytes, CommErrorRef error) {
        locked([&] { _script.emplace_back(std::move(bytes), std::move(error)); });
        _changed.notify_all();
    }
    SLKData fail(int code, CommErrorRef* error) const {
        if (error)
            *error = std::make_shared<const CommError>("test", code, CommError::InfoMap{});
        return nullptr;
    }
    bool change(bool opened, int code, CommErrorRef* error) {
        std::lock_guard<std::mutex> guard(_lock);
        if (_opened == opened)
            return fail(code, error) != nullptr;
        _opened = opened;
        _changed.notify_all();
        return true;
    }

    std::condition_variable _changed;
    bool _opened;
    std::deque<std::pair<SLKData, CommErrorRef>> _script;
    std::vector<std::string> _writes;
    std::vector<double> _readTimeouts;
    CommErrorRef _writeFailure;
};

} // namespace selko::test

#endif
