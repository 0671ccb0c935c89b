// A background drain: a device streams debug output nobody wants, and letting it pile up in the
// kernel would stall the device. An active null channel keeps reading and discarding it on its
// own thread; reads and writes through it are refused (code 6).
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main() {
    SimulatedInstrument noisy(nullptr, false);
    if (!noisy.ready())
        return std::fprintf(stderr, "%s\n", noisy.error().c_str()), 1;

    CommErrorRef error;
    SLKDataChannelRef uart = createUARTChannel(noisy.url().c_str(), nullptr, &error);
    SLKDataChannelRef drain = createActiveNullChannel(uart, &error);
    if (!drain || !drain->openWithTimeout(1.0, &error))
        return std::fprintf(stderr, "open failed: %s\n", error ? error->message().c_str() : "?"), 1;

    // A megabyte of noise; the drain keeps the port empty while this program does other work.
    const std::string line(1023, '#');
    for (int i = 0; i < 1024; ++i)
        noisy.send(line + "\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    if (!drain->readWithTimeout(0.1, &error))
        std::printf("read refused as expected: %s (code %d)\n", error->message().c_str(), error->code());
    std::printf("drain open: %s\n", drain->isOpened() ? "yes" : "no");
    drain->close();
    return 0;
}
