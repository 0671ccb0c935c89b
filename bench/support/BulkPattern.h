// The known byte stream of the bulk benchmark: a counter-based pseudo-random sequence, so any
// stretch of it can be produced by the device and checked by the host independently, at any
// offset, without storing it.
#ifndef SELKO_BENCH_BULK_PATTERN_H
#define SELKO_BENCH_BULK_PATTERN_H

#include <cstddef>
#include <cstdint>

namespace selko::bench {

// The 8 pattern bytes that start at offset 8 * index (a mixing function of the index).
std::uint64_t patternWord(std::uint64_t index);

// Writes the pattern bytes [offset, offset + length) to `out`; `offset` must be a multiple of 8.
void fillPattern(std::uint8_t* out, std::uint64_t offset, std::size_t length);

// Checks a received stream against the pattern, byte for byte, in arrival order.
class PatternVerifier {
public:
    explicit PatternVerifier(std::uint64_t start) : _offset(start) {}

    // Checks the next `length` bytes; false at the first byte that differs (mismatchOffset()
    // then tells where).
    bool feed(const std::uint8_t* bytes, std::size_t length);

    std::uint64_t offset() const { return _offset; }
    std::uint64_t mismatchOffset() const { return _mismatch; }
    // Number of non-empty blocks fed so far.
    std::uint64_t blocks() const { return _blocks; }

private:
    bool byteMatches(std::uint8_t byte) const;

    std::uint64_t _offset;
    std::uint64_t _mismatch = 0;
    std::uint64_t _blocks = 0;
};

} // namespace selko::bench

#endif
