// Throughput of the stateful transformers on realistic text, against a plain memmem scan that
// counts the same pattern in the same bytes. The costs must stay linear in the bytes seen (flat
// ns/byte from 1 KiB to 1 MiB), and the filter and the event generator should stay within a small
// factor of the bare scan. A table of ns/byte and ratios is printed after the run. Expect one step
// up at 1 MiB, in the baseline too: the block and its copies no longer fit a core's L2 cache.
#include <SelkoCommunication.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kLf = "\n";

// Text lines of printable characters, most ending in CR LF and some in LF only, exactly `size`
// bytes long and ending with a complete CR LF line. `shortest`/`longest` bound the line lengths.
SLKBytes makeLines(std::size_t size, std::size_t shortest, std::size_t longest, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> length(shortest, longest);
    std::uniform_int_distribution<int> letter(' ', '~');
    std::bernoulli_distribution crlf(0.8);
    SLKBytes text;
    text.reserve(size);
    while (text.size() < size) {
        const std::size_t remaining = size - text.size();
        std::size_t line = length(random);
        if (line > remaining || remaining - line < shortest)
            line = remaining;
        const bool last = line == remaining;
        const std::size_t ending = (last || crlf(random)) ? 2 : 1;
        for (std::size_t i = 0; i + ending < line; ++i)
            text.push_back(static_cast<std::uint8_t>(letter(random)));
        if (ending == 2)
            text.push_back('\r');
        text.push_back('\n');
    }
    return text;
}

const SLKBytes& lines(std::size_t size) {
    static std::map<std::size_t, SLKBytes> cache;
    auto found = cache.find(size);
    if (found == cache.end())
        found = cache.emplace(size, makeLines(size, 8, 72, 1)).first;
    return found->second;
}

// About ten bytes per message, so that 1 MiB holds about 100000 of them.
const SLKBytes& messages(std::size_t size) {
    static std::map<std::size_t, SLKBytes> cache;
    auto found = cache.find(size);
    if (found == cache.end())
        found = cache.emplace(size, makeLines(size, 4, 16, 2)).first;
    return found->second;
}

void reportBytes(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    // Seconds per byte (shown with an SI prefix, e.g. 750ps); the closing table uses ns.
    state.counters["time_per_byte"] = benchmark::Counter(static_cast<double>(bytes),
                                                         benchmark::Counter::kIsIterationInvariantRate |
                                                             benchmark::Counter::kInvert);
}

std::size_t countWithMemmem(const SLKBytes& text, const char* pattern) {
    const std::size_t n = std::strlen(pattern);
    std::size_t count = 0;
    const std::uint8_t* at = text.data();
    const std::uint8_t* end = text.data() + text.size();
    while (const void* hit = memmem(at, static_cast<std::size_t>(end - at), pattern, n)) {
        ++count;
        at = static_cast<const std::uint8_t*>(hit) + n;
    }
    return count;
}

void BM_MemmemCrLf(benchmark::State& state) {
    const SLKBytes& text = lines(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(countWithMemmem(text, kCrLf));
    reportBytes(state, text.size());
}

void BM_MemmemLf(benchmark::State& state) {
    const SLKBytes& text = messages(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(countWithMemmem(text, kLf));
    reportBytes(state, text.size());
}

// Each iteration hands the transformer a fresh copy of the block, as a transforming channel does.
void BM_Filter(benchmark::State& state) {
    const SLKBytes& text = lines(static_cast<std::size_t>(state.range(0)));
    SLKDataTransformerRef filter = createFilteringTransformer(SLKDataWithString(kCrLf));
    SLKBytes data;
    for (auto _ : state) {
        data.assign(text.begin(), text.end());
        filter->modifyData(data);
        benchmark::DoNotOptimize(data.data());
    }
    reportBytes(state, text.size());
}

void BM_EventGenerator(benchmark::State& state) {
    const SLKBytes& text = lines(static_cast<std::size_t>(state.range(0)));
    std::size_t events = 0;
    SLKDataTransformerRef generator =
        createEventGeneratorTransformer(SLKDataWithString(kCrLf), false, [&events] { ++events; });
    SLKBytes data;
    for (auto _ : state) {
        data.assign(text.begin(), text.end());
        generator->modifyData(data);
        benchmark::DoNotOptimize(data.data());
    }
    benchmark::DoNotOptimize(events);
    reportBytes(state, text.size());
}

// One call with the whole block, then one empty call per remaining message and a last empty call
// that finds nothing: for 1 MiB, about 100000 calls.
void BM_Aggregator(benchmark::State& state) {
    const SLKBytes& text = messages(static_cast<std::size_t>(state.range(0)));
    const std::size_t count = countWithMemmem(text, kLf);
    SLKDataTransformerRef aggregator = createAggregatingTransformer(SLKDataWithString(kLf), false);
    SLKBytes data;
    std::size_t released = 0;
    for (auto _ : state) {
        data.assign(text.begin(), text.end());
        for (std::size_t call = 0; call <= count; ++call) {
            aggregator->modifyData(data);
            released += data.size();
            data.clear();
        }
    }
    if (released != state.iterations() * text.size())
        state.SkipWithError("the aggregator lost or invented bytes");
    state.counters["calls"] = static_cast<double>(count + 1);
    reportBytes(state, text.size());
}

void sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(1 << 10)->Arg(1 << 16)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_MemmemCrLf)->Apply(sizes);
BENCHMARK(BM_Filter)->Apply(sizes);
BENCHMARK(BM_EventGenerator)->Apply(sizes);
BENCHMARK(BM_MemmemLf)->Apply(sizes);
BENCHMARK(BM_Aggregator)->Apply(sizes);

// Shows the runs as usual and remembers each one's ns/byte for the closing table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto counter = run.counters.find("time_per_byte");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && counter != run.counters.end())
                nsPerByte[run.benchmark_name()] = counter->second.value * 1e9;
        }
    }

    void printRatios() const {
        struct Row {
            const char* transformer;
            const char* baseline;
        };
        const Row rows[] = {{"BM_Filter", "BM_MemmemCrLf"},
                            {"BM_EventGenerator", "BM_MemmemCrLf"},
                            {"BM_Aggregator", "BM_MemmemLf"}};
        std::printf("\n%-20s %10s %12s %12s %8s\n", "transformer", "bytes", "ns/byte", "memmem ns/B", "ratio");
        for (const Row& row : rows) {
            for (const long size : {1L << 10, 1L << 16, 1L << 20}) {
                const std::string suffix = "/" + std::to_string(size);
                const auto mine = nsPerByte.find(row.transformer + suffix);
                const auto base = nsPerByte.find(row.baseline + suffix);
                if (mine == nsPerByte.end() || base == nsPerByte.end())
                    continue;
                std::printf("%-20s %10ld %12.3f %12.3f %8.2f\n", row.transformer, size, mine->second, base->second,
                            mine->second / base->second);
            }
        }
    }

private:
    std::map<std::string, double> nsPerByte;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
