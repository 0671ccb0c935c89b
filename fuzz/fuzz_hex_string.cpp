// Hexadecimal text to bytes: never crashes, never reads past the terminating NUL, always yields
// half as many bytes as the adjusted text has characters, and for ASCII text agrees byte for byte
// with a reference written independently of the library's code (no strtoul, no shared helper).
#include "FuzzSupport.h"

#include <cstring>

namespace {

// A text beginning with "0x" loses every "0x" in one left-to-right pass: copy the stretches between
// the occurrences that a forward search finds, each search starting after the previous occurrence.
std::string referenceAdjusted(const std::string& text) {
    std::string adjusted;
    if (text.compare(0, 2, "0x") != 0) {
        adjusted = text;
    } else {
        std::size_t from = 0;
        for (std::size_t hit = text.find("0x"); hit != std::string::npos; hit = text.find("0x", from)) {
            adjusted.append(text, from, hit - from);
            from = hit + 2;
        }
        adjusted.append(text, from, std::string::npos);
    }
    if (adjusted.size() % 2 != 0)
        adjusted.insert(adjusted.begin(), '0');
    return adjusted;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// What an unsigned base-16 conversion of the two-character text makes of it, reduced to 8 bits:
// leading white space skipped, one optional sign (minus negates modulo 2^64), then the longest run
// of hexadecimal digits; no digit at all gives 0. A "0x" prefix cannot be followed by a digit
// within two characters, so it reads as the digit 0, which the digit run already gives.
std::uint8_t referencePair(char first, char second) {
    const char text[2] = {first, second};
    std::size_t at = 0;
    while (at < 2 && isCSpace(text[at]))
        ++at;
    bool negative = false;
    if (at < 2 && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    std::uint64_t value = 0;
    bool anyDigit = false;
    for (; at < 2 && hexDigit(text[at]) >= 0; ++at) {
        value = value * 16 + static_cast<std::uint64_t>(hexDigit(text[at]));
        anyDigit = true;
    }
    if (!anyDigit)
        return 0;
    if (negative)
        value = ~value + 1;
    return static_cast<std::uint8_t>(value & 0xFFu);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool nullChecked = [] {
        const auto fromNull = SLKDataFromHexString(nullptr);
        FUZZ_CHECK(fromNull && fromNull->empty(), "a null text must give empty bytes");
        return true;
    }();
    (void)nullChecked;

    // The text ends at the first NUL, as a C string does. It lives in a heap block of exactly its
    // length plus the terminator, so AddressSanitizer reports any read beyond it.
    const std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    char* text = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(text, data, length);
    text[length] = '\0';

    const std::shared_ptr<SLKBytes> bytes = SLKDataFromHexString(text);
    const std::string adjusted = referenceAdjusted(std::string(text, length));
    FUZZ_CHECK(bytes != nullptr, "null result for \"%s\"", text);
    FUZZ_CHECK(bytes->size() == adjusted.size() / 2, "\"%s\": %zu bytes, expected %zu", text, bytes->size(),
               adjusted.size() / 2);

    // Characters outside ASCII are left to the implementation; the length rule still holds.
    const bool ascii = std::all_of(text, text + length, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
        for (std::size_t pair = 0; pair < bytes->size(); ++pair) {
            const std::uint8_t expected = referencePair(adjusted[2 * pair], adjusted[2 * pair + 1]);
            FUZZ_CHECK((*bytes)[pair] == expected, "\"%s\": byte %zu (pair \"%c%c\") is %02x, expected %02x", text,
                       pair, adjusted[2 * pair], adjusted[2 * pair + 1], (*bytes)[pair], expected);
        }
    }
    std::free(text);
    return 0;
}
