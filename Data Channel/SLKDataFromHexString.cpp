// Hexadecimal text to bytes. Every pair of characters goes through strtoul on its own, so odd
// pairs (" 7", "-1", "0x") take whatever value strtoul gives them instead of being refused: the
// function never fails.
#include <SelkoCommunication.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A text that starts with "0x" loses every "0x", in one left-to-right pass.
std::string withoutHexPrefixes(const char* text) {
    if (std::strncmp(text, "0x", 2) != 0)
        return text;
    std::string kept;
    for (const char* p = text; *p != '\0';) {
        if (p[0] == '0' && p[1] == 'x') {
            p += 2;
        } else {
            kept += *p;
            ++p;
        }
    }
    return kept;
}

} // namespace

std::shared_ptr<SLKBytes> SLKDataFromHexString(const char* string) noexcept {
    auto bytes = std::make_shared<SLKBytes>();
    if (string == nullptr)
        return bytes;
    std::string digits = withoutHexPrefixes(string);
    if (digits.size() % 2 != 0)
        digits.insert(digits.begin(), '0');
    bytes->reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const char pair[3] = {digits[i], digits[i + 1], '\0'};
        bytes->push_back(static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16) & 0xFFu));
    }
    return bytes;
}
