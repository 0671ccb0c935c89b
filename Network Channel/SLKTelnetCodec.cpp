#include "SLKTelnetCodec.h"

#include <algorithm>

namespace selko::detail::telnet {

void Decoder::decode(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
                     Listener& listener) {
    const std::uint8_t* const end = bytes + length;
    while (bytes < end) {
        switch (_state) {
        case State::Data: {
            // The common case: copy the run of plain data up to the next IAC in one go.
            const std::uint8_t* iac = std::find(bytes, end, IAC);
            data.insert(data.end(), bytes, iac);
            bytes = iac;
            if (bytes < end) {
                _state = State::Command;
                ++bytes;
            }
            break;
        }
        case State::Command: {
            const std::uint8_t byte = *bytes++;
            if (byte == IAC) {
                data.push_back(IAC);
                _state = State::Data;
            } else if (byte >= WILL) {
                _verb = byte;
                _state = State::Option;
            } else if (byte == SB) {
                _body.clear();
                _state = State::Body;
            } else {
                _state = State::Data;   // NOP, GA, a stray SE, or a byte that starts no command
            }
            break;
        }
        case State::Option:
            _state = State::Data;
            listener.option(_verb, *bytes++);
            break;
        case State::Body: {
            const std::uint8_t byte = *bytes++;
            if (byte == IAC)
                _state = State::BodyCommand;
            else if (_body.size() < kMaxBody)
                _body.push_back(byte);
            break;
        }
        case State::BodyCommand: {
            const std::uint8_t byte = *bytes++;
            if (byte == IAC) {
                if (_body.size() < kMaxBody)
                    _body.push_back(IAC);
                _state = State::Body;
            } else if (byte == SE) {
                _state = State::Data;
                listener.subnegotiation(_body);
            } else {
                // Any other command ends a malformed sub-negotiation, which is dropped.
                _state = State::Command;
                --bytes;
            }
            break;
        }
        }
    }
}

void escape(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& out) {
    const std::uint8_t* const end = bytes + length;
    out.reserve(out.size() + length + length / 128 + 8);
    while (bytes < end) {
        const std::uint8_t* iac = std::find(bytes, end, IAC);
        out.insert(out.end(), bytes, iac);
        if (iac == end)
            break;
        out.push_back(IAC);
        out.push_back(IAC);
        bytes = iac + 1;
    }
}

std::vector<std::uint8_t> command(std::uint8_t verb, std::uint8_t option) { return {IAC, verb, option}; }

std::vector<std::uint8_t> subnegotiation(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out{IAC, SB};
    escape(body.data(), body.size(), out);
    out.push_back(IAC);
    out.push_back(SE);
    return out;
}

} // namespace selko::detail::telnet
