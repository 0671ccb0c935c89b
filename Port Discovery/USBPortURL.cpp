#include "USBPortURL.h"

#include "SLKUARTURL.h"

#include <cstdio>
#include <cstring>

namespace selko::detail {

namespace {

// One to four hex digits, the whole of `text`.
bool parseId(const std::string& text, int* value) {
    if (text.empty() || text.size() > 4)
        return false;
    *value = 0;
    for (const char c : text) {
        if (hexDigitValue(c) < 0)
            return false;
        *value = *value * 16 + hexDigitValue(c);
    }
    return true;
}

// Percent-decoded, refusing blanks and control characters written as they are.
bool percentDecode(const std::string& text, std::string* decoded) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    }
    return percentDecoded(text, *decoded);
}

bool parseInterface(const std::string& query, int* interface) {
    const std::string key = "interface=";
    const std::string digits = query.compare(0, key.size(), key) == 0 ? query.substr(key.size()) : "";
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *interface = std::stoi(digits);
    return *interface <= 255;
}

} // namespace

bool parseUSBPortURL(const char* url, USBPortIdentity* identity) {
    const std::string prefix = "usb://";
    if (url == nullptr || std::strncmp(url, prefix.c_str(), prefix.size()) != 0)
        return false;
    std::string rest(url + prefix.size());
    if (rest.find('#') != std::string::npos)
        return false;
    USBPortIdentity parsed;
    const std::size_t question = rest.find('?');
    if (question != std::string::npos) {
        if (!parseInterface(rest.substr(question + 1), &parsed.interface))
            return false;
        rest.resize(question);
    }
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        const std::string serial = rest.substr(slash + 1);
        if (serial.empty() || serial.find('/') != std::string::npos || !percentDecode(serial, &parsed.serialNumber))
            return false;
        rest.resize(slash);
    }
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos || !parseId(rest.substr(0, colon), &parsed.vendorId) ||
        !parseId(rest.substr(colon + 1), &parsed.productId))
        return false;
    *identity = std::move(parsed);
    return true;
}

std::string describeUSBIdentity(const USBPortIdentity& identity) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", identity.vendorId, identity.productId);
    std::string text = std::string("USB ") + ids;
    if (!identity.serialNumber.empty())
        text += " serial number " + identity.serialNumber;
    if (identity.interface >= 0)
        text += " interface " + std::to_string(identity.interface);
    return text;
}

std::vector<std::string> portsMatching(const std::vector<SLKPortInfo>& ports, const USBPortIdentity& identity) {
    std::vector<std::string> paths;
    for (const SLKPortInfo& port : ports) {
        if (port.usbVendorId == identity.vendorId && port.usbProductId == identity.productId &&
            (identity.serialNumber.empty() || port.usbSerialNumber == identity.serialNumber) &&
            (identity.interface < 0 || port.usbInterface == identity.interface))
            paths.push_back(port.path);
    }
    return paths;
}

} // namespace selko::detail
