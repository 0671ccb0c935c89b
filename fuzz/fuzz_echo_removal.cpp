// The echo-removal channel over an in-memory channel, driven by a fuzzed sequence of writes
// (some refused), far-end echoes of what was written (cut anywhere), unrelated far-end bytes,
// reads of fuzzed sizes and failing reads. Every read must match the intended matching step by
// step, and over the whole run the bytes delivered must be the bytes received with whole echoes
// cut out: the removed pieces, in order, are exactly the first written messages.
#include "ReferenceModels.h"

using namespace selko::fuzz;

namespace {

// The far end: a wrapped channel whose reads hand out what the test queued, in pieces whose size
// the test chooses, and whose writes and reads can be made to fail.
class InMemoryChannel : public SLKDataChannel {
public:
    bool openWithTimeout(double, CommErrorRef*) override { return true; }
    bool close(CommErrorRef*) override { return true; }
    bool isOpened() override { return true; }
    SLKData readWithTimeout(double, CommErrorRef* error) override {
        if (failNextRead) {
            failNextRead = false;
            if (error)
                *error = std::make_shared<const CommError>("fuzz", SLKErrorRead, CommError::InfoMap{});
            return nullptr;
        }
        const std::size_t count = std::min(nextReadSize, incoming.size());
        auto bytes = std::make_shared<const SLKBytes>(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(count));
        incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(count));
        return bytes;
    }
    bool write(const SLKData& data, CommErrorRef* error) override {
        if (refuseWrites) {
            if (error)
                *error = std::make_shared<const CommError>("fuzz", SLKErrorPortSystem, CommError::InfoMap{});
            return false;
        }
        notYetEchoed.insert(notYetEchoed.end(), data->begin(), data->end());
        return true;
    }

    SLKBytes incoming;      // far-end bytes not yet read
    SLKBytes notYetEchoed;  // written bytes the far end has not sent back yet
    std::size_t nextReadSize = 0;
    bool failNextRead = false;
    bool refuseWrites = false;
};

std::vector<SLKBytes> cutIntoMessages(const SLKBytes& bytes, const SLKBytes& delimiter) {
    std::vector<SLKBytes> messages;
    std::size_t from = 0;
    for (std::size_t at = from; at + delimiter.size() <= bytes.size();) {
        if (startsWith(bytes, at, delimiter)) {
            messages.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                  bytes.begin() + static_cast<std::ptrdiff_t>(at + delimiter.size()));
            from = at = at + delimiter.size();
        } else {
            ++at;
        }
    }
    return messages;
}

// Whether `delivered` is `received` with disjoint pieces cut out that are, in order, the first
// written messages, allowing for received bytes still held at the end. reachable[p][j]: the first
// p received bytes are accounted for, with the first j written messages cut out among them.
bool deliveredIsReceivedLessEchoes(const SLKBytes& received, const SLKBytes& delivered,
                                   const std::vector<SLKBytes>& written) {
    const std::size_t rows = received.size() + 1;
    const std::size_t columns = written.size() + 1;
    std::vector<std::size_t> removedBefore(columns, 0);
    for (std::size_t j = 1; j < columns; ++j)
        removedBefore[j] = removedBefore[j - 1] + written[j - 1].size();
    std::vector<char> reachable(rows * columns, 0);
    reachable[0] = 1;
    for (std::size_t p = 0; p < rows; ++p) {
        for (std::size_t j = 0; j < columns; ++j) {
            if (!reachable[p * columns + j] || p < removedBefore[j])
                continue;
            const std::size_t d = p - removedBefore[j];
            if (d == delivered.size())
                return true;   // everything delivered is explained; the rest is still held
            if (p < received.size() && received[p] == delivered[d])
                reachable[(p + 1) * columns + j] = 1;
            if (j < written.size() && startsWith(received, p, written[j]))
                reachable[(p + written[j].size()) * columns + j + 1] = 1;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Alphabet alphabet = Alphabet::consume(input);
    const SLKBytes delimiter = alphabet.consumeNonEmpty(input, 3);

    auto far = std::make_shared<InMemoryChannel>();
    CommErrorRef error;
    const SLKDataChannelRef channel =
        createEchoRemovalChannel(far, std::make_shared<const SLKBytes>(delimiter), &error);
    FUZZ_CHECK(channel != nullptr, "factory refused the delimiter");
    EchoRemovalModel model(delimiter);

    SLKBytes writtenStream;   // bytes of accepted writes
    SLKBytes receivedStream;  // bytes handed to the echo-removal channel by successful reads
    SLKBytes deliveredStream; // bytes it delivered

    for (int step = 0; step < 400 && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: { // the caller writes
            const SLKBytes bytes = alphabet.consume(input, 12);
            far->refuseWrites = input.ConsumeIntegralInRange<int>(0, 7) == 0;
            CommErrorRef writeError;
            const bool accepted = channel->write(std::make_shared<const SLKBytes>(bytes), &writeError);
            FUZZ_CHECK(accepted == !far->refuseWrites, "write result %d with the far end refusing=%d", accepted,
                       far->refuseWrites);
            FUZZ_CHECK(accepted || (writeError && writeError->domain() == "fuzz"),
                       "a refused write must pass the wrapped channel's error on");
            if (accepted) {
                model.wrote(bytes);
                writtenStream.insert(writtenStream.end(), bytes.begin(), bytes.end());
            }
            break;
        }
        case 1: { // the far end echoes part of what it was sent
            const std::size_t count = std::min(input.ConsumeIntegralInRange<std::size_t>(0, 16), far->notYetEchoed.size());
            far->incoming.insert(far->incoming.end(), far->notYetEchoed.begin(),
                                 far->notYetEchoed.begin() + static_cast<std::ptrdiff_t>(count));
            far->notYetEchoed.erase(far->notYetEchoed.begin(), far->notYetEchoed.begin() + static_cast<std::ptrdiff_t>(count));
            break;
        }
        case 2: { // the far end sends something of its own
            const SLKBytes bytes = alphabet.consume(input, 12);
            far->incoming.insert(far->incoming.end(), bytes.begin(), bytes.end());
            break;
        }
        case 3: // the next read fails
            far->failNextRead = true;
            [[fallthrough]];
        default: { // the caller reads
            far->nextReadSize = input.ConsumeIntegralInRange<std::size_t>(0, 20);
            const bool failing = far->failNextRead;
            const std::size_t available = std::min(far->nextReadSize, far->incoming.size());
            const SLKBytes arriving(far->incoming.begin(), far->incoming.begin() + static_cast<std::ptrdiff_t>(available));
            CommErrorRef readError;
            const SLKData got = channel->readWithTimeout(0.0, &readError);
            if (failing) {
                FUZZ_CHECK(got == nullptr && readError && readError->domain() == "fuzz",
                           "a failing wrapped read must give null and its own error");
                break;
            }
            FUZZ_CHECK(got != nullptr, "a successful wrapped read gave null");
            const SLKBytes expected = model.received(arriving);
            FUZZ_CHECK(*got == expected, "delimiter \"%s\", read of \"%s\": delivered \"%s\", expected \"%s\"",
                       printable(delimiter).c_str(), printable(arriving).c_str(), printable(*got).c_str(),
                       printable(expected).c_str());
            receivedStream.insert(receivedStream.end(), arriving.begin(), arriving.end());
            deliveredStream.insert(deliveredStream.end(), got->begin(), got->end());
            break;
        }
        }
    }

    FUZZ_CHECK(deliveredIsReceivedLessEchoes(receivedStream, deliveredStream, cutIntoMessages(writtenStream, delimiter)),
               "delimiter \"%s\": delivered \"%s\" is not received \"%s\" less whole echoes of \"%s\"",
               printable(delimiter).c_str(), printable(deliveredStream).c_str(), printable(receivedStream).c_str(),
               printable(writtenStream).c_str());
    return 0;
}
