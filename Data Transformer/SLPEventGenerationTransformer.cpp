// Watches a byte stream for a pattern, calls the action once per occurrence and, when asked,
// deletes the occurrences.
//
// A call runs matching passes until a pass appends nothing to the output. Each pass handles the
// leftmost occurrence in the pending bytes _buffer[_start..): the bytes before it (and the
// occurrence itself unless it is deleted) go to the output, then the action runs. A deleted
// occurrence standing right at _start appends nothing, so the call ends there and the bytes behind
// it wait for the next call. Without an occurrence the pass releases everything except the
// longest tail that could still begin an occurrence.
//
// Passes move _start instead of erasing from the front, searches resume where the previous
// occurrence ended, and the consumed prefix is erased only when it outweighs the pending bytes,
// so a call costs time linear in the bytes it sees.
#include "PatternSearch.h"

#include <SelkoCommunication.h>

namespace {

// Knuth-Morris-Pratt border table: borders[i] is the length of the longest proper prefix of
// pattern[0..i] that is also a suffix of it.
std::vector<std::size_t> bordersOf(const SLKBytes& pattern) {
    std::vector<std::size_t> borders(pattern.size(), 0);
    std::size_t k = 0;
    for (std::size_t i = 1; i < pattern.size(); ++i) {
        while (k > 0 && pattern[i] != pattern[k])
            k = borders[k - 1];
        if (pattern[i] == pattern[k])
            ++k;
        borders[i] = k;
    }
    return borders;
}

} // namespace

SLPEventGenerationTransformer::SLPEventGenerationTransformer(const SLKBytes& pattern, Action action, bool removeData)
    : _pattern(pattern), _removeData(removeData), _action(std::move(action)), _borders(bordersOf(_pattern)) {}

void SLPEventGenerationTransformer::modifyData(SLKBytes& data) {
    if (_start == _buffer.size()) {
        // Nothing is pending: take the caller's block over instead of copying it.
        _buffer.clear();
        _buffer.swap(data);
        _start = 0;
    } else {
        _buffer.insert(_buffer.end(), data.begin(), data.end());
    }
    data.clear();

    while (__modifyData(data)) {
    }

    const std::size_t pending = _buffer.size() - _start;
    if (pending == 0) {
        _buffer.clear();
        _start = 0;
    } else if (_start >= pending) {
        // Moving the pending bytes costs no more than the bytes already consumed: linear overall.
        _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(_start));
        _start = 0;
    }
}

bool SLPEventGenerationTransformer::__modifyData(SLKBytes& data) {
    const std::size_t n = _pattern.size();
    const std::uint8_t* base = _buffer.data();
    const std::size_t end = _buffer.size();
    if (n == 0) {
        // Only a directly built transformer can have an empty pattern: it occurs at the very
        // start, consumes nothing and appends nothing, so the call ends after one action.
        if (_action)
            _action();
        return false;
    }
    if (_start == end)
        return false;

    const std::uint8_t* found = selko::detail::findPattern(base + _start, end - _start, _pattern.data(), n);
    if (found != nullptr) {
        const std::size_t p = static_cast<std::size_t>(found - base);
        const std::size_t keptEnd = _removeData ? p : p + n;
        const bool appended = keptEnd > _start;
        data.insert(data.end(), base + _start, base + keptEnd);
        _start = p + n;
        // The action may look at data: it already holds everything up to the occurrence.
        if (_action)
            _action();
        return appended;
    }

    // No occurrence: release all but the tail that may still begin one. Whatever this pass
    // leaves pending holds no occurrence and is all held back, so a further pass would append
    // nothing; the call can end here.
    const std::size_t heldBack = n == 1 ? 0 : heldBackLength();
    data.insert(data.end(), base + _start, base + (end - heldBack));
    _start = end - heldBack;
    return false;
}

std::size_t SLPEventGenerationTransformer::heldBackLength() const noexcept {
    // Run the matcher over the last n - 1 pending bytes (no occurrence lies there, so it never
    // completes the pattern): its final state is the longest tail that is a prefix of the pattern.
    const std::size_t n = _pattern.size();
    const std::size_t pending = _buffer.size() - _start;
    const std::size_t window = pending < n - 1 ? pending : n - 1;
    std::size_t matched = 0;
    for (std::size_t i = _buffer.size() - window; i < _buffer.size(); ++i) {
        const std::uint8_t byte = _buffer[i];
        while (matched > 0 && _pattern[matched] != byte)
            matched = _borders[matched - 1];
        if (_pattern[matched] == byte)
            ++matched;
    }
    return matched;
}
