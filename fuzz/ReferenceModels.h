// Plain, deliberately naive models of the stateful pieces (the event-generating transformer, the
// aggregating transformer and the echo-removal matching), written step by step from their
// intended algorithms with whole-buffer copies and front erasures, so that the library's
// optimised versions (offsets, resumed searches, buffer swaps) can be compared call by call.
#ifndef SELKO_FUZZ_REFERENCE_MODELS_H
#define SELKO_FUZZ_REFERENCE_MODELS_H

#include "FuzzSupport.h"

#include <deque>

namespace selko::fuzz {

// Pattern matcher with optional deletion; calls `action` once per occurrence.
class EventGeneratorModel {
public:
    EventGeneratorModel(SLKBytes pattern, bool removeData) : _pattern(std::move(pattern)), _remove(removeData) {}

    // `emittedBefore`: bytes the caller already received in earlier calls. Returns, for each
    // occurrence found in this call, how many output bytes existed when its action ran.
    std::vector<std::size_t> modify(SLKBytes& data, std::size_t emittedBefore) {
        _buffer.insert(_buffer.end(), data.begin(), data.end());
        data.clear();
        std::vector<std::size_t> actionPoints;
        for (;;) {
            const std::size_t before = data.size();
            pass(data, emittedBefore, actionPoints);
            if (data.size() == before)
                break;
        }
        return actionPoints;
    }

private:
    void pass(SLKBytes& data, std::size_t emittedBefore, std::vector<std::size_t>& actionPoints) {
        const std::size_t n = _pattern.size();
        for (std::size_t p = 0; p + n <= _buffer.size(); ++p) {
            if (!startsWith(_buffer, p, _pattern))
                continue;
            const std::size_t kept = _remove ? p : p + n;
            data.insert(data.end(), _buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(kept));
            _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(p + n));
            actionPoints.push_back(emittedBefore + data.size());
            return;
        }
        std::size_t keep = 0;
        if (n >= 2) {
            for (std::size_t k = std::min(n - 1, _buffer.size()); k >= 1; --k) {
                if (std::equal(_buffer.end() - static_cast<std::ptrdiff_t>(k), _buffer.end(), _pattern.begin())) {
                    keep = k;
                    break;
                }
            }
        }
        data.insert(data.end(), _buffer.begin(), _buffer.end() - static_cast<std::ptrdiff_t>(keep));
        _buffer.erase(_buffer.begin(), _buffer.end() - static_cast<std::ptrdiff_t>(keep));
    }

    const SLKBytes _pattern;
    const bool _remove;
    SLKBytes _buffer;
};

// Releases one terminator-ended message per call.
class AggregatorModel {
public:
    AggregatorModel(SLKBytes terminator, bool removeTerminator)
        : _terminator(std::move(terminator)), _remove(removeTerminator) {}

    void modify(SLKBytes& data) {
        _buffer.insert(_buffer.end(), data.begin(), data.end());
        data.clear();
        const std::size_t t = _terminator.size();
        for (std::size_t p = 0; p + t <= _buffer.size(); ++p) {
            if (!startsWith(_buffer, p, _terminator))
                continue;
            data.assign(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(_remove ? p : p + t));
            _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(p + t));
            return;
        }
    }
    const SLKBytes& buffer() const { return _buffer; }

private:
    const SLKBytes _terminator;
    const bool _remove;
    SLKBytes _buffer;
};

// The echo-removal bookkeeping: written messages become pending echoes, received messages equal
// to the oldest pending echo are dropped.
class EchoRemovalModel {
public:
    explicit EchoRemovalModel(SLKBytes delimiter) : _delimiter(std::move(delimiter)) {}

    void wrote(const SLKBytes& data) {
        _writeBuffer.insert(_writeBuffer.end(), data.begin(), data.end());
        split(_writeBuffer, _writeQueue);
    }

    SLKBytes received(const SLKBytes& data) {
        _readBuffer.insert(_readBuffer.end(), data.begin(), data.end());
        split(_readBuffer, _readQueue);
        SLKBytes result;
        while (!_writeQueue.empty() && !_readQueue.empty()) {
            if (_readQueue.front() == _writeQueue.front())
                _writeQueue.pop_front();
            else
                result.insert(result.end(), _readQueue.front().begin(), _readQueue.front().end());
            _readQueue.pop_front();
        }
        if (_writeQueue.empty()) {
            for (const SLKBytes& message : _readQueue)
                result.insert(result.end(), message.begin(), message.end());
            _readQueue.clear();
            result.insert(result.end(), _readBuffer.begin(), _readBuffer.end());
            _readBuffer.clear();
        }
        return result;
    }

private:
    void split(SLKBytes& buffer, std::deque<SLKBytes>& queue) const {
        for (;;) {
            std::size_t at = 0;
            while (at + _delimiter.size() <= buffer.size() && !startsWith(buffer, at, _delimiter))
                ++at;
            if (at + _delimiter.size() > buffer.size())
                return;
            const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(at + _delimiter.size());
            queue.emplace_back(buffer.begin(), end);
            buffer.erase(buffer.begin(), end);
        }
    }

    const SLKBytes _delimiter;
    SLKBytes _readBuffer;
    SLKBytes _writeBuffer;
    std::deque<SLKBytes> _readQueue;
    std::deque<SLKBytes> _writeQueue;
};

} // namespace selko::fuzz

#endif
