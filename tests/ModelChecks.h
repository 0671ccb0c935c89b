// Plain reference models of the stateful algorithms (whole-string searches from the front, front
// erasures), and checks that drive each library algorithm and its model with one script decoded
// from bytes: random bytes in models_test.cpp, the fuzzer's input in fuzz/fuzz_model.cpp. Blocks
// come from a small alphabet so that occurrences, partial occurrences and overlaps are frequent.
// The Telnet decoder, which has no model, is checked by its properties the same way. A check only
// tells whether the two agree: the script that made them differ is the reproducer.
#ifndef SELKO_MODEL_CHECKS_H
#define SELKO_MODEL_CHECKS_H

#include <SelkoCommunication.h>

#include "Network Channel/SLKRFC2217Protocol.h"
#include "Network Channel/SLKTelnetCodec.h"
#include "support/Devices.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace selko::model {

// Reads choices from the script's bytes; once they run out every choice is 0.
struct Script {
    const std::uint8_t* at;
    const std::uint8_t* end;
    unsigned pick(unsigned n) { return at == end ? 0 : *at++ % n; }
    // `minLength` to `maxLength` bytes over `letters` letters from 'a' (any byte when 0).
    std::string text(unsigned letters, unsigned maxLength, unsigned minLength = 0) {
        std::string out(minLength + pick(maxLength - minLength + 1), 'a');
        for (char& c : out)
            c = static_cast<char>(letters ? 'a' + pick(letters) : pick(256));
        return out;
    }
};

inline SLKData toData(const std::string& text) { return std::make_shared<const SLKBytes>(text.begin(), text.end()); }

// Takes the first delimiter-ended message off the front of `buffer` ("" when there is none).
inline std::string takeMessage(std::string& buffer, const std::string& delimiter) {
    const std::size_t at = buffer.find(delimiter);
    const std::string message = at == std::string::npos ? "" : buffer.substr(0, at + delimiter.size());
    buffer.erase(0, message.size());
    return message;
}

// The event generator's (and filter's) model: each leftmost occurrence is handled in turn
// (`actions` gets the output's length at each), where a removed occurrence at the very front ends
// the call; then all but the longest tail that may begin an occurrence is released.
inline std::string generate(std::string& buffer, const std::string& pattern, bool remove,
                            std::vector<std::size_t>& actions) {
    std::string out;
    for (std::string message; !(message = takeMessage(buffer, pattern)).empty();) {
        out += message.substr(0, remove ? message.size() - pattern.size() : message.size());
        actions.push_back(out.size());
        if (remove && message == pattern)
            return out;
    }
    std::size_t keep = std::min(pattern.size() - 1, buffer.size());
    while (keep > 0 && buffer.compare(buffer.size() - keep, keep, pattern, 0, keep) != 0)
        --keep;
    out += buffer.substr(0, buffer.size() - keep);
    buffer.erase(0, buffer.size() - keep);
    return out;
}

// The echo removal's model: written messages become pending echoes; a received message equal to
// the oldest pending echo is dropped. While an echo is pending an incomplete received tail is held.
struct EchoRemover {
    std::string delimiter, readBuffer, writeBuffer;
    std::deque<std::string> pending;

    void written(const std::string& data) {
        writeBuffer += data;
        for (std::string message; !(message = takeMessage(writeBuffer, delimiter)).empty();)
            pending.push_back(message);
    }
    std::string received(const std::string& data) {
        std::string result;
        readBuffer += data;
        for (std::string message; !pending.empty() && !(message = takeMessage(readBuffer, delimiter)).empty();)
            message == pending.front() ? pending.pop_front() : void(result += message);
        if (pending.empty())
            result += readBuffer, readBuffer.clear();
        return result;
    }
};

enum class Kind { aggregator, eventGenerator, filter };

// A transformer against its model on blocks of the script, then on empty blocks that release
// what is still held.
inline bool transformerAgrees(Script& s, Kind kind) {
    const unsigned letters = s.pick(4);
    const bool remove = kind == Kind::filter || s.pick(2);
    const std::string pattern = s.text(letters, kind == Kind::aggregator ? 4 : 6, 1);
    std::vector<std::size_t> actions, expectedActions;
    SLKBytes bytes;
    const auto act = [&] { actions.push_back(bytes.size()); };
    const SLKDataTransformerRef library =
        kind == Kind::aggregator ? createAggregatingTransformer(toData(pattern), remove)
        : kind == Kind::filter   ? createFilteringTransformer(toData(pattern))
                                 : createEventGeneratorTransformer(toData(pattern), remove, act);
    std::string buffer;
    for (int drain = 0; drain < 8; drain += s.at == s.end) {
        const std::string block = s.text(letters, 24);
        bytes.assign(block.begin(), block.end());
        library->modifyData(bytes);
        buffer += block;
        // The aggregator's model: one message a call.
        std::string expected = kind == Kind::aggregator ? takeMessage(buffer, pattern)
                                                        : generate(buffer, pattern, remove, expectedActions);
        if (kind == Kind::aggregator && remove && !expected.empty())
            expected.resize(expected.size() - pattern.size());
        if (std::string(bytes.begin(), bytes.end()) != expected ||
            (kind == Kind::eventGenerator && actions != expectedActions))
            return false;
        actions.clear();
        expectedActions.clear();
    }
    return true;
}

// The echo removal against its model over a scripted far end.
inline bool echoRemovalAgrees(Script& s) {
    const unsigned letters = s.pick(4);
    const std::string delimiter = s.text(letters, 3, 1);
    auto far = std::make_shared<selko::test::ScriptedChannel>();
    const SLKDataChannelRef library = createEchoRemovalChannel(far, toData(delimiter));
    const CommErrorRef refusal = std::make_shared<const CommError>("far end", 5, CommError::InfoMap{});
    EchoRemover model{delimiter, "", "", {}};
    std::string incoming, notYetEchoed;
    while (s.at != s.end) {
        CommErrorRef error;
        const unsigned step = s.pick(5);
        if (step == 0) { // the caller writes; the far end may refuse
            const std::string bytes = s.text(letters, 12);
            const bool refused = s.pick(8) == 0;
            far->failWrites(refused ? refusal : nullptr);
            if (library->write(toData(bytes), &error) == refused || (refused && error != refusal))
                return false;
            if (!refused)
                model.written(bytes), notYetEchoed += bytes;
        } else if (step < 3) { // the far end echoes part of what it got, or sends bytes of its own
            const std::size_t count = s.pick(17);
            incoming += step == 1 ? notYetEchoed.substr(0, count) : s.text(letters, 12);
            notYetEchoed.erase(0, step == 1 ? count : 0);
        } else { // the caller reads a piece of what arrived; the wrapped read may fail
            const bool failed = s.pick(8) == 0;
            const std::string piece = failed ? "" : incoming.substr(0, s.pick(21));
            incoming.erase(0, piece.size());
            failed ? far->pushFailure(refusal) : far->pushRead(piece);
            const SLKData got = library->readWithTimeout(0.0, &error);
            if (!got != failed ||
                (failed ? error != refusal : std::string(got->begin(), got->end()) != model.received(piece)))
                return false;
        }
    }
    return true;
}

// What the Telnet decoder made of a stream: its data, and every option as {verb, option} and
// sub-negotiation as {SB, body...} in order.
struct TelnetDecoded : selko::detail::telnet::Listener {
    std::vector<std::uint8_t> data;
    std::vector<std::vector<std::uint8_t>> events;
    void option(std::uint8_t verb, std::uint8_t option) override { events.push_back({verb, option}); }
    void subnegotiation(const std::vector<std::uint8_t>& body) override {
        events.push_back({selko::detail::telnet::SB});
        events.back().insert(events.back().end(), body.begin(), body.end());
    }
    bool operator==(const TelnetDecoded& other) const { return data == other.data && events == other.events; }
};

// Decodes `wire` in blocks of 1 to `largestBlock` bytes, as the script picks.
inline TelnetDecoded decodeInBlocks(Script& s, const std::string& wire, unsigned largestBlock) {
    selko::detail::telnet::Decoder decoder;
    TelnetDecoded decoded;
    for (std::size_t at = 0, length = 0; at < wire.size(); at += length) {
        length = std::min<std::size_t>(wire.size() - at, 1 + s.pick(largestBlock));
        decoder.decode(reinterpret_cast<const std::uint8_t*>(wire.data()) + at, length, decoded.data, decoded);
    }
    return decoded;
}

// The RFC 2217 session's book of the server's answers, given every sub-negotiation decoded as the
// session gives them, against a plain account: each COM-PORT-OPTION answer to a client command
// counted with its latest value, the modem lines of the latest NOTIFY-MODEMSTATE with a value, and
// nothing else taken. Every value, of whatever length, is then read as its command's number,
// which must succeed exactly when the value is as long as the setting (4 bytes for the baud rate,
// 1 otherwise) and never overflow (the sanitizers watch the fuzz targets).
inline bool comPortAnswersAgree(const TelnetDecoded& decoded) {
    namespace rfc2217 = selko::detail::rfc2217;
    rfc2217::Answers book;
    std::map<unsigned, rfc2217::Answers::Answer> account;
    int modemLines = -1;
    for (const auto& event : decoded.events) {
        if (event[0] != selko::detail::telnet::SB)
            continue;
        const std::vector<std::uint8_t> body(event.begin() + 1, event.end());
        const bool answer = body.size() >= 2 && body[0] == rfc2217::COM_PORT_OPTION && body[1] >= 100 && body[1] <= 112;
        if (book.take(body) != answer)
            return false;
        if (!answer)
            continue;
        rfc2217::Answers::Answer& expected = account[body[1] - 100u];
        ++expected.count;
        expected.value.assign(body.begin() + 2, body.end());
        if (body[1] == 107 && body.size() > 2)
            modemLines = body[2];
    }
    std::uint8_t state = 0;
    if (book.modemState(state) != (modemLines >= 0) || (modemLines >= 0 && state != modemLines))
        return false;
    for (unsigned command = 0; command < 256; ++command) {
        const rfc2217::Answers::Answer got = book.of(std::uint8_t(command)), expected = account[command];
        if (got.count != expected.count || got.value != expected.value)
            return false;
        const bool fits = got.value.size() == (command == rfc2217::SET_BAUDRATE ? 4u : 1u);
        std::uint32_t number = 0, reference = 0;
        for (std::size_t at = 0; fits && at < got.value.size(); ++at)
            reference = reference * 256u + got.value[at];
        if (rfc2217::valueNumber(got.value, std::uint8_t(command), number) != fits || number != reference)
            return false;
    }
    return true;
}

// The Telnet decoder: any bytes decode the same whole and in blocks, to no more data than came;
// and device bytes, escaped, with commands and sub-negotiations (COM-PORT-OPTION answers among
// them, some with over-long values) between them, decode back to exactly those bytes with every
// option and sub-negotiation reported once and in order. Both streams' sub-negotiations then go
// to the RFC 2217 answer book.
inline bool telnetDecoderAgrees(Script& s) {
    namespace telnet = selko::detail::telnet;
    const std::string raw = s.text(0, 256);
    const TelnetDecoded whole = decodeInBlocks(s, raw, unsigned(raw.size()) + 1);
    if (!(whole == decodeInBlocks(s, raw, 16)) || whole.data.size() > raw.size() || !comPortAnswersAgree(whole))
        return false;
    const std::string bytes = s.text(0, 512);
    TelnetDecoded sent;
    sent.data.assign(bytes.begin(), bytes.end());
    std::vector<std::uint8_t> wire;
    for (std::size_t at = 0; at <= bytes.size(); ++at) {
        while (s.at != s.end && s.pick(8) == 0) {
            const unsigned kind = s.pick(3), first = s.pick(256), second = s.pick(256);
            std::vector<std::uint8_t> command;
            if (kind == 0) {   // IAC WILL/WONT/DO/DONT <option>
                command = telnet::command(std::uint8_t(telnet::WILL + first % 4), std::uint8_t(second));
                sent.option(command[1], command[2]);
            } else if (kind == 1) {   // IAC SB <body> IAC SE; only its first kMaxBody bytes are kept
                // Half of them a COM-PORT-OPTION answer (or a number just past the answers) with
                // a value of up to 12 bytes.
                const bool answer = first % 2 == 0;
                const std::string text =
                    answer ? std::string{44, char(100 + s.pick(14))} + s.text(0, 12) : s.text(0, 80);
                std::vector<std::uint8_t> body(text.begin(), text.end());
                command = telnet::subnegotiation(body);
                body.resize(std::min(body.size(), telnet::Decoder::kMaxBody));
                sent.subnegotiation(body);
            } else {   // a two-byte command: NOP, Data Mark, Break, ..., Go Ahead, or a stray SE
                command = {telnet::IAC, std::uint8_t(telnet::SE + first % (telnet::SB - telnet::SE))};
            }
            wire.insert(wire.end(), command.begin(), command.end());
        }
        if (at < bytes.size())
            telnet::escape(&sent.data[at], 1, wire);
    }
    const TelnetDecoded decoded = decodeInBlocks(s, std::string(wire.begin(), wire.end()), 16);
    return decoded == sent && comPortAnswersAgree(decoded);
}

// By name, for the property test and the fuzz targets (fuzz_<name>).
inline const std::pair<const char*, bool (*)(Script&)> kChecks[] = {
    {"aggregator", [](Script& s) { return transformerAgrees(s, Kind::aggregator); }},
    {"event_generator", [](Script& s) { return transformerAgrees(s, Kind::eventGenerator); }},
    {"filter", [](Script& s) { return transformerAgrees(s, Kind::filter); }},
    {"echo_removal", echoRemovalAgrees},
    {"telnet_decoder", telnetDecoderAgrees},
};

} // namespace selko::model

#endif
