// Finding the serial port at the bottom of a stack of channels.
#include "CommErrorRaise.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

namespace {

// The class name of `channel` as a person reads it ("SLPPassiveChannel", "MyChannel").
std::string channelKind(SLKDataChannel& channel) {
    const char* mangled = typeid(channel).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string kind = (status == 0 && readable != nullptr) ? readable : mangled;
    std::free(readable);
    return kind;
}

} // namespace

SLKSerialPort::~SLKSerialPort() = default;

std::shared_ptr<SLKSerialPort> SLKSerialPortOf(SLKDataChannelRef channel, CommErrorRef* error) {
    if (!channel) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "channel cannot be nil");
        return nullptr;
    }
    // Decorators name the channel they wrap; the bottom of the stack wraps none. A user-written
    // layer may throw: it is reported like a layer without line control, never passed on.
    try {
        for (SLKDataChannelRef below = channel->nextLayer(); below; below = channel->nextLayer())
            channel = std::move(below);
        if (auto port = std::dynamic_pointer_cast<SLKSerialPort>(channel))
            return port;
        SLK_RAISE(error, SLKErrorUnsupported, "%@ has no line control", channelKind(*channel));
    } catch (const std::exception& exception) {
        SLK_RAISE(error, SLKErrorUnsupported, "Unexpected exception: %s", exception.what());
    } catch (...) {
        SLK_RAISE(error, SLKErrorUnsupported, "Unexpected exception: %s", "unknown");
    }
    return nullptr;
}
