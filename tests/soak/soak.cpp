// Soak run: the full stack (UART -> active -> echo removal LF -> transforming channel with an LF
// aggregator on reads and an LF appender on writes) against the simulated laboratory meter, for
// a given number of seconds. Random commands, every reply checked exactly, the stack closed and
// reopened (or rebuilt) now and then. At the end the stack is released, its read loops must end,
// and no descriptor or thread may be left behind.
//
//   selko-soak [seconds] [seed]        defaults: 60 s, a seed from the clock (printed)
//
// Exits 0 only when every exchange got its exact reply and nothing leaked.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"
#include "VirtualDevice.h"


#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int openDescriptors() { return selko::test::openDescriptorCount(); }
int runningThreads() { return selko::test::threadCount(); }

std::string describe(const CommErrorRef& error) {
    if (!error)
        return "no error record";
    return error->message() + " (code " + std::to_string(error->code()) + ", at " + error->location() + ")";
}

SLKDataChannelRef buildStack(const std::string& url, CommErrorRef* error) {
    const SLKDataChannelRef uart = createUARTChannel(url.c_str(), nullptr, error);
    const SLKDataChannelRef active = uart ? createActiveChannel(uart, error) : nullptr;
    const SLKDataChannelRef echoFree = active ? createEchoRemovalChannel(active, SLKDataWithString("\n"), error) : nullptr;
    if (!echoFree)
        return nullptr;
    const std::vector<SLKDataTransformerRef> reads = {createAggregatingTransformer(SLKDataWithString("\n"), false, error)};
    const std::vector<SLKDataTransformerRef> writes = {createAppendingTransformer(SLKDataWithString("\n"), error)};
    return createChannelTransformer(echoFree, &reads, &writes, error);
}

// The commands, and the exact reply the laboratory meter gives to each.
class Commands {
public:
    explicit Commands(unsigned seed) : _random(seed) {}

    std::pair<std::string, std::string> next() {
        switch (_random() % 4) {
        case 0:
            return {"PING", "OK\n"};
        case 1:
            return {"*IDN?", "Selko Instruments,SIM-100,0001,1.18\n"};
        case 2: {
            // The meter steps through ten readings, one per MEAS? it answers.
            char reading[32];
            std::snprintf(reading, sizeof reading, "%.4f\n", 1.2345 + 0.0001 * (_measurements++ % 10));
            return {"MEAS?", reading};
        }
        default: {
            // A random payload the meter does not know: its echo must vanish whole, then the
            // meter's refusal arrives. No LF (the delimiter) and no CR (which the meter drops).
            std::uniform_int_distribution<int> length(1, 300);
            std::uniform_int_distribution<int> printable(0x20, 0x7e);
            std::string command = "ECHO ";
            for (int i = length(_random); i > 0; --i)
                command += static_cast<char>(printable(_random));
            return {command, "ERR unknown command\n"};
        }
        }
    }
    bool chance(unsigned oneIn) { return _random() % oneIn == 0; }

private:
    std::mt19937 _random;
    unsigned _measurements = 0;
};

// Reads until one reply line comes out of the aggregator or the deadline passes.
SLKData readReply(const SLKDataChannelRef& channel, double seconds, CommErrorRef* error) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        SLKData reply = channel->readWithTimeout(left > 0 ? std::min(left, 0.5) : 0.0, error);
        if (!reply || !reply->empty() || left <= 0)
            return reply;
    }
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                                   : static_cast<unsigned>(Clock::now().time_since_epoch().count());
    std::printf("soak: %.0f s, seed %u\n", seconds, seed);

    SimulatedInstrument instrument(SimulatedInstrument::laboratoryMeter, true);
    if (!instrument.ready()) {
        std::fprintf(stderr, "soak: %s\n", instrument.error().c_str());
        return 2;
    }
    const int descriptorsBefore = openDescriptors();
    const int threadsBefore = runningThreads();

    Commands commands(seed);
    long exchanges = 0;
    long errors = 0;
    long reopens = 0;
    long rebuilds = 0;
    auto error = [&errors](const std::string& what) {
        if (++errors <= 20)
            std::fprintf(stderr, "soak: ERROR %s\n", what.c_str());
    };

    {
        CommErrorRef failure;
        SLKDataChannelRef stack = buildStack(instrument.url(), &failure);
        if (!stack || !stack->openWithTimeout(1.0, &failure)) {
            std::fprintf(stderr, "soak: cannot open the stack: %s\n", describe(failure).c_str());
            return 2;
        }
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end && errors < 1000) {
            const auto [command, expected] = commands.next();
            CommErrorRef writeError;
            if (!stack->write(SLKDataWithString(command.c_str()), &writeError)) {
                error("write of \"" + command + "\" failed: " + describe(writeError));
                continue;
            }
            CommErrorRef readError;
            const SLKData reply = readReply(stack, 3.0, &readError);
            if (!reply) {
                error("read after \"" + command + "\" failed: " + describe(readError));
                continue;
            }
            const std::string got(reply->begin(), reply->end());
            if (got != expected)
                error("\"" + command + "\" got \"" + got + "\", expected \"" + expected + "\"");
            ++exchanges;

            // Now and then the stack goes down and up again: closed and reopened as it is, or
            // dropped whole and built anew.
            if (commands.chance(150)) {
                CommErrorRef stateError;
                if (!stack->close(&stateError))
                    error("close failed: " + describe(stateError));
                if (commands.chance(2)) {
                    stack = buildStack(instrument.url(), &stateError);
                    ++rebuilds;
                } else {
                    ++reopens;
                }
                if (!stack || !stack->openWithTimeout(1.0, &stateError)) {
                    error("reopen failed: " + describe(stateError));
                    break;
                }
            }
        }
        CommErrorRef closeError;
        if (!stack->close(&closeError))
            error("final close failed: " + describe(closeError));
    }

    // The stack is released; its read loops end within a slice of the close.
    const auto settle = Clock::now() + std::chrono::seconds(5);
    while (runningThreads() != threadsBefore && Clock::now() < settle)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int leakedDescriptors = openDescriptors() - descriptorsBefore;
    const int leakedThreads = runningThreads() - threadsBefore;

    std::printf("soak: %ld exchanges, %ld errors, %ld reopens, %ld rebuilds, %d leaked descriptors, %d leaked threads\n",
                exchanges, errors, reopens, rebuilds, leakedDescriptors, leakedThreads);
    const bool passed = exchanges > 0 && errors == 0 && leakedDescriptors == 0 && leakedThreads == 0;
    std::printf("soak: %s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
