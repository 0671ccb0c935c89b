// Internal: the numbers of the Telnet COM-PORT-OPTION (RFC 2217).
#ifndef SELKO_RFC2217_PROTOCOL_H
#define SELKO_RFC2217_PROTOCOL_H

#include <cstdint>

namespace selko::detail::rfc2217 {

constexpr std::uint8_t COM_PORT_OPTION = 44;

// Client commands; the server answers with the same command plus SERVER_OFFSET.
constexpr std::uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                       NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, SET_LINESTATE_MASK = 10,
                       SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12, LAST_COMMAND = PURGE_DATA;
constexpr std::uint8_t SERVER_OFFSET = 100;

constexpr std::uint8_t PARITY_NONE = 1, PARITY_ODD = 2, PARITY_EVEN = 3;

// SET-CONTROL values.
constexpr std::uint8_t FLOW_NONE = 1, FLOW_XONXOFF = 2, FLOW_HARDWARE = 3, BREAK_ON = 5, BREAK_OFF = 6, DTR_ON = 8,
                       DTR_OFF = 9, RTS_ON = 11, RTS_OFF = 12;

// PURGE-DATA values: the server's buffer of bytes from the device, of bytes to it, or both.
constexpr std::uint8_t PURGE_RECEIVE = 1, PURGE_TRANSMIT = 2, PURGE_BOTH = 3;

// NOTIFY-MODEMSTATE bits.
constexpr std::uint8_t MODEM_DCD = 0x80, MODEM_RI = 0x40, MODEM_DSR = 0x20, MODEM_CTS = 0x10;

} // namespace selko::detail::rfc2217

#endif
