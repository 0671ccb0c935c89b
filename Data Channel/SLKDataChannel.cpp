// The channel interface, the library's constants and version data, byte helpers, and the UART
// channel's factory.
#include "CommErrorRaise.h"

#include <cstring>

// The timeout constants live here, in a file that compares no timeout: every comparison in the
// library reads the exported variable rather than a folded literal.
extern "C" {
const double SELKO_COMMUNICATION_TIME_FOREVER = -1.0;
const double SELKO_COMMUNICATION_TIME_NOW = 0.0;
const std::size_t DEFAULT_BUFFER_SIZE = 65536;
const char* const SelkoCommunicationVersionString =
    "@(#)PROGRAM:SelkoCommunication  PROJECT:SelkoCommunication-1.18.0\n";
const double SelkoCommunicationVersionNumber = 1.18;
const char* const SelkoCommunicationErrorDomain = "org.selko.selko-communication";
const char* const SELKO_COMMUNICATION_UART_MODE = "org.selko.uart-mode";
const char* const SELKO_COMMUNICATION_UART_BAUD = "org.selko.uart-baud";
const char* const SELKO_COMMUNICATION_UART_EXCLUSIVE_LOCK = "org.selko.uart-exclusive-lock";
const char* const SELKO_COMMUNICATION_UART_FLOW_CONTROL = "org.selko.uart-flow-control";
const char* const SELKO_COMMUNICATION_UART_LOW_LATENCY = "org.selko.uart-low-latency";
const char* const SELKO_COMMUNICATION_UART_DTR = "org.selko.uart-dtr";
const char* const SELKO_COMMUNICATION_UART_RTS = "org.selko.uart-rts";
const char* const SELKO_COMMUNICATION_UART_RS485 = "org.selko.uart-rs485";
const char* const SELKO_COMMUNICATION_UART_RS485_DELAY_BEFORE = "org.selko.uart-rs485-delay-before";
const char* const SELKO_COMMUNICATION_UART_RS485_DELAY_AFTER = "org.selko.uart-rs485-delay-after";
}

SLKDataChannel::~SLKDataChannel() = default;

SLKDataChannelRef SLKDataChannel::nextLayer() { return nullptr; }

SLKData SLKDataWithBytes(const void* bytes, std::size_t length) noexcept {
    if (bytes == nullptr || length == 0)
        return std::make_shared<const SLKBytes>();
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    return std::make_shared<const SLKBytes>(first, first + length);
}

SLKData SLKDataWithString(const char* text) noexcept {
    return SLKDataWithBytes(text, text ? std::strlen(text) : 0);
}

SLKDataChannelRef createUARTChannel(const char* url, const SLKOptions* options, CommErrorRef* error) noexcept {
    if (!SLPUARTChannel::checkURL(url)) {
        SLK_RAISE(error, SLKErrorInvalidArgument, "Provided url %@ not valid", url ? url : "(null)");
        return nullptr;
    }
    return SLPUARTChannel::initForURL(url, options);
}
