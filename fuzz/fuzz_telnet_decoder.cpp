// The Telnet stream decoder: for any device bytes, their escaped form with random commands and
// sub-negotiations mixed in, cut into random blocks, decodes back to exactly those bytes, with
// every option and sub-negotiation reported once and in order; and any byte stream at all decodes
// the same whole or cut into blocks, never yields more bytes than it got, and never crashes.
#include <SelkoCommunication.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Data Channel/SLKTelnetCodec.h"

namespace telnet = selko::detail::telnet;

namespace {

#define FUZZ_CHECK(condition, ...)                                                                          \
    do {                                                                                                    \
        if (!(condition)) {                                                                                 \
            std::fprintf(stderr, "check failed: " __VA_ARGS__);                                             \
            std::fputc('\n', stderr);                                                                       \
            std::abort();                                                                                   \
        }                                                                                                   \
    } while (0)

std::string printable(const SLKBytes& bytes) {
    std::string text;
    char hex[4];
    for (const std::uint8_t byte : bytes) {
        std::snprintf(hex, sizeof hex, "%02x ", byte);
        text += hex;
    }
    return text;
}

struct Recorder : telnet::Listener {
    std::vector<std::pair<std::uint8_t, std::uint8_t>> options;
    std::vector<SLKBytes> bodies;
    void option(std::uint8_t verb, std::uint8_t option) override { options.emplace_back(verb, option); }
    void subnegotiation(const SLKBytes& body) override { bodies.push_back(body); }
};

// Decodes `wire` in blocks whose lengths come from `input`.
SLKBytes decodeInBlocks(const SLKBytes& wire, FuzzedDataProvider& input, Recorder& recorder) {
    telnet::Decoder decoder;
    SLKBytes data;
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t length = std::min(wire.size() - at, input.ConsumeIntegralInRange<std::size_t>(1, 16));
        decoder.decode(wire.data() + at, length, data, recorder);
        at += length;
    }
    return data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);

    // 1. Arbitrary bytes: the same result whole and in blocks.
    const SLKBytes raw = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 256));
    Recorder wholeEvents, blockEvents;
    SLKBytes whole;
    telnet::Decoder().decode(raw.data(), raw.size(), whole, wholeEvents);
    const SLKBytes blocks = decodeInBlocks(raw, input, blockEvents);
    FUZZ_CHECK(whole == blocks, "whole %s, in blocks %s", printable(whole).c_str(),
               printable(blocks).c_str());
    FUZZ_CHECK(whole.size() <= raw.size(), "decoding made bytes");
    FUZZ_CHECK(wholeEvents.options == blockEvents.options && wholeEvents.bodies == blockEvents.bodies,
               "events differ whole and in blocks");

    // 2. Device bytes, escaped, with commands between them.
    const SLKBytes device = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 512));
    SLKBytes wire;
    Recorder expected;
    for (std::size_t at = 0; at <= device.size(); ++at) {
        while (input.remaining_bytes() > 0 && input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0: {
                const std::uint8_t verb = input.ConsumeIntegralInRange<std::uint8_t>(telnet::WILL, telnet::DONT);
                const std::uint8_t option = input.ConsumeIntegral<std::uint8_t>();
                const SLKBytes command = telnet::command(verb, option);
                wire.insert(wire.end(), command.begin(), command.end());
                expected.options.emplace_back(verb, option);
                break;
            }
            case 1: {
                // A two-byte command: NOP, Data Mark, Break, ..., Go Ahead, or a stray SE.
                wire.push_back(telnet::IAC);
                wire.push_back(input.ConsumeIntegralInRange<std::uint8_t>(telnet::SE, telnet::SB - 1));
                break;
            }
            default: {
                SLKBytes body = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 80));
                const SLKBytes framed = telnet::subnegotiation(body);
                wire.insert(wire.end(), framed.begin(), framed.end());
                body.resize(std::min(body.size(), telnet::Decoder::kMaxBody));
                expected.bodies.push_back(body);
                break;
            }
            }
        }
        if (at < device.size())
            telnet::escape(&device[at], 1, wire);
    }
    Recorder got;
    const SLKBytes decoded = decodeInBlocks(wire, input, got);
    FUZZ_CHECK(decoded == device, "device %s, decoded %s", printable(device).c_str(),
               printable(decoded).c_str());
    FUZZ_CHECK(got.options == expected.options, "%zu options reported, %zu sent", got.options.size(),
               expected.options.size());
    FUZZ_CHECK(got.bodies == expected.bodies, "%zu sub-negotiations reported, %zu sent", got.bodies.size(),
               expected.bodies.size());
    return 0;
}
