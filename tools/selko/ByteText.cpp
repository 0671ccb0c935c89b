#include "ByteText.h"

#include "Arguments.h"

#include <cctype>
#include <cstdio>

namespace selko::tool {

SLKBytes bytesFromHex(const std::string& text) {
    SLKBytes bytes;
    std::string digits;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw UsageError("invalid hex string '" + text + "': '" + std::string(1, c) + "' is not a hex digit");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        throw UsageError("invalid hex string '" + text + "': an odd number of hex digits");
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string hexDump(const SLKBytes& bytes) {
    std::string dump;
    char byte[4];
    for (const std::uint8_t value : bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", value);
        dump += byte;
    }
    return dump;
}

std::string escaped(const SLKBytes& bytes) {
    std::string text;
    char code[5];
    for (const std::uint8_t value : bytes) {
        switch (value) {
        case '\n': text += "\\n"; break;
        case '\r': text += "\\r"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        case '"': text += "\\\""; break;
        default:
            if (value >= 0x20 && value < 0x7f) {
                text += static_cast<char>(value);
            } else {
                std::snprintf(code, sizeof code, "\\x%02X", value);
                text += code;
            }
        }
    }
    return text;
}

std::string lineEnd(const std::string& name) {
    if (name == "lf")
        return "\n";
    if (name == "crlf")
        return "\r\n";
    if (name == "cr")
        return "\r";
    if (name == "none")
        return "";
    throw UsageError("--eol must be lf, crlf, cr or none, not '" + name + "'");
}

} // namespace selko::tool
