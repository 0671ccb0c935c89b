#include "CommErrorRaise.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr const char* kMessageKey = "ErrorMessage";
constexpr const char* kLocationKey = "ErrorLocation";
constexpr const char* kCallStackKey = "ErrorCallStack";
constexpr int kMaxFrames = 128;

std::vector<std::string> captureCallStack() {
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    std::vector<std::string> lines;
    if (count <= 0)
        return lines;
    std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, count), &std::free);
    lines.reserve(static_cast<std::size_t>(count));
    // Frame 0 is this function; the caller wants the stack from the raising site outwards.
    for (int i = 1; i < count; ++i)
        lines.emplace_back(symbols ? std::string(symbols.get()[i]) : std::string("??"));
    return lines;
}

const std::string* infoText(const CommError::InfoMap& info, const char* key) {
    const auto found = info.find(key);
    return found == info.end() ? nullptr : std::get_if<std::string>(&found->second);
}

} // namespace

CommError::CommError(std::string domain, int code, InfoMap userInfo)
    : _domain(std::move(domain)), _code(code), _userInfo(std::move(userInfo)) {}

std::string CommError::message() const {
    const std::string* text = infoText(_userInfo, kMessageKey);
    return text ? *text : std::string();
}

std::string CommError::location() const {
    const std::string* text = infoText(_userInfo, kLocationKey);
    return text ? *text : std::string();
}

std::vector<std::string> CommError::callStack() const {
    const auto found = _userInfo.find(kCallStackKey);
    if (found == _userInfo.end())
        return {};
    const auto* frames = std::get_if<std::vector<std::string>>(&found->second);
    return frames ? *frames : std::vector<std::string>();
}

namespace selko::detail {

std::string formatMessage(const char* format, const std::vector<std::string>& arguments) {
    std::string text;
    std::size_t next = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p == '%' && (p[1] == 's' || p[1] == 'd' || p[1] == '@')) {
            if (next < arguments.size())
                text += arguments[next];
            ++next;
            ++p;
        } else if (*p == '%' && p[1] == '%') {
            text += '%';
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

void raiseCommError(CommErrorRef* slot, int code, const char* file, int line, const char* format,
                    const std::vector<std::string>& arguments) {
    if (slot == nullptr)
        return;
    CommError::InfoMap info;
    info.emplace(kMessageKey, formatMessage(format, arguments));
    info.emplace(kLocationKey, std::string(file) + ":" + std::to_string(line));
    info.emplace(kCallStackKey, captureCallStack());
    *slot = std::make_shared<const CommError>(SelkoCommunicationErrorDomain, code, std::move(info));
}

} // namespace selko::detail
