// Bulk: the device writes a long known pseudo-random stream as fast as the pseudo-terminal takes
// it; the host reads it through raw POSIX (the baseline), the UART channel, UART + active channel
// and, when the build has it, Boost.Asio's serial_port, and checks every byte against the pattern.
//
// The device runs in a child process on the pty master, so the host's CPU time is simply this
// process's CPU time (CLOCK_PROCESS_CPUTIME_ID: every host thread, the active channel's read loop
// included) and the device's own work is not in it. The stream is cut into rounds and the
// variants take turns round by round, so a change of machine load hits them all alike.
#include "AsioPort.h"
#include "BenchArgs.h"
#include "BenchClock.h"
#include "BenchReport.h"
#include "BulkPattern.h"
#include "ChannelStacks.h"
#include "RawPort.h"
#include "VirtualDevice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace selko::bench;
using selko::test::VirtualDevice;

constexpr double kMiB = 1024.0 * 1024.0;
// The device writes in blocks of this size; the raw and Asio readers read up to this much at once
// (the library's own read size when nothing is waiting).
constexpr std::size_t kChunk = 64 * 1024;
// A stream that stalls this long voids the run.
constexpr double kSilenceBound = 5.0;

class Receiver {
public:
    virtual ~Receiver() = default;
    // Reads until the verifier has reached `end`; ends the program at a wrong byte or a stall.
    virtual void receive(PatternVerifier& verifier, std::uint64_t end) = 0;
};

void feedOrFail(PatternVerifier& verifier, const std::uint8_t* bytes, std::size_t length, const char* variant) {
    if (!verifier.feed(bytes, length))
        fail("%s: byte %llu differs from the pattern", variant, static_cast<unsigned long long>(verifier.mismatchOffset()));
}

class RawReceiver final : public Receiver {
public:
    explicit RawReceiver(const std::string& path) : _fd(openRawPort(path)), _buffer(kChunk) {}
    ~RawReceiver() override { ::close(_fd); }

    void receive(PatternVerifier& verifier, std::uint64_t end) override {
        while (verifier.offset() < end) {
            if (!waitReadable(_fd, kSilenceBound))
                fail("raw POSIX: the stream stalled");
            const ssize_t got = ::read(_fd, _buffer.data(), _buffer.size());
            if (got <= 0)
                fail("raw POSIX: read returned %zd (%s)", got, std::strerror(errno));
            feedOrFail(verifier, _buffer.data(), static_cast<std::size_t>(got), "raw POSIX");
        }
    }

private:
    const int _fd;
    std::vector<std::uint8_t> _buffer;
};

class ChannelReceiver final : public Receiver {
public:
    ChannelReceiver(std::string name, SLKDataChannelRef channel) : _name(std::move(name)), _channel(std::move(channel)) {}
    ~ChannelReceiver() override { closeChannel(_channel); }

    void receive(PatternVerifier& verifier, std::uint64_t end) override {
        CommErrorRef error;
        while (verifier.offset() < end) {
            const SLKData data = _channel->readWithTimeout(kSilenceBound, &error);
            if (!data)
                fail("%s: read: %s", _name.c_str(), describe(error).c_str());
            if (data->empty())
                fail("%s: the stream stalled", _name.c_str());
            feedOrFail(verifier, data->data(), data->size(), _name.c_str());
        }
    }

private:
    const std::string _name;
    const SLKDataChannelRef _channel;
};

// read_some has no timeout; the watchdog bounds it.
class AsioReceiver final : public Receiver {
public:
    explicit AsioReceiver(const std::string& path) : _port(path), _buffer(kChunk) {}

    void receive(PatternVerifier& verifier, std::uint64_t end) override {
        while (verifier.offset() < end) {
            const std::size_t got = _port.readSome(_buffer.data(), _buffer.size());
            feedOrFail(verifier, _buffer.data(), got, "Boost.Asio");
        }
    }

private:
    AsioPort _port;
    std::vector<std::uint8_t> _buffer;
};

// The device: a child process that waits for the go signal, then writes the pattern bytes
// [start, end) to the pty master as fast as they are taken. Everything it touches after the fork
// was allocated before it (the parent has threads, so the child must not allocate).
class DeviceWriter {
public:
    DeviceWriter(int master, std::uint64_t start, std::uint64_t end, std::vector<std::uint8_t>& scratch) {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            fail("pipe: %s", std::strerror(errno));
        const pid_t parent = ::getpid();
        _pid = ::fork();
        if (_pid < 0)
            fail("fork: %s", std::strerror(errno));
        if (_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);   // never outlive a host that failed
            if (::getppid() != parent)
                ::_exit(4);
            ::close(pipeEnds[1]);
            char go = 0;
            if (::read(pipeEnds[0], &go, 1) != 1)
                ::_exit(3);
            writePattern(master, start, end, scratch.data(), scratch.size());
        }
        ::close(pipeEnds[0]);
        _go = pipeEnds[1];
    }

    ~DeviceWriter() {
        if (_pid > 0) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, nullptr, 0);
        }
        if (_go >= 0)
            ::close(_go);
    }

    void release() {
        writeAll(_go, "g", 1);
        ::close(_go);
        _go = -1;
    }

    // Waits for the child's end; returns its CPU seconds.
    double finish() {
        int status = 0;
        rusage usage{};
        if (::wait4(_pid, &status, 0, &usage) != _pid)
            fail("wait4: %s", std::strerror(errno));
        _pid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            fail("the device process ended with status %d", status);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }

private:
    [[noreturn]] static void writePattern(int master, std::uint64_t start, std::uint64_t end, std::uint8_t* block,
                                          std::size_t capacity) {
        for (std::uint64_t offset = start; offset < end;) {
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, end - offset));
            fillPattern(block, offset, length);
            for (std::size_t done = 0; done < length;) {
                const ssize_t written = ::write(master, block + done, length - done);
                if (written < 0 && errno == EINTR)
                    continue;
                if (written <= 0)
                    ::_exit(5);
                done += static_cast<std::size_t>(written);
            }
            offset += length;
        }
        ::_exit(0);
    }

    pid_t _pid = -1;
    int _go = -1;
};

struct Variant {
    std::string name;
    Target target;
    std::function<std::unique_ptr<Receiver>(VirtualDevice&)> open;
    double seconds = 0;
    double hostCpu = 0;
    double deviceCpu = 0;
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
};

std::vector<Variant> makeVariants(const Args& args) {
    std::vector<Variant> variants;
    variants.push_back({"raw POSIX", Target{}, [](VirtualDevice& device) -> std::unique_ptr<Receiver> {
                            return std::make_unique<RawReceiver>(device.path());
                        }});
    variants.push_back({"UART channel", Target{Target::AtLeast, 0.95}, [](VirtualDevice& device) -> std::unique_ptr<Receiver> {
                            return std::make_unique<ChannelReceiver>("UART channel", openUART(device.url()));
                        }});
    variants.push_back({"UART + active", Target{Target::AtLeast, 0.85}, [](VirtualDevice& device) -> std::unique_ptr<Receiver> {
                            return std::make_unique<ChannelReceiver>("UART + active", openUARTActive(device.url()));
                        }});
    if (AsioPort::available())
        variants.push_back({"Boost.Asio serial_port", Target{}, [](VirtualDevice& device) -> std::unique_ptr<Receiver> {
                                return std::make_unique<AsioReceiver>(device.path());
                            }});
    // The baseline always stays.
    variants.erase(std::remove_if(variants.begin() + 1, variants.end(),
                                  [&](const Variant& variant) { return !args.selected(variant.name); }),
                   variants.end());
    return variants;
}

// One round of one variant: a fresh device and port, the stretch [start, end) of the pattern.
void runRound(Variant& variant, std::uint64_t start, std::uint64_t end, std::vector<std::uint8_t>& scratch,
              int threadsBefore) {
    auto device = std::make_unique<VirtualDevice>();
    std::unique_ptr<Receiver> receiver = variant.open(*device);
    DeviceWriter writer(device->masterFd(), start, end, scratch);
    PatternVerifier verifier(start);

    const double cpuBefore = processCpuSeconds();
    const double wallBefore = wallSeconds();
    writer.release();
    receiver->receive(verifier, end);
    const double wallAfter = wallSeconds();
    const double cpuAfter = processCpuSeconds();

    variant.deviceCpu += writer.finish();
    variant.seconds += wallAfter - wallBefore;
    variant.hostCpu += cpuAfter - cpuBefore;
    variant.bytes += end - start;
    variant.blocks += verifier.blocks();
    if (verifier.offset() != end)
        fail("%s: received past the end of the stream", variant.name.c_str());

    receiver.reset();
    device.reset();
    awaitThreadCount(threadsBefore, 2.0);   // an active channel's read loop ends before the next round
}

} // namespace

int main(int argc, char** argv) {
    const Args args = parseArgs(argc, argv, {"mib", "rounds"}, "[--quick] [--mib N per variant] [--rounds R] [--only VARIANT] [--summary FILE]");
    const double mib = args.number("mib", 256, 32);
    const int rounds = std::max(1, static_cast<int>(args.number("rounds", 16, 4)));
    // Whole 8-byte words per round keep every round's start on a word of the pattern.
    const std::uint64_t roundBytes = static_cast<std::uint64_t>(mib * kMiB / rounds) / 8 * 8;
    if (roundBytes == 0)
        fail("--mib too small");
    const int threadsBefore = settledThreadCount();

    std::vector<Variant> variants = makeVariants(args);
    // Generous: even 5 MiB/s would finish.
    armWatchdog(mib * static_cast<double>(variants.size()) / 5.0 + 60);
    std::vector<std::uint8_t> scratch(kChunk);

    for (int round = 0; round < rounds; ++round) {
        const std::uint64_t start = static_cast<std::uint64_t>(round) * roundBytes;
        for (Variant& variant : variants)
            runRound(variant, start, start + roundBytes, scratch, threadsBefore);
    }

    const Variant& raw = variants.front();
    const double rawRate = static_cast<double>(raw.bytes) / kMiB / raw.seconds;
    Summary summary(args.summaryPath);
    Table table({"variant", "MiB verified", "MiB/s", "host CPU s", "device CPU s", "reads", "bytes/read",
                 "MiB/s / raw", "CPU / raw", "target", "verdict"});
    for (const Variant& variant : variants) {
        const double rate = static_cast<double>(variant.bytes) / kMiB / variant.seconds;
        const double ratio = rate / rawRate;
        const double cpuRatio = variant.hostCpu / raw.hostCpu;
        table.add({variant.name, format("%.0f", static_cast<double>(variant.bytes) / kMiB), format("%.1f", rate),
                   format("%.3f", variant.hostCpu), format("%.3f", variant.deviceCpu),
                   format("%llu", static_cast<unsigned long long>(variant.blocks)),
                   format("%.0f", static_cast<double>(variant.bytes) / static_cast<double>(variant.blocks)),
                   format("%.2f", ratio), format("%.2f", cpuRatio), variant.target.text(), variant.target.verdict(ratio)});
        summary.add("bulk", variant.name, "MiB/s", format("%.1f", rate), format("%.1f", rawRate), ratio, variant.target);
        summary.add("bulk", variant.name, "host CPU s", format("%.3f", variant.hostCpu), format("%.3f", raw.hostCpu),
                    cpuRatio, Target{});
    }
    table.print(format("Bulk: %.0f MiB per variant from a device process, every byte verified "
                       "(host CPU = this process; reads = non-empty results)", static_cast<double>(raw.bytes) / kMiB));
    return 0;
}
