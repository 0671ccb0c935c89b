// The Telnet stream decoder: device bytes, escaped, with random commands and sub-negotiations
// between them and cut into random blocks, decode back to exactly those bytes with every option and
// sub-negotiation reported once and in order; any byte stream decodes the same whole and in blocks.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "Data Channel/SLKTelnetCodec.h"

namespace telnet = selko::detail::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Decoded : telnet::Listener {
    Bytes data;
    std::vector<Bytes> events;   // an option as {verb, option}, a sub-negotiation as {SB, body...}
    void option(std::uint8_t verb, std::uint8_t option) override { events.push_back({verb, option}); }
    void subnegotiation(const Bytes& body) override {
        events.push_back({telnet::SB});
        events.back().insert(events.back().end(), body.begin(), body.end());
    }
    bool operator!=(const Decoded& other) const { return data != other.data || events != other.events; }
};

Decoded decodeInBlocks(const Bytes& wire, FuzzedDataProvider& input, std::size_t largestBlock) {
    telnet::Decoder decoder;
    Decoded decoded;
    for (std::size_t at = 0, length = 0; at < wire.size(); at += length) {
        length = std::min(wire.size() - at, input.ConsumeIntegralInRange<std::size_t>(1, largestBlock));
        decoder.decode(wire.data() + at, length, decoded.data, decoded);
    }
    return decoded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    const Bytes raw = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 256));
    const Decoded whole = decodeInBlocks(raw, input, raw.size() + 1);
    if (whole != decodeInBlocks(raw, input, 16) || whole.data.size() > raw.size())
        std::abort();

    Decoded sent;
    sent.data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 512));
    Bytes wire;
    for (std::size_t at = 0; at <= sent.data.size(); ++at) {
        while (input.remaining_bytes() > 0 && input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            const int kind = input.ConsumeIntegralInRange<int>(0, 2);
            const auto first = input.ConsumeIntegral<std::uint8_t>(), second = input.ConsumeIntegral<std::uint8_t>();
            Bytes command;
            if (kind == 0) {   // IAC WILL/WONT/DO/DONT <option>
                command = telnet::command(telnet::WILL + first % 4, second);
                sent.option(command[1], command[2]);
            } else if (kind == 1) {   // IAC SB <body> IAC SE; only its first kMaxBody bytes are kept
                Bytes body = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 80));
                command = telnet::subnegotiation(body);
                body.resize(std::min(body.size(), telnet::Decoder::kMaxBody));
                sent.subnegotiation(body);
            } else {   // a two-byte command: NOP, Data Mark, Break, ..., Go Ahead, or a stray SE
                command = {telnet::IAC, std::uint8_t(telnet::SE + first % (telnet::SB - telnet::SE))};
            }
            wire.insert(wire.end(), command.begin(), command.end());
        }
        if (at < sent.data.size())
            telnet::escape(&sent.data[at], 1, wire);
    }
    if (decodeInBlocks(wire, input, 16) != sent)
        std::abort();
    return 0;
}
