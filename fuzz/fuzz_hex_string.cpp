// Hexadecimal text to bytes, checked by properties rather than by a second parser: it never reads
// past the text (AddressSanitizer watches an exact-size copy), its length rule holds, pairs
// compose (a text cut at an even offset parses to the bytes of its two parts), and text of
// hexadecimal digits alone round-trips.
#include <SelkoCommunication.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

#define FUZZ_CHECK(condition, text)                                                                         \
    do {                                                                                                    \
        if (!(condition)) {                                                                                 \
            std::fprintf(stderr, "check failed: %s for \"%s\"\n", #condition, std::string(text).c_str());   \
            std::abort();                                                                                   \
        }                                                                                                   \
    } while (0)

SLKBytes parse(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    const SLKBytes bytes = *SLKDataFromHexString(copy);
    std::free(copy);
    return bytes;
}

// The text less every "0x" when it begins with one (one left-to-right pass).
std::string withoutPrefixes(const std::string& text) {
    if (text.rfind("0x", 0) != 0)
        return text;
    std::string kept;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text.compare(at, 2, "0x") == 0)
            ++at;
        else
            kept += text[at];
    }
    return kept;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const SLKBytes bytes = parse(text);
    FUZZ_CHECK(bytes.size() == (withoutPrefixes(text).size() + 1) / 2, text);

    // Without a prefix to remove, an even-length text is a sequence of independent pairs: cutting
    // it at any even offset and parsing the halves gives the same bytes.
    if (text.size() % 2 == 0 && text.rfind("0x", 0) != 0) {
        const std::size_t cut = text.size() / 4 * 2;
        const std::string second = text.substr(cut);
        if (second.rfind("0x", 0) != 0) {
            SLKBytes joined = parse(text.substr(0, cut));
            const SLKBytes rest = parse(second);
            joined.insert(joined.end(), rest.begin(), rest.end());
            FUZZ_CHECK(joined == bytes, text);
        }
    }
    // Text of hexadecimal digits alone round-trips: the bytes printed in hex give it back (in
    // lower case, with the leading 0 of an odd length).
    std::string digits = text.size() % 2 ? "0" + text : text, printed;
    for (char& c : digits)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::uint8_t byte : bytes)
        printed += "0123456789abcdef"[byte >> 4] + std::string(1, "0123456789abcdef"[byte & 15]);
    if (digits.find_first_not_of("0123456789abcdef") == std::string::npos)
        FUZZ_CHECK(printed == digits, text);
    return 0;
}
