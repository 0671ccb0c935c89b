// The ports report a lost device in three shapes: the read of a hung-up line or of a connection
// the server closed fails with code 5 "Device disconnected"; a read whose system call fails
// carries the error's text and number ("Select failed with error Input/output error (5)"); a
// write carries the error's text alone ("Failed to write message with error = Broken pipe").
// The number is compared where there is one, the system's text otherwise.
#include "SLKLinkLoss.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace selko::detail {

namespace {

// The errors of a device or a connection that went away: a USB adapter unplugged under an open
// descriptor (EIO, ENXIO, ENODEV), a peer that reset or shut the connection, a route that went
// down. ETIMEDOUT is a connection the kernel gave up on (keep-alive probes or data that were
// never acknowledged); a read that merely ran out of time returns empty bytes, never an error.
constexpr int kGone[] = {EIO,      ENXIO,     ENODEV,    EPIPE,        ECONNRESET,  ECONNABORTED,
                         ENOTCONN, ESHUTDOWN, ETIMEDOUT, EHOSTUNREACH, ENETUNREACH, ENETDOWN};

bool isGone(int number) {
    for (const int gone : kGone) {
        if (number == gone)
            return true;
    }
    return false;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "Select failed with error <text> (<number>)": whether the number is one of a device gone.
bool readFailedForGood(const std::string& message) {
    const std::size_t open = message.rfind(" (");
    if (!startsWith(message, "Select failed with error ") || open == std::string::npos || message.back() != ')')
        return false;
    const std::string digits = message.substr(open + 2, message.size() - open - 3);
    char* end = nullptr;
    const long number = std::strtol(digits.c_str(), &end, 10);
    return !digits.empty() && *end == '\0' && isGone(static_cast<int>(number));
}

// "Failed to write message with error = <text>": whether the text is that of a device gone.
bool writeFailedForGood(const std::string& message) {
    static const char* const prefix = "Failed to write message with error = ";
    if (!startsWith(message, prefix))
        return false;
    const std::string text = message.substr(std::strlen(prefix));
    for (const int gone : kGone) {
        if (text == std::strerror(gone))
            return true;
    }
    return false;
}

} // namespace

bool isDeviceLoss(const CommErrorRef& failure) {
    if (!failure || failure->domain() != SelkoCommunicationErrorDomain)
        return false;
    const std::string message = failure->message();
    switch (failure->code()) {
    case SLKErrorRead: return message == "Device disconnected" || readFailedForGood(message);
    case SLKErrorPortSystem: return writeFailedForGood(message);
    default: return false;
    }
}

} // namespace selko::detail
