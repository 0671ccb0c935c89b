// Internal: the numbers of the Telnet COM-PORT-OPTION (RFC 2217), and the server's answers as they
// come off the wire.
#ifndef SELKO_RFC2217_PROTOCOL_H
#define SELKO_RFC2217_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <vector>

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

// How many bytes the value of `command` has: four for the baud rate, one for everything else.
constexpr std::size_t valueWidth(std::uint8_t command) { return command == SET_BAUDRATE ? 4 : 1; }

// The number a value of `command` carries, most significant byte first. False (and `number` left
// alone) when the value does not have the command's width: the bytes come from the network, and a
// longer value would not even fit the setting it claims to answer.
inline bool valueNumber(const std::vector<std::uint8_t>& value, std::uint8_t command, std::uint32_t& number) {
    if (value.size() != valueWidth(command))
        return false;
    std::uint32_t result = 0;
    for (const std::uint8_t byte : value)
        result = (result << 8) | byte;
    number = result;
    return true;
}

// The server's answers as they are decoded: how many came to each command, the latest value of
// each, and the modem lines of the latest NOTIFY-MODEMSTATE that carried any. Not locked: the
// session that owns it guards it.
class Answers {
public:
    struct Answer {
        unsigned long long count = 0;   // answers so far
        std::vector<std::uint8_t> value;   // the latest answer's value
    };

    // Takes the body of a sub-negotiation (the option first). False, with nothing changed, for
    // anything but a COM-PORT-OPTION answer to one of the client commands.
    bool take(const std::vector<std::uint8_t>& body) {
        if (body.size() < 2 || body[0] != COM_PORT_OPTION || body[1] < SERVER_OFFSET ||
            body[1] > SERVER_OFFSET + LAST_COMMAND)
            return false;
        const std::uint8_t command = body[1] - SERVER_OFFSET;
        Answer& answer = _answers[command];
        ++answer.count;
        answer.value.assign(body.begin() + 2, body.end());
        if (command == NOTIFY_MODEMSTATE && !answer.value.empty()) {
            _modemKnown = true;
            _modemState = answer.value[0];
        }
        return true;
    }
    // The answers to `command`; none for a number beyond LAST_COMMAND.
    Answer of(std::uint8_t command) const { return command <= LAST_COMMAND ? _answers[command] : Answer(); }
    // The latest NOTIFY-MODEMSTATE's lines; false when none came yet.
    bool modemState(std::uint8_t& state) const {
        state = _modemState;
        return _modemKnown;
    }

private:
    Answer _answers[LAST_COMMAND + 1];
    bool _modemKnown = false;
    std::uint8_t _modemState = 0;
};

} // namespace selko::detail::rfc2217

#endif
