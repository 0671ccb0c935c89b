// The stateful algorithms on blocks of 1 KiB, 64 KiB and 1 MiB, in nanoseconds per byte, each
// against a bare memmem scan that counts the same pattern in the same bytes. Figures that stay
// flat from 1 KiB to 1 MiB show work linear in the bytes; expect one step up at 1 MiB in the
// baseline too, where the block and its copies no longer fit a core's L2 cache.
#include "Bench.h"

#include <SelkoCommunication.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>

using namespace selko::bench;

namespace {

// Printable lines of `shortest` to `longest` bytes, most ending in CR LF and some in LF only,
// `size` bytes in all.
SLKBytes makeLines(std::size_t size, std::size_t shortest, std::size_t longest) {
    std::mt19937 random(1);
    SLKBytes text;
    while (text.size() < size) {
        const std::size_t line = std::min(shortest + random() % (longest - shortest + 1), size - text.size());
        const bool crlf = line >= 2 && random() % 5 != 0;
        for (std::size_t i = 0; i + 1 + crlf < line; ++i)
            text.push_back(static_cast<std::uint8_t>(' ' + random() % 95));
        if (crlf)
            text.push_back('\r');
        text.push_back('\n');
    }
    return text;
}

// Where the baseline's counts go, so that the compiler cannot drop the scan.
volatile std::size_t sink = 0;

std::size_t countWithMemmem(const SLKBytes& text, const char* pattern) {
    std::size_t count = 0;
    const std::size_t n = std::strlen(pattern);
    for (auto at = text.data(), end = at + text.size();
         (at = static_cast<const std::uint8_t*>(memmem(at, static_cast<std::size_t>(end - at), pattern, n))); at += n)
        ++count;
    sink = sink + count;
    return count;
}

// The best of three runs of at least `minimum` seconds each, in ns per byte of `bytes`.
double nsPerByte(std::size_t bytes, double minimum, const std::function<void()>& work) {
    double best = INFINITY;
    for (int run = 0; run < 3; ++run) {
        std::size_t calls = 0;
        const double start = wallSeconds();
        double elapsed = 0;
        for (; elapsed < minimum; elapsed = wallSeconds() - start, ++calls)
            work();
        best = std::min(best, elapsed * 1e9 / static_cast<double>(calls * bytes));
    }
    return best;
}

// Every read hands the echo-removal channel the same block.
struct BlockChannel final : SLKDataChannel {
    explicit BlockChannel(SLKData block) : block(std::move(block)) {}
    bool openWithTimeout(double, CommErrorRef*) override { return true; }
    bool close(CommErrorRef*) override { return true; }
    bool isOpened() override { return true; }
    SLKData readWithTimeout(double, CommErrorRef*) override { return block; }
    bool write(const SLKData&, CommErrorRef*) override { return true; }
    const SLKData block;
};

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    const double minimum = args.pick(0.3, 0.05);
    Report report("algorithms", args);
    const SLKData crlf = SLKDataWithString("\r\n"), lf = SLKDataWithString("\n");
    for (const std::size_t size : {std::size_t(1) << 10, std::size_t(1) << 16, std::size_t(1) << 20}) {
        const std::string at = format(" %zu KiB", size >> 10);
        const SLKBytes lines = makeLines(size, 8, 72), messages = makeLines(size, 4, 16);
        const double crlfScan = nsPerByte(size, minimum, [&] { countWithMemmem(lines, "\r\n"); });
        const double lfScan = nsPerByte(size, minimum, [&] { countWithMemmem(messages, "\n"); });
        SLKBytes data;
        const auto runOn = [&](const SLKDataTransformerRef& transformer, const SLKBytes& text, std::size_t drains) {
            return nsPerByte(size, minimum, [&, drains] {
                data.assign(text.begin(), text.end()); // a fresh copy, as a transforming channel makes
                for (std::size_t call = 0; call <= drains; ++call, data.clear())
                    transformer->modifyData(data);
            });
        };
        std::size_t events = 0;
        report.add("filter CR LF" + at, "ns/byte", runOn(createFilteringTransformer(crlf), lines, 0), crlfScan,
                   {Target::AtMost, 3});
        report.add("event generator CR LF" + at, "ns/byte",
                   runOn(createEventGeneratorTransformer(crlf, false, [&events] { ++events; }), lines, 0), crlfScan,
                   {Target::AtMost, 3});
        // One call with the block, then one empty call per further message it holds.
        report.add("aggregator LF" + at, "ns/byte",
                   runOn(createAggregatingTransformer(lf, false), messages, countWithMemmem(messages, "\n")), lfScan);
        const SLKData block = std::make_shared<const SLKBytes>(messages);
        SLKDataChannelRef echo = createEchoRemovalChannel(std::make_shared<BlockChannel>(block), lf);
        report.add("echo removal, no echo pending" + at, "ns/byte",
                   nsPerByte(size, minimum, [&] { echo->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW); }), lfScan);
        report.add("echo removal, write and its echo" + at, "ns/byte", nsPerByte(size, minimum, [&] {
                       echo->write(block);
                       if (!echo->readWithTimeout(SELKO_COMMUNICATION_TIME_NOW)->empty())
                           fail("an echo was delivered");
                   }),
                   lfScan);
    }
    report.print("Stateful algorithms against a bare memmem count of the same pattern (ns per byte)");
    return 0;
}
