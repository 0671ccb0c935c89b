// Drives each stateful algorithm of the library and its reference model with the same script,
// decoded from a string of bytes (random bytes in the property test, the fuzzer's input in the
// fuzz targets), and reports the first call at which they differ. Patterns and blocks are drawn
// from a small alphabet so that occurrences, partial occurrences and overlaps are frequent.
#ifndef SELKO_MODEL_CHECKS_H
#define SELKO_MODEL_CHECKS_H

#include "ReferenceModels.h"

#include <SelkoCommunication.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace selko::model {

// Reads choices from the script's bytes; once they run out every choice is 0.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : _at(data), _end(data + size) {}
    bool done() const { return _at == _end; }
    unsigned pick(unsigned n) { return _at == _end ? 0 : *_at++ % n; }
    // Up to `maxLength` bytes over `letters` letters from 'a' (any byte value when `letters` is 0).
    std::string text(unsigned letters, unsigned maxLength, unsigned minLength = 0) {
        std::string out(minLength + pick(maxLength - minLength + 1), 'a');
        for (char& c : out)
            c = static_cast<char>(letters == 0 ? pick(256) : 'a' + pick(letters));
        return out;
    }
    unsigned letters() { return pick(4); } // 0: any byte; 1-3 letters

private:
    const std::uint8_t* _at;
    const std::uint8_t* _end;
};

inline std::string show(const std::string& bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        static const char digits[] = "0123456789abcdef";
        out += byte >= 0x20 && byte < 0x7f ? std::string(1, c) : std::string("\\x") + digits[byte >> 4] + digits[byte & 15];
    }
    return out + "\"";
}

inline std::string run(SLKDataTransformer& transformer, const std::string& block) {
    SLKBytes data(block.begin(), block.end());
    transformer.modifyData(data);
    return std::string(data.begin(), data.end());
}

// "" when they agree, else the first difference. A result carries what was fed so far.
inline std::string mismatch(const std::string& what, const std::string& got, const std::string& expected,
                            const std::string& history) {
    return got == expected ? "" : what + ": got " + show(got) + ", expected " + show(expected) + " after " + history;
}

inline std::string checkAggregator(Script& script) {
    const unsigned letters = script.letters();
    const bool remove = script.pick(2);
    const std::string terminator = script.text(letters, 4, 1);
    SLPDataAggregatorTransformer library(SLKBytes(terminator.begin(), terminator.end()), remove);
    Aggregator model(terminator, remove);
    std::string history = "terminator " + show(terminator) + (remove ? " (removed)" : "") + ", blocks";
    // Empty calls at the end release what is still buffered, one message each.
    for (int drain = 0; drain < 8; drain += script.done()) {
        const std::string block = script.text(letters, 24);
        history += " " + show(block);
        const std::string failure = mismatch("aggregator", run(library, block), model.modify(block), history);
        if (!failure.empty())
            return failure;
    }
    return "";
}

// The event generator (with or without deletion, action calls and the output at each included),
// or the filtering transformer made by its factory.
inline std::string checkPatternTransformer(Script& script, bool filter) {
    const unsigned letters = script.letters();
    const bool remove = filter || script.pick(2);
    const std::string pattern = script.text(letters, 6, 1);
    const SLKData bytes = std::make_shared<const SLKBytes>(pattern.begin(), pattern.end());
    std::vector<std::size_t> actions;
    SLKBytes data;
    const SLKDataTransformerRef library =
        filter ? createFilteringTransformer(bytes)
               : createEventGeneratorTransformer(bytes, remove, [&] { actions.push_back(data.size()); });
    EventGenerator model(pattern, remove);
    std::string history = "pattern " + show(pattern) + (remove ? " (deleted)" : "") + ", blocks";
    for (int drain = 0; drain < 8; drain += script.done()) {
        const std::string block = script.text(letters, 24);
        history += " " + show(block);
        std::vector<std::size_t> expectedActions;
        const std::string expected = model.modify(block, expectedActions);
        data.assign(block.begin(), block.end());
        actions.clear();
        library->modifyData(data);
        std::string failure = mismatch("output", std::string(data.begin(), data.end()), expected, history);
        if (failure.empty() && !filter && actions != expectedActions)
            failure = "action calls differ (" + std::to_string(actions.size()) + ", expected " +
                      std::to_string(expectedActions.size()) + ") after " + history;
        if (!failure.empty())
            return failure;
    }
    return "";
}

// The far end of an echo-removal channel: reads hand out queued bytes in pieces of the script's
// choosing, or fail; writes are queued to be echoed, or refused.
class FarEnd : public SLKDataChannel {
public:
    bool openWithTimeout(double, CommErrorRef*) override { return true; }
    bool close(CommErrorRef*) override { return true; }
    bool isOpened() override { return true; }
    SLKData readWithTimeout(double, CommErrorRef* error) override {
        if (failRead) {
            *error = std::make_shared<const CommError>("far end", 5, CommError::InfoMap{});
            return nullptr;
        }
        const std::string piece = incoming.substr(0, readSize);
        incoming.erase(0, piece.size());
        return std::make_shared<const SLKBytes>(piece.begin(), piece.end());
    }
    bool write(const SLKData& data, CommErrorRef* error) override {
        if (refuseWrite)
            *error = std::make_shared<const CommError>("far end", 4, CommError::InfoMap{});
        else
            notYetEchoed.append(data->begin(), data->end());
        return !refuseWrite;
    }

    std::string incoming, notYetEchoed;
    std::size_t readSize = 0;
    bool failRead = false, refuseWrite = false;
};

inline std::string checkEchoRemoval(Script& script) {
    const unsigned letters = script.letters();
    const std::string delimiter = script.text(letters, 3, 1);
    auto far = std::make_shared<FarEnd>();
    const SLKDataChannelRef library =
        createEchoRemovalChannel(far, std::make_shared<const SLKBytes>(delimiter.begin(), delimiter.end()));
    EchoRemover model(delimiter);
    std::string history = "delimiter " + show(delimiter) + ", steps";
    while (!script.done()) {
        CommErrorRef error;
        switch (script.pick(5)) {
        case 0: { // the caller writes; the far end may refuse
            const std::string data = script.text(letters, 12);
            far->refuseWrite = script.pick(8) == 0;
            history += (far->refuseWrite ? " refused-write " : " write ") + show(data);
            if (library->write(std::make_shared<const SLKBytes>(data.begin(), data.end()), &error) == far->refuseWrite)
                return "write result differs after " + history;
            if (!far->refuseWrite)
                model.written(data);
            break;
        }
        case 1: { // the far end echoes part of what it was sent
            const std::size_t count = script.pick(17);
            far->incoming += far->notYetEchoed.substr(0, count);
            far->notYetEchoed.erase(0, count);
            break;
        }
        case 2: // the far end sends bytes of its own
            far->incoming += script.text(letters, 12);
            break;
        default: { // the caller reads; the wrapped read may fail
            far->failRead = script.pick(8) == 0;
            far->readSize = script.pick(21);
            const std::string arriving = far->incoming.substr(0, far->readSize);
            history += (far->failRead ? " failed-read" : " read ") + (far->failRead ? "" : show(arriving));
            const SLKData got = library->readWithTimeout(0.0, &error);
            if (far->failRead) {
                if (got || !error || error->domain() != "far end")
                    return "a failed wrapped read must give null and its error, after " + history;
                break;
            }
            if (!got)
                return "null from a successful wrapped read after " + history;
            const std::string failure = mismatch("read", std::string(got->begin(), got->end()), model.received(arriving), history);
            if (!failure.empty())
                return failure;
        }
        }
    }
    return "";
}

using Check = std::function<std::string(Script&)>;

// The checks by name, for the property test and the fuzz targets.
inline const std::vector<std::pair<const char*, Check>>& checks() {
    static const std::vector<std::pair<const char*, Check>> all = {
        {"aggregator", checkAggregator},
        {"event generator", [](Script& s) { return checkPatternTransformer(s, false); }},
        {"filter", [](Script& s) { return checkPatternTransformer(s, true); }},
        {"echo removal", checkEchoRemoval},
    };
    return all;
}

} // namespace selko::model

#endif
