// Plain models of the stateful algorithms, written as directly as possible (whole-string searches
// from the front, front erasures), so that the library's optimised versions (offsets, resumed
// searches, buffer swaps) can be compared with them call by call. Used by the seeded property
// test (tests/models_test.cpp) and by the fuzz targets (fuzz/).
#ifndef SELKO_REFERENCE_MODELS_H
#define SELKO_REFERENCE_MODELS_H

#include <deque>
#include <string>
#include <vector>

namespace selko::model {

// Releases one terminator-ended message per call.
class Aggregator {
public:
    Aggregator(std::string terminator, bool removeTerminator) : _terminator(std::move(terminator)), _remove(removeTerminator) {}
    std::string modify(const std::string& block) {
        _buffer += block;
        const std::size_t p = _buffer.find(_terminator);
        if (p == std::string::npos)
            return "";
        std::string message = _buffer.substr(0, _remove ? p : p + _terminator.size());
        _buffer.erase(0, p + _terminator.size());
        return message;
    }

private:
    const std::string _terminator;
    const bool _remove;
    std::string _buffer;
};

// Finds a pattern in the stream, optionally deleting it. Passes repeat while they append; each
// handles the leftmost occurrence, or releases all but the longest tail that may begin one.
// `actions` receives, per occurrence, how many bytes the call's output held when the action ran.
class EventGenerator {
public:
    EventGenerator(std::string pattern, bool removeData) : _pattern(std::move(pattern)), _remove(removeData) {}
    std::string modify(const std::string& block, std::vector<std::size_t>& actions) {
        _buffer += block;
        std::string out;
        for (std::size_t before = out.size(); pass(out, actions), out.size() != before; before = out.size()) {
        }
        return out;
    }

private:
    void pass(std::string& out, std::vector<std::size_t>& actions) {
        const std::size_t n = _pattern.size();
        const std::size_t p = _buffer.find(_pattern);
        if (p != std::string::npos) {
            out += _buffer.substr(0, _remove ? p : p + n);
            _buffer.erase(0, p + n);
            actions.push_back(out.size());
            return;
        }
        std::size_t keep = 0;
        for (std::size_t k = std::min(n - 1, _buffer.size()); k > 0 && keep == 0; --k)
            keep = _buffer.compare(_buffer.size() - k, k, _pattern, 0, k) == 0 ? k : 0;
        out += _buffer.substr(0, _buffer.size() - keep);
        _buffer.erase(0, _buffer.size() - keep);
    }

    const std::string _pattern;
    const bool _remove;
    std::string _buffer;
};

// Written messages become pending echoes; a received message equal to the oldest pending echo is
// dropped. While an echo is pending an incomplete received tail is held back.
class EchoRemover {
public:
    explicit EchoRemover(std::string delimiter) : _delimiter(std::move(delimiter)) {}
    void written(const std::string& data) { split(_writeBuffer += data, _pending); }
    std::string received(const std::string& data) {
        std::deque<std::string> messages;
        split(_readBuffer += data, messages);
        std::string result;
        for (; !_pending.empty() && !messages.empty(); messages.pop_front()) {
            if (messages.front() == _pending.front())
                _pending.pop_front();
            else
                result += messages.front();
        }
        if (_pending.empty()) {
            for (const std::string& message : messages)
                result += message;
            result += _readBuffer;
            _readBuffer.clear();
        }
        return result;
    }

private:
    void split(std::string& buffer, std::deque<std::string>& queue) const {
        for (std::size_t at; (at = buffer.find(_delimiter)) != std::string::npos;) {
            queue.push_back(buffer.substr(0, at + _delimiter.size()));
            buffer.erase(0, at + _delimiter.size());
        }
    }

    const std::string _delimiter;
    std::string _readBuffer, _writeBuffer;
    std::deque<std::string> _pending;
};

} // namespace selko::model

#endif
