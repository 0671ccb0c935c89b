// Finding a byte pattern inside a buffer, shared by the transformers that look for terminators
// and patterns in a stream.
#ifndef SELKO_PATTERN_SEARCH_H
#define SELKO_PATTERN_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace selko::detail {

// The leftmost occurrence of pattern[0..n) in text[0..length), or null; n >= 1.
//
// Protocol traffic rarely holds the pattern's first byte outside an occurrence (a CR, say), so
// jumping from one first byte to the next with memchr and checking the rest is fastest there.
// Input that is full of false starts would make that quadratic, so once the checks have cost
// more than the bytes they skipped the rest goes to memmem, which is linear in the worst case.
inline const std::uint8_t* findPattern(const std::uint8_t* text, std::size_t length, const std::uint8_t* pattern,
                                       std::size_t n) {
    if (n == 1)
        return static_cast<const std::uint8_t*>(std::memchr(text, pattern[0], length));
    if (length < n)
        return nullptr;
    const std::uint8_t* const lastStart = text + (length - n);
    const std::uint8_t* at = text;
    std::size_t checked = 0;
    while (at <= lastStart) {
        const auto* candidate =
            static_cast<const std::uint8_t*>(std::memchr(at, pattern[0], static_cast<std::size_t>(lastStart - at) + 1));
        if (candidate == nullptr)
            return nullptr;
        if (candidate[1] == pattern[1] && std::memcmp(candidate + 2, pattern + 2, n - 2) == 0)
            return candidate;
        at = candidate + 1;
        checked += n;
        if (checked > static_cast<std::size_t>(at - text) + 4 * n + 64) {
            const std::size_t rest = static_cast<std::size_t>(text + length - at);
            return static_cast<const std::uint8_t*>(memmem(at, rest, pattern, n));
        }
    }
    return nullptr;
}

} // namespace selko::detail

#endif
