#include "BulkPattern.h"

#include <cstring>

namespace selko::bench {

std::uint64_t patternWord(std::uint64_t index) {
    std::uint64_t z = index * 0x9E3779B97F4A7C15ull + 0x5E1C0C0FFEEull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void fillPattern(std::uint8_t* out, std::uint64_t offset, std::size_t length) {
    std::uint64_t index = offset / 8;
    std::size_t done = 0;
    for (; done + 8 <= length; done += 8) {
        const std::uint64_t word = patternWord(index++);
        std::memcpy(out + done, &word, 8);
    }
    if (done < length) {
        const std::uint64_t word = patternWord(index);
        std::memcpy(out + done, &word, length - done);
    }
}

bool PatternVerifier::byteMatches(std::uint8_t byte) const {
    std::uint8_t expected[8];
    const std::uint64_t word = patternWord(_offset / 8);
    std::memcpy(expected, &word, 8);
    return expected[_offset % 8] == byte;
}

bool PatternVerifier::feed(const std::uint8_t* bytes, std::size_t length) {
    if (length > 0)
        ++_blocks;
    // Single bytes up to a word boundary of the stream, whole words, then the tail.
    while (length > 0 && _offset % 8 != 0) {
        if (!byteMatches(*bytes)) {
            _mismatch = _offset;
            return false;
        }
        ++bytes;
        ++_offset;
        --length;
    }
    while (length >= 8) {
        std::uint64_t received;
        std::memcpy(&received, bytes, 8);
        if (received != patternWord(_offset / 8)) {
            for (int i = 0; i < 8 && byteMatches(bytes[i]); ++i)
                ++_offset;
            _mismatch = _offset;
            return false;
        }
        bytes += 8;
        _offset += 8;
        length -= 8;
    }
    while (length > 0) {
        if (!byteMatches(*bytes)) {
            _mismatch = _offset;
            return false;
        }
        ++bytes;
        ++_offset;
        --length;
    }
    return true;
}

} // namespace selko::bench
