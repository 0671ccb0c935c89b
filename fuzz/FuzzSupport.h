// Shared by the fuzz targets: a check that stops the run with a readable reason, and the decoding
// of a fuzz input into a small alphabet, so that patterns and delimiters occur often enough for the
// interesting paths (matches split across blocks, overlapping candidates) to be reached quickly.
#ifndef SELKO_FUZZ_SUPPORT_H
#define SELKO_FUZZ_SUPPORT_H

#include <fuzzer/FuzzedDataProvider.h>

#include <SelkoCommunication.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(condition, ...)                                                                  \
    do {                                                                                            \
        if (!(condition)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #condition);   \
            std::fprintf(stderr, __VA_ARGS__);                                                      \
            std::fprintf(stderr, "\n");                                                             \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)

namespace selko::fuzz {

// Bytes drawn from an alphabet of `letters` symbols ('a', 'b', ...), or any byte value when
// `letters` is 0.
class Alphabet {
public:
    explicit Alphabet(unsigned letters) : _letters(letters) {}
    static Alphabet consume(FuzzedDataProvider& input) { return Alphabet(input.ConsumeIntegralInRange<unsigned>(0, 4)); }

    std::uint8_t map(std::uint8_t raw) const {
        return _letters == 0 ? raw : static_cast<std::uint8_t>('a' + raw % _letters);
    }
    SLKBytes consume(FuzzedDataProvider& input, std::size_t maxLength) const {
        SLKBytes bytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, maxLength));
        for (std::uint8_t& byte : bytes)
            byte = map(byte);
        return bytes;
    }
    SLKBytes consumeNonEmpty(FuzzedDataProvider& input, std::size_t maxLength) const {
        SLKBytes bytes;
        const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(1, maxLength);
        for (std::size_t i = 0; i < length; ++i)
            bytes.push_back(map(input.ConsumeIntegral<std::uint8_t>()));
        return bytes;
    }

private:
    unsigned _letters;
};

inline std::string printable(const SLKBytes& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7f) {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

inline bool startsWith(const SLKBytes& bytes, std::size_t at, const SLKBytes& pattern) {
    return at + pattern.size() <= bytes.size() &&
           std::equal(pattern.begin(), pattern.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// Offsets of the non-overlapping occurrences of `pattern` found by a left-to-right scan that
// resumes after each occurrence.
inline std::vector<std::size_t> greedyOccurrences(const SLKBytes& bytes, const SLKBytes& pattern) {
    std::vector<std::size_t> found;
    for (std::size_t at = 0; at + pattern.size() <= bytes.size();) {
        if (startsWith(bytes, at, pattern)) {
            found.push_back(at);
            at += pattern.size();
        } else {
            ++at;
        }
    }
    return found;
}

// Length of the longest tail of `bytes` that is a proper beginning of `pattern`.
inline std::size_t longestHeldBackTail(const SLKBytes& bytes, const SLKBytes& pattern) {
    const std::size_t limit = std::min(bytes.size(), pattern.size() - 1);
    for (std::size_t k = limit; k > 0; --k) {
        if (std::equal(bytes.end() - static_cast<std::ptrdiff_t>(k), bytes.end(), pattern.begin()))
            return k;
    }
    return 0;
}

} // namespace selko::fuzz

#endif
