// An in-memory channel for decorator tests: reads hand out scripted results in order, writes
// and read timeouts are recorded. Thread-safe, so a background reader may read it while the test
// writes, opens or closes.
#ifndef SELKO_TEST_SCRIPTED_CHANNEL_H
#define SELKO_TEST_SCRIPTED_CHANNEL_H

#include <SelkoCommunication.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace selko::test {

class ScriptedChannel : public SLKDataChannel {
public:
    // One scripted read result: bytes, or a failure carrying `error` (which may be null).
    struct Result {
        SLKData bytes;
        CommErrorRef error;
    };

    explicit ScriptedChannel(bool opened = true) : _opened(opened) {}

    // Queues read results. With nothing queued a read returns empty bytes, after waiting up to
    // its timeout (capped at 50 ms so that FOREVER reads by a background loop stay responsive).
    void pushRead(const std::string& bytes) { push({SLKDataWithString(bytes.c_str()), nullptr}); }
    void pushReadBytes(const SLKBytes& bytes) { push({std::make_shared<const SLKBytes>(bytes), nullptr}); }
    void pushFailure(CommErrorRef error) { push({nullptr, std::move(error)}); }
    // Makes every later write fail with `error` (null: writes succeed again).
    void failWrites(CommErrorRef error) {
        std::lock_guard<std::mutex> guard(_lock);
        _writeFailure = std::move(error);
        _writesFail = _writeFailure != nullptr;
    }
    // Opens or closes the channel behind its users' backs (for example from another thread).
    void setOpened(bool opened) {
        std::lock_guard<std::mutex> guard(_lock);
        _opened = opened;
        _changed.notify_all();
    }

    std::vector<std::string> writes() const {
        std::lock_guard<std::mutex> guard(_lock);
        return _writes;
    }
    std::vector<double> readTimeouts() const {
        std::lock_guard<std::mutex> guard(_lock);
        return _readTimeouts;
    }
    int openCalls() const {
        std::lock_guard<std::mutex> guard(_lock);
        return _openCalls;
    }
    int closeCalls() const {
        std::lock_guard<std::mutex> guard(_lock);
        return _closeCalls;
    }

    bool openWithTimeout(double, CommErrorRef* error) override {
        std::lock_guard<std::mutex> guard(_lock);
        ++_openCalls;
        if (_opened) {
            if (error)
                *error = std::make_shared<const CommError>("test", 1, CommError::InfoMap{});
            return false;
        }
        _opened = true;
        return true;
    }
    bool close(CommErrorRef* error) override {
        std::lock_guard<std::mutex> guard(_lock);
        ++_closeCalls;
        if (!_opened) {
            if (error)
                *error = std::make_shared<const CommError>("test", 2, CommError::InfoMap{});
            return false;
        }
        _opened = false;
        _changed.notify_all();
        return true;
    }
    bool isOpened() override {
        std::lock_guard<std::mutex> guard(_lock);
        return _opened;
    }
    SLKData readWithTimeout(double timeout, CommErrorRef* error) override {
        std::unique_lock<std::mutex> guard(_lock);
        _readTimeouts.push_back(timeout);
        if (_script.empty() && _opened && timeout != 0.0) {
            const double wait = (timeout < 0 || timeout > 0.05) ? 0.05 : timeout;
            _changed.wait_for(guard, std::chrono::duration<double>(wait),
                              [this] { return !_script.empty() || !_opened; });
        }
        if (_script.empty()) {
            if (!_opened) {
                if (error)
                    *error = std::make_shared<const CommError>("test", 2, CommError::InfoMap{});
                return nullptr;
            }
            return std::make_shared<const SLKBytes>();
        }
        Result next = _script.front();
        _script.pop_front();
        if (!next.bytes && error)
            *error = next.error;
        return next.bytes;
    }
    bool write(const SLKData& data, CommErrorRef* error) override {
        std::lock_guard<std::mutex> guard(_lock);
        if (_writesFail) {
            if (error)
                *error = _writeFailure;
            return false;
        }
        _writes.emplace_back(data->begin(), data->end());
        return true;
    }

private:
    void push(Result result) {
        std::lock_guard<std::mutex> guard(_lock);
        _script.push_back(std::move(result));
        _changed.notify_all();
    }

    mutable std::mutex _lock;
    std::condition_variable _changed;
    bool _opened;
    std::deque<Result> _script;
    std::vector<std::string> _writes;
    std::vector<double> _readTimeouts;
    CommErrorRef _writeFailure;
    bool _writesFail = false;
    int _openCalls = 0;
    int _closeCalls = 0;
};

} // namespace selko::test

#endif
