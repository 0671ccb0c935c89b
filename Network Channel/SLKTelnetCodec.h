// Internal: the Telnet byte stream (RFC 854/855): commands and option sub-negotiations mixed into
// the data, each introduced by IAC (0xFF), and a data byte 0xFF sent doubled.
#ifndef SELKO_TELNET_CODEC_H
#define SELKO_TELNET_CODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace selko::detail::telnet {

constexpr std::uint8_t SE = 240, NOP = 241, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255;
constexpr std::uint8_t OPTION_BINARY = 0, OPTION_SUPPRESS_GO_AHEAD = 3;

// What the decoder reports besides data.
class Listener {
public:
    virtual ~Listener() = default;
    // IAC WILL/WONT/DO/DONT `option`; `verb` is one of those four.
    virtual void option(std::uint8_t verb, std::uint8_t option) = 0;
    // IAC SB <body> IAC SE, with doubled IACs in the body undone. The body starts with the option.
    virtual void subnegotiation(const std::vector<std::uint8_t>& body) = 0;
};

// Removes commands and sub-negotiations from a received stream, keeping its state between blocks,
// so a command split across reads is still removed whole. Two-byte commands (NOP, GA, ...) are
// dropped. IAC followed by a byte that starts no command drops both. A sub-negotiation longer
// than kMaxBody is still removed, but its tail beyond kMaxBody is not kept.
class Decoder {
public:
    static constexpr std::size_t kMaxBody = 64;

    // Appends the data bytes of `length` bytes at `bytes` to `data`; reports to `listener` as it goes.
    void decode(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data, Listener& listener);

private:
    enum class State { Data, Command, Option, Body, BodyCommand };
    State _state = State::Data;
    std::uint8_t _verb = 0;
    std::vector<std::uint8_t> _body;
};

// Appends `length` bytes at `bytes` to `out` with every 0xFF doubled.
void escape(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& out);
// IAC <verb> <option>.
std::vector<std::uint8_t> command(std::uint8_t verb, std::uint8_t option);
// IAC SB <body, escaped> IAC SE.
std::vector<std::uint8_t> subnegotiation(const std::vector<std::uint8_t>& body);

} // namespace selko::detail::telnet

#endif
