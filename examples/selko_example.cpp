// The road of one exchange: a UART channel, a background reader, echo removal and framing,
// driving an instrument with a short scripted session.
//
//   selko-example                         talks to a built-in simulated instrument
//   selko-example uart:///dev/ttyUSB0     talks to the instrument on that port
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int fail(const char* what, const CommErrorRef& error) {
    if (error)
        std::fprintf(stderr, "error: %s: %s (code %d, at %s)\n", what, error->message().c_str(), error->code(),
                     error->location().c_str());
    else
        std::fprintf(stderr, "error: %s\n", what);
    return 1;
}

void printUsage(const char* program) {
    std::printf("usage: %s [--help] [uart:///path/to/port]\n\n"
                "Runs a scripted session (PING, *IDN?, MEAS?) through a full channel stack:\n"
                "UART -> background reader -> echo removal (LF) -> framing (LF).\n"
                "Without a URL it starts a simulated instrument on a pseudo-terminal.\n"
                "The port runs at 115200 8N1; the device is expected to end replies with LF.\n",
                program);
}

// Builds UART -> active -> echo removal -> transformer (aggregate replies, append LF to commands).
SLKDataChannelRef buildStack(const char* url, CommErrorRef* error) {
    SLKDataChannelRef uart = createUARTChannel(url, nullptr, error);
    if (!uart)
        return nullptr;
    SLKDataChannelRef active = createActiveChannel(uart, error);
    SLKDataChannelRef echoFree = createEchoRemovalChannel(active, SLKDataWithString("\n"), error);
    const std::vector<SLKDataTransformerRef> reads = {
        createAggregatingTransformer(SLKDataWithString("\n"), true, error)};
    const std::vector<SLKDataTransformerRef> writes = {createAppendingTransformer(SLKDataWithString("\n"), error)};
    return createChannelTransformer(echoFree, &reads, &writes, error);
}

// Reads until one reply line came out of the framing, or the deadline passed.
SLKData readReply(const SLKDataChannelRef& channel, double seconds, CommErrorRef* error) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        SLKData reply = channel->readWithTimeout(std::max(left, 0.0), error);
        if (!reply || !reply->empty() || left <= 0)
            return reply;
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* url = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(argv[0]);
            return 0;
        }
        url = argv[i];
    }

    std::unique_ptr<SimulatedInstrument> instrument;
    std::string simulatedUrl;
    if (url == nullptr) {
        instrument = std::make_unique<SimulatedInstrument>(SimulatedInstrument::laboratoryMeter, true);
        if (!instrument->ready())
            return fail(instrument->error().c_str(), nullptr);
        simulatedUrl = instrument->url();
        url = simulatedUrl.c_str();
        std::printf("simulated instrument on %s\n", url);
    }

    CommErrorRef error;
    SLKDataChannelRef channel = buildStack(url, &error);
    if (!channel)
        return fail("cannot build the channel stack", error);
    if (!channel->openWithTimeout(1.0, &error))
        return fail("cannot open the port", error);

    const char* script[] = {"PING", "*IDN?", "MEAS?", "MEAS?", "MEAS?"};
    std::vector<double> roundTrips;
    for (const char* command : script) {
        const auto start = Clock::now();
        if (!channel->write(SLKDataWithString(command), &error))
            return fail("write failed", error);
        SLKData reply = readReply(channel, 2.0, &error);
        if (!reply)
            return fail("read failed", error);
        if (reply->empty())
            return fail("no reply within 2 s", nullptr);
        const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        roundTrips.push_back(micros);
        std::printf("> %-6s < %-40s %8.0f us\n", command, std::string(reply->begin(), reply->end()).c_str(), micros);
    }
    channel->close(&error);

    std::sort(roundTrips.begin(), roundTrips.end());
    std::printf("%zu exchanges, 0 errors, median round trip %.0f us\n", roundTrips.size(),
                roundTrips[roundTrips.size() / 2]);
    return 0;
}
