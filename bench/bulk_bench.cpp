// Bulk: the device writes a long known pseudo-random stream as fast as the pseudo-terminal takes
// it; the host reads it through raw POSIX (the baseline), the UART channel and UART + active
// channel, and checks every byte. The stream is cut into rounds and the variants take turns round
// by round, so a change of machine load hits them alike. Host CPU is this process's CPU time less
// the device's writer thread.
#include "Bench.h"
#include "Ports.h"
#include "Devices.h"
#include "SimulatedInstrument.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

using namespace selko::bench;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr std::size_t kChunk = 64 * 1024; // the device's writes, and the raw reader's reads

// The stream: byte i is a mix of i / 8, so any stretch can be made and checked on its own.
void fillPattern(std::uint8_t* out, std::uint64_t offset, std::size_t length) {
    for (std::size_t i = 0; i < length;) {
        std::uint64_t word = ((offset + i) / 8) * 0x9E3779B97F4A7C15ull;
        word = (word ^ (word >> 29)) * 0xBF58476D1CE4E5B9ull;
        for (std::uint64_t k = (offset + i) % 8; k < 8 && i < length; ++k, ++i)
            out[i] = static_cast<std::uint8_t>(word >> (8 * k));
    }
}

struct Variant {
    std::string name, stack;
    Target target;
    double seconds = 0, hostCpu = 0;
    std::uint64_t bytes = 0;
};

// One round: a fresh device and port; the device writes [start, end) and the host checks it.
void runRound(Variant& variant, std::uint64_t start, std::uint64_t end, int threadsBefore) {
    SimulatedInstrument device;
    const int fd = variant.stack == "raw" ? openRawPort(device.path()) : -1;
    const SLKDataChannelRef channel = fd < 0 ? openStack(variant.stack, device.url()) : nullptr;
    std::vector<std::uint8_t> received(kChunk), pattern(kChunk);
    std::atomic<int> writerThread{0};
    const double wallBefore = wallSeconds(), cpuBefore = processCpuSeconds();
    std::thread writer([&] {
        writerThread = currentThreadId();
        std::string block(kChunk, '\0');
        for (std::uint64_t at = start; at < end; at += block.size()) {
            block.resize(std::min<std::uint64_t>(kChunk, end - at));
            fillPattern(reinterpret_cast<std::uint8_t*>(block.data()), at, block.size());
            device.send(block);
        }
    });
    for (std::uint64_t at = start; at < end;) {
        const std::uint8_t* bytes = received.data();
        std::size_t count = 0;
        SLKData data;
        if (fd >= 0) {
            const ssize_t got = waitReadable(fd, 5.0) ? ::read(fd, received.data(), received.size()) : 0;
            count = got > 0 ? static_cast<std::size_t>(got) : 0;
        } else if ((data = channel->readWithTimeout(5.0))) {
            bytes = data->data();
            count = data->size();
        }
        if (count == 0)
            fail("%s: the stream stalled at byte %llu", variant.name.c_str(), static_cast<unsigned long long>(at));
        pattern.resize(count);
        fillPattern(pattern.data(), at, count);
        if (std::memcmp(pattern.data(), bytes, count) != 0)
            fail("%s: a byte after %llu differs from the stream", variant.name.c_str(), static_cast<unsigned long long>(at));
        at += count;
    }
    const double wallAfter = wallSeconds();
    writer.join();
    variant.hostCpu += processCpuSeconds() - cpuBefore - threadsCpuSeconds({writerThread.load()});
    variant.seconds += wallAfter - wallBefore;
    variant.bytes += end - start;
    channel ? closeChannel(channel) : (void)::close(fd);
    awaitThreadCount(threadsBefore); // an active channel's read loop ends before the next round
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv);
    const double mib = args.pick(256, 32);
    const int rounds = 8;
    const int threadsBefore = settledThreadCount();
    armWatchdog(mib * 3 / 5.0 + 60); // even 5 MiB/s would finish
    std::vector<Variant> variants(3);
    variants[0] = {"raw POSIX", "raw", {}, 0, 0, 0};
    variants[1] = {"UART channel", "uart", {Target::AtLeast, 0.98}, 0, 0, 0};
    variants[2] = {"UART + active", "active", {Target::AtLeast, 0.95}, 0, 0, 0};
    const auto roundBytes = static_cast<std::uint64_t>(mib * kMiB / rounds);
    for (int round = 0; round < rounds; ++round)
        for (Variant& variant : variants)
            runRound(variant, round * roundBytes, (round + 1) * roundBytes, threadsBefore);

    Report report("bulk", args);
    const auto rate = [](const Variant& v) { return static_cast<double>(v.bytes) / kMiB / v.seconds; };
    for (const Variant& variant : variants) {
        report.add(variant.name, "MiB/s", rate(variant), rate(variants[0]), variant.target);
        report.add(variant.name, "host CPU s", variant.hostCpu, variants[0].hostCpu);
    }
    report.print(format("Bulk: %.0f MiB per variant from the device, every byte checked", mib));
    return 0;
}
