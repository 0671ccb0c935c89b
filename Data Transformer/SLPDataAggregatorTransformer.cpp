// Gathers a byte stream and releases one terminator-ended message per call.
//
// The unreleased bytes are _buffer[_start..). Releasing a message only moves _start, and the
// released prefix is erased once it outweighs the live bytes, so that a large block holding many
// messages, drained one message per call, costs time linear in its size. The terminator search
// resumes where the previous one gave up (_scanned) instead of starting again from _start.
#include "PatternSearch.h"

#include <SelkoCommunication.h>

#include <algorithm>

SLPDataAggregatorTransformer::SLPDataAggregatorTransformer(const SLKBytes& terminator, bool removeTerminator)
    : _removeTerminator(removeTerminator), _data2Find(terminator) {}

SLKBytes SLPDataAggregatorTransformer::buffer() const {
    return SLKBytes(_buffer.begin() + static_cast<std::ptrdiff_t>(_start), _buffer.end());
}

void SLPDataAggregatorTransformer::modifyData(SLKBytes& data) noexcept {
    if (_start == _buffer.size()) {
        // Nothing is pending: take the caller's block over instead of copying it.
        _buffer.clear();
        _buffer.swap(data);
        _start = 0;
        _scanned = 0;
    } else {
        _buffer.insert(_buffer.end(), data.begin(), data.end());
    }
    data.clear();

    const std::size_t t = _data2Find.size();
    if (t == 0 || _buffer.size() - _scanned < t) {
        // An empty terminator never matches; too few unsearched bytes cannot hold one either.
        return;
    }
    const std::uint8_t* base = _buffer.data();
    const std::uint8_t* found =
        selko::detail::findPattern(base + _scanned, _buffer.size() - _scanned, _data2Find.data(), t);
    if (found == nullptr) {
        // A terminator can still start in the last t - 1 bytes once more bytes arrive.
        _scanned = std::max(_start, _buffer.size() - (t - 1));
        return;
    }

    const std::size_t p = static_cast<std::size_t>(found - base);
    const std::size_t messageEnd = _removeTerminator ? p : p + t;
    data.assign(base + _start, base + messageEnd);
    _start = p + t;
    _scanned = _start;

    const std::size_t live = _buffer.size() - _start;
    if (live == 0) {
        _buffer.clear();
        _start = 0;
        _scanned = 0;
    } else if (_start >= live) {
        // Moving the live bytes costs no more than the bytes already released: linear overall.
        _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(_start));
        _scanned -= _start;
        _start = 0;
    }
}
