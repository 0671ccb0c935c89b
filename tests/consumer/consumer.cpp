// A program outside the project: it uses only the installed header and library, and exchanges
// one command with the simulated instrument.
#include <SelkoCommunication.h>

#include "SimulatedInstrument.h"

#include <cstdio>
#include <string>

int main() {
    SimulatedInstrument instrument(SimulatedInstrument::laboratoryMeter, false);
    if (!instrument.ready()) {
        std::fprintf(stderr, "%s\n", instrument.error().c_str());
        return 1;
    }
    CommErrorRef error;
    SLKDataChannelRef port = createUARTChannel(instrument.url().c_str(), nullptr, &error);
    if (!port || !port->openWithTimeout(1.0, &error) || !port->write(SLKDataWithString("PING\n"), &error)) {
        std::fprintf(stderr, "%s\n", error ? error->message().c_str() : "no channel");
        return 1;
    }
    std::string reply;
    for (int attempt = 0; attempt < 20 && reply.find('\n') == std::string::npos; ++attempt) {
        SLKData bytes = port->readWithTimeout(0.25, &error);
        if (!bytes) {
            std::fprintf(stderr, "%s\n", error->message().c_str());
            return 1;
        }
        reply.append(bytes->begin(), bytes->end());
    }
    port->close();
    std::printf("consumer of SelkoCommunication %.2f: PING -> %s", SelkoCommunicationVersionNumber, reply.c_str());
    return reply == "OK\n" ? 0 : 1;
}
