// The aggregating transformer over a fuzzed stream in fuzzed blocks. Per call: output and buffer
// as the intended algorithm gives them. Over the stream: messages come out in order, at most one
// per call, each (when the terminator is kept) ending with the terminator and holding no earlier
// one; released messages with their terminators are exactly the input up to the last released
// terminator, and the buffer is the rest of the input.
#include "ReferenceModels.h"

using namespace selko::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Alphabet alphabet = Alphabet::consume(input);
    const bool removeTerminator = input.ConsumeBool();
    const SLKBytes terminator = alphabet.consumeNonEmpty(input, 5);

    CommErrorRef error;
    const SLKDataTransformerRef transformer =
        createAggregatingTransformer(std::make_shared<const SLKBytes>(terminator), removeTerminator, &error);
    FUZZ_CHECK(transformer != nullptr, "factory refused the terminator");
    const auto* aggregator = dynamic_cast<const SLPDataAggregatorTransformer*>(transformer.get());
    FUZZ_CHECK(aggregator != nullptr, "not an aggregator");

    AggregatorModel model(terminator, removeTerminator);
    SLKBytes stream;
    std::size_t releasedUpTo = 0;   // input bytes consumed by released messages and their terminators
    std::size_t released = 0;

    auto feed = [&](SLKBytes block) {
        const SLKBytes given = block;
        SLKBytes modelBlock = block;
        transformer->modifyData(block);
        model.modify(modelBlock);
        FUZZ_CHECK(block == modelBlock, "terminator \"%s\" remove=%d, block \"%s\": output \"%s\", expected \"%s\"",
                   printable(terminator).c_str(), removeTerminator, printable(given).c_str(), printable(block).c_str(),
                   printable(modelBlock).c_str());
        const SLKBytes buffered = aggregator->buffer();
        FUZZ_CHECK(buffered == model.buffer(), "buffer \"%s\", expected \"%s\"", printable(buffered).c_str(),
                   printable(model.buffer()).c_str());

        // Stream level, from the buffer: whatever left it was one message and its terminator.
        FUZZ_CHECK(buffered.size() <= stream.size() - releasedUpTo, "the buffer grew beyond the input");
        const std::size_t consumed = stream.size() - releasedUpTo - buffered.size();
        FUZZ_CHECK(std::equal(buffered.begin(), buffered.end(), stream.end() - static_cast<std::ptrdiff_t>(buffered.size())),
                   "the buffer is not the end of the input");
        if (consumed == 0) {
            FUZZ_CHECK(block.empty(), "output without a released message");
            return false;
        }
        const SLKBytes message(stream.begin() + static_cast<std::ptrdiff_t>(releasedUpTo),
                               stream.begin() + static_cast<std::ptrdiff_t>(releasedUpTo + consumed));
        FUZZ_CHECK(consumed >= terminator.size() &&
                       std::equal(terminator.begin(), terminator.end(), message.end() - static_cast<std::ptrdiff_t>(terminator.size())),
                   "released input \"%s\" does not end with the terminator", printable(message).c_str());
        const std::vector<std::size_t> inside = greedyOccurrences(message, terminator);
        FUZZ_CHECK(!inside.empty() && inside.front() == message.size() - terminator.size(),
                   "message \"%s\" holds an earlier terminator", printable(message).c_str());
        const SLKBytes expected(message.begin(), message.end() - (removeTerminator ? static_cast<std::ptrdiff_t>(terminator.size()) : 0));
        FUZZ_CHECK(block == expected, "output \"%s\", expected the message \"%s\"", printable(block).c_str(),
                   printable(expected).c_str());
        releasedUpTo += consumed;
        ++released;
        return true;
    };

    while (input.remaining_bytes() > 0) {
        const SLKBytes block = alphabet.consume(input, 24);
        stream.insert(stream.end(), block.begin(), block.end());
        feed(block);
    }
    // Empty calls release the messages still buffered, one each.
    for (std::size_t round = 0; round <= stream.size(); ++round) {
        if (!feed(SLKBytes()))
            break;
    }
    FUZZ_CHECK(released == greedyOccurrences(stream, terminator).size(), "%zu messages released, %zu terminators sent",
               released, greedyOccurrences(stream, terminator).size());
    return 0;
}
