#include "UEventMessage.h"

#include <cstring>

namespace selko::detail {

std::string DeviceEvent::value(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

std::string DeviceEvent::name() const { return devpath.substr(devpath.find_last_of('/') + 1); }

bool parseUEventMessage(const char* data, std::size_t size, DeviceEvent* event) {
    DeviceEvent parsed;
    bool header = true;
    for (std::size_t start = 0; start < size;) {
        const void* nul = std::memchr(data + start, '\0', size - start);
        const std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : size;
        const std::string field(data + start, end - start);
        start = end + 1;
        if (header) {
            const std::size_t at = field.find('@');
            if (at == std::string::npos || at == 0 || field.compare(at + 1, 1, "/") != 0)
                return false;
            parsed.action = field.substr(0, at);
            parsed.devpath = field.substr(at + 1);
            header = false;
            continue;
        }
        const std::size_t equals = field.find('=');
        if (equals != std::string::npos && equals > 0)
            parsed.values[field.substr(0, equals)] = field.substr(equals + 1);
    }
    if (header)
        return false;
    *event = std::move(parsed);
    return true;
}

} // namespace selko::detail
