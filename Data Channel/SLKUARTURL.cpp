#include "SLKUARTURL.h"

#include <cstring>
#include <strings.h>

namespace selko::detail {

namespace {

bool isSchemeCharacter(char c, bool first) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first)
        return letter;
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

} // namespace

bool isUARTURL(const char* url) noexcept {
    if (url == nullptr)
        return false;
    const char* colon = std::strchr(url, ':');
    return colon != nullptr && colon - url == 4 && std::strncmp(url, "uart", 4) == 0;
}

bool devicePathFromURL(const char* url, std::string& path) {
    if (url == nullptr)
        return false;
    std::string rest(url);
    if (rest.find_first_of("?#") != std::string::npos)
        return false;

    // Scheme (RFC 3986): a letter, then letters, digits, '+', '-', '.', then ':'.
    std::size_t position = 0;
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos && colon > 0) {
        bool scheme = true;
        for (std::size_t i = 0; i < colon && scheme; ++i)
            scheme = isSchemeCharacter(rest[i], i == 0);
        if (scheme)
            position = colon + 1;
    }

    // Authority: "//" up to the next '/'.
    if (rest.compare(position, 2, "//") == 0) {
        const std::size_t start = position + 2;
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        const std::string authority = rest.substr(start, end - start);
        if (!authority.empty() && ::strcasecmp(authority.c_str(), "localhost") != 0)
            return false;
        position = end;
    }

    std::string decoded;
    if (!percentDecoded(rest.substr(position), decoded))
        return false;
    path = std::move(decoded);
    return true;
}

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool percentDecoded(const std::string& text, std::string& decoded) {
    decoded.clear();
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        const int high = i + 1 < text.size() ? hexDigitValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexDigitValue(text[i + 2]) : -1;
        if (high < 0 || low < 0 || high * 16 + low == 0)
            return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

} // namespace selko::detail
