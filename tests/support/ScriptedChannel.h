// An in-memory channel for decorator tests: reads hand out scripted results in order (with
// nothing queued, empty bytes after up to 50 ms of the read's timeout, so a background loop's
// FOREVER reads stay responsive); writes and read timeouts are recorded. Thread-safe.
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
    mutable std::mutex _lock;
    template <typename F> auto locked(F f) const {
        std::lock_guard<std::mutex> guard(_lock);
        return f();
    }

public:
    explicit ScriptedChannel(bool opened = true) : _opened(opened) {}

    void pushRead(const std::string& bytes) { pushReadBytes(SLKBytes(bytes.begin(), bytes.end())); }
    void pushReadBytes(const SLKBytes& bytes) { push(std::make_shared<const SLKBytes>(bytes), nullptr); }
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
