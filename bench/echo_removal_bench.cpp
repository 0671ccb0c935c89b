// Cost of the echo-removal read path per received byte. One wrapped read hands over a whole block
// of short line-feed-terminated messages; the figure must stay flat as the block grows from 1 KiB
// to 1 MiB, which shows that cutting messages is linear in the bytes received.
//
// Reported counter: ns_per_byte (CPU time of the timed reads divided by the bytes they received).
#include <SelkoCommunication.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

// An in-memory line: every read returns the same block at once; writes are accepted and dropped.
class BlockChannel final : public SLKDataChannel {
public:
    explicit BlockChannel(SLKData block) : _block(std::move(block)) {}
    bool openWithTimeout(double, CommErrorRef*) override { return true; }
    bool close(CommErrorRef*) override { return true; }
    bool isOpened() override { return true; }
    SLKData readWithTimeout(double, CommErrorRef*) override { return _block; }
    bool write(const SLKData&, CommErrorRef*) override { return true; }

private:
    SLKData _block;
};

// `size` bytes of 10-byte messages ("m1234567" plus a line feed), the last one shortened so that
// the block ends exactly on a line feed.
SLKData makeBlock(std::size_t size) {
    SLKBytes block;
    block.reserve(size);
    for (unsigned number = 0; block.size() < size; ++number) {
        char message[16];
        std::snprintf(message, sizeof message, "m%07u", number % 10000000u);
        const std::size_t room = size - block.size();
        const std::size_t body = std::min<std::size_t>(8, room - 1);
        block.insert(block.end(), message, message + body);
        block.push_back('\n');
    }
    return std::make_shared<const SLKBytes>(std::move(block));
}

// Small blocks are read in batches, so that preparing the pending echoes (untimed) is paid once
// per batch rather than once per read.
constexpr std::size_t batchBytes = 1 << 20;

std::size_t readsPerIteration(std::size_t blockSize) { return std::max<std::size_t>(1, batchBytes / blockSize); }

void reportBytes(benchmark::State& state, std::size_t bytesPerIteration) {
    // Inverted rate of (bytes * 1e-9) per CPU second: nanoseconds per byte.
    state.counters["ns_per_byte"] = benchmark::Counter(static_cast<double>(bytesPerIteration) * 1e-9,
                                                       benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerIteration));
}

// (a) Nothing was written: every received byte is delivered.
void BM_EchoRemovalRead_NoPendingEcho(benchmark::State& state) {
    const SLKData block = makeBlock(static_cast<std::size_t>(state.range(0)));
    const std::size_t reads = readsPerIteration(block->size());
    SLKDataChannelRef channel = createEchoRemovalChannel(std::make_shared<BlockChannel>(block), SLKDataWithString("\n"));
    for (auto _ : state) {
        for (std::size_t i = 0; i < reads; ++i) {
            SLKData got = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW);
            if (!got || got->size() != block->size()) {
                state.SkipWithError("the block was not delivered whole");
                return;
            }
            benchmark::DoNotOptimize(got);
        }
    }
    reportBytes(state, reads * block->size());
}

// (b) Every message was written first, so each one received is a pending echo and is dropped.
void BM_EchoRemovalRead_AllPendingEchoes(benchmark::State& state) {
    const SLKData block = makeBlock(static_cast<std::size_t>(state.range(0)));
    const std::size_t reads = readsPerIteration(block->size());
    SLKDataChannelRef channel = createEchoRemovalChannel(std::make_shared<BlockChannel>(block), SLKDataWithString("\n"));
    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < reads; ++i)
            channel->write(block);
        state.ResumeTiming();
        for (std::size_t i = 0; i < reads; ++i) {
            SLKData got = channel->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW);
            if (!got || !got->empty()) {
                state.SkipWithError("an echo was delivered");
                return;
            }
            benchmark::DoNotOptimize(got);
        }
    }
    reportBytes(state, reads * block->size());
}

BENCHMARK(BM_EchoRemovalRead_NoPendingEcho)->ArgName("bytes")->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_EchoRemovalRead_AllPendingEchoes)->ArgName("bytes")->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

// The usual table, followed by the ns/byte figures alone, one line per case.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto counter = run.counters.find("ns_per_byte");
            if (!run.error_occurred && counter != run.counters.end())
                _lines.push_back(run.benchmark_name() + ": " + std::to_string(counter->second.value) + " ns/byte");
        }
    }
    void Finalize() override {
        GetOutputStream() << "\nEcho-removal read path, CPU time per received byte:\n";
        for (const std::string& line : _lines)
            GetOutputStream() << "  " << line << '\n';
        ConsoleReporter::Finalize();
    }

private:
    std::vector<std::string> _lines;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
