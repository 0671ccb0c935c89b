// Hexadecimal text to bytes, checked by properties rather than by a second parser: it never reads
// past the text (AddressSanitizer watches an exact-size copy), one byte comes of every two
// characters left once a leading "0x" removed every "0x", and hex digits alone round-trip.
#include <SelkoCommunication.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    const std::vector<char> copy(text.c_str(), text.c_str() + text.size() + 1);
    const SLKBytes bytes = *SLKDataFromHexString(copy.data());
    std::string kept = text, digits = text.size() % 2 ? "0" + text : text, printed;
    for (std::size_t at = 0; text.rfind("0x", 0) == 0 && (at = kept.find("0x", at)) != std::string::npos;)
        kept.erase(at, 2);
    std::transform(digits.begin(), digits.end(), digits.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const std::uint8_t byte : bytes)
        printed += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    const bool hexDigitsOnly = digits.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (bytes.size() != (kept.size() + 1) / 2 || (hexDigitsOnly && printed != digits))
        std::abort();
    return 0;
}
